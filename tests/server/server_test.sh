#!/usr/bin/env bash
# kelo-server end to end with a real IPP client (ipptool): a server in a
# temporary state directory on a free loopback port, printers on emulated
# ports, a PNG printed over IPP and by kelo-print, out of paper, and both
# ways of shutting down.
# Usage: server_test.sh KELO_SERVER KELO_PRINT MAKE_PWG IMAGE.png
set -euo pipefail
server=$1 print=$2 make_pwg=$3 image=$4

work=$(mktemp -d)
pid=
cleanup() {
  if [[ -n $pid ]] && kill -0 "$pid" 2>/dev/null; then kill -KILL "$pid"; fi
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  [[ -f $work/log ]] && tail -30 "$work/log" >&2
  exit 1
}

cat > "$work/kelo.reg" <<REG
[HKEY_LOCAL_MACHINE\Host\Ports]
"LPT1:"="emulator:capture=$work/server.bin"
"LPT2:"="emulator:capture=$work/print.bin"
"LPT3:"="emulator:status=0x82,capture=$work/nopaper.bin"
"LPT4:"="emulator:capture=$work/raster.bin"
REG
export KELO_REGISTRY=$work/kelo.reg

# A port nothing listens on now, from the range the kernel does not hand out
# for outgoing connections.
free_port() {
  local candidate
  for _ in $(seq 50); do
    candidate=$((20000 + RANDOM % 12000))
    [[ -z $(ss -ltnH "sport = :$candidate") ]] && { echo "$candidate"; return 0; }
  done
  fail "no free port found"
}

# Starts the server in the background and waits until it answers.
start_server() {
  port=$(free_port)
  uri=ipp://localhost:$port
  "$server" server -o server-port="$port" -o spool-directory="$work/spool" \
    -o log-file="$work/log" -o log-level=info &
  pid=$!
  for _ in $(seq 100); do
    "$server" printers -u "$uri/" >/dev/null 2>&1 && return 0
    kill -0 "$pid" 2>/dev/null || fail "the server exited at start"
    sleep 0.1
  done
  fail "the server does not answer on port $port"
}

# Waits until the server process has ended and nothing listens on its port.
wait_gone() {
  for _ in $(seq 600); do
    if ! kill -0 "$pid" 2>/dev/null; then
      wait "$pid" || fail "the server exited with status $?"
      pid=
      ss -ltn "sport = :$port" | grep -q LISTEN && fail "port $port still listened on"
      return 0
    fi
    sleep 0.1
  done
  fail "the server did not end ($1)"
}

mkdir -p "$work/spool"
start_server

# Nothing listens beyond the loopback addresses.
listening=$(ss -ltnH "sport = :$port" | awk '{print $4}')
[[ -n $listening ]] || fail "nothing listens on $port"
while read -r address; do
  [[ $address == 127.0.0.1:$port || $address == "[::1]:$port" ]] || fail "listens on $address"
done <<<"$listening"

"$server" devices -u "$uri/" | grep -qx 'kelo:///LPT1:' || fail "devices does not list LPT1:"
"$server" add -u "$uri/" -d t80 -v 'kelo:///LPT1:' -m kelo-80mm || fail "add t80"
"$server" add -u "$uri/" -d nopaper -v 'kelo:///LPT3:' -m kelo-80mm || fail "add nopaper"

ipptool -t "$uri/ipp/print/t80" get-printer-attributes.test >"$work/attrs" ||
  fail "get-printer-attributes: $(cat "$work/attrs")"

# The same page over IPP and by kelo-print: the server's capture is
# kelo-print's, after the status questions (ESC k 255) the server asked while
# idle.
"$print" --port LPT2: --fit none "$image" || fail "kelo-print"
print_size=$(stat -c %s "$work/print.bin")
(( print_size > 1000 )) || fail "kelo-print's capture has $print_size bytes"
"$make_pwg" "$image" "$work/page.pwg" || fail "make_pwg"
"$server" add -u "$uri/" -d raster -v 'kelo:///LPT4:' -m kelo-80mm || fail "add raster"
for job in "t80 $image image/png server.bin" "raster $work/page.pwg image/pwg-raster raster.bin"; do
  read -r printer file type capture <<<"$job"
  ipptool -tv -f "$file" -d filetype="$type" "$uri/ipp/print/$printer" \
    print-job-and-wait.test >"$work/job" || fail "print-job $type: $(cat "$work/job")"
  grep -q 'job-state (enum) = completed' "$work/job" || fail "$type not completed: $(cat "$work/job")"
  server_size=$(stat -c %s "$work/$capture")
  (( server_size >= print_size )) || fail "$type: $server_size bytes, kelo-print $print_size"
  tail -c "$print_size" "$work/$capture" | cmp - "$work/print.bin" ||
    fail "the $type job's bytes differ from kelo-print's"
  prefix=$(head -c $((server_size - print_size)) "$work/$capture" | od -An -tx1 | tr -d ' \n')
  [[ $prefix =~ ^(1b6bff)*$ ]] || fail "$type: more than status questions before the job: $prefix"
done

# Out of paper: the reason is on the printer, the job is not printed.
ipptool -tv -f "$image" -d filetype=image/png "$uri/ipp/print/nopaper" print-job-and-wait.test \
  >"$work/nopaper-job" || true
grep -q 'job-state (enum) = completed' "$work/nopaper-job" &&
  fail "a job to a printer out of paper completed"
grep -Eq 'job-state \(enum\) = (aborted|canceled|pending-held)' "$work/nopaper-job" ||
  fail "no final job state: $(cat "$work/nopaper-job")"
ipptool -tv "$uri/ipp/print/nopaper" get-printer-attributes.test >"$work/nopaper-attrs" || true
grep -q 'printer-state-reasons (.*) = .*media-empty' "$work/nopaper-attrs" ||
  fail "no media-empty: $(grep printer-state-reasons "$work/nopaper-attrs")"
if grep -q $'\x1bg' "$work/nopaper.bin" 2>/dev/null; then fail "raster sent to a printer out of paper"; fi

# Shut down by the command, then again by SIGTERM; the printers are kept in
# the state file across the restart.
"$server" shutdown -u "$uri/" || fail "shutdown"
wait_gone "shutdown command"
start_server
"$server" printers -u "$uri/" | grep -qx t80 || fail "t80 not restored from the state file"
kill -TERM "$pid"
wait_gone SIGTERM
echo "PASS"
