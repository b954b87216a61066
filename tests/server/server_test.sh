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
"LPT5:"="emulator:capture=$work/colour.bin"
"LPT6:"="emulator:capture=$work/print-colour.bin"
"LPT7:"="emulator:capture=$work/apple.bin"
REG
export KELO_REGISTRY=$work/kelo.reg
# The sub-commands find a server through a socket in the temporary directory
# (for root, in /run), and start a private server when none answers there:
# readiness is checked on the TCP port instead.
export TMPDIR=$work

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

# Starts the server in the background and waits until it listens.
start_server() {
  port=$(free_port)
  uri=ipp://localhost:$port
  "$server" server -o server-port="$port" -o spool-directory="$work/spool" \
    -o log-file="$work/log" -o log-level=info &
  pid=$!
  for _ in $(seq 100); do
    ss -ltn "sport = :$port" | grep -q LISTEN && return 0
    kill -0 "$pid" 2>/dev/null || fail "the server exited at start"
    sleep 0.1
  done
  fail "the server does not listen on port $port"
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

# The standard attribute and job list tests.
for test in get-printer-attributes.test get-jobs.test; do
  ipptool -t "$uri/ipp/print/t80" "$test" >"$work/attrs" || fail "$test: $(cat "$work/attrs")"
done

# A colour image: bands of red, green, blue, yellow and a grey ramp.
python3 - "$work/colour.png" <<'PY'
import struct, sys, zlib
w, h = 640, 904  # the whole page: PAPPL neither scales, moves nor turns it
rows = []
for y in range(h):
    band = [(255, 0, 0), (0, 160, 0), (0, 0, 255), (255, 220, 0), None][y * 5 // h]
    row = bytearray([0])
    for x in range(w):
        row += bytes(band) if band else bytes([x * 255 // (w - 1)] * 3)
    rows.append(bytes(row))
def chunk(kind, data):
    return (struct.pack(">I", len(data)) + kind + data +
            struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))
# 7992 pixels a metre is 203 dpi: the printer's own, so PAPPL does not resample.
png = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0)) +
       chunk(b"pHYs", struct.pack(">IIB", 7992, 7992, 1)) + chunk(b"IDAT", zlib.compress(b"".join(rows))) + chunk(b"IEND", b""))
open(sys.argv[1], "wb").write(png)
PY
"$make_pwg" "$image" "$work/page.pwg" || fail "make_pwg"
"$make_pwg" "$image" "$work/page.urf" apple || fail "make_pwg apple"
"$server" add -u "$uri/" -d raster -v 'kelo:///LPT4:' -m kelo-80mm || fail "add raster"
"$server" add -u "$uri/" -d apple -v 'kelo:///LPT7:' -m kelo-80mm || fail "add apple"
"$server" add -u "$uri/" -d colour -v 'kelo:///LPT5:' -m kelo-80mm-colour || fail "add colour"

# The same page over IPP and by kelo-print: the server's capture is
# kelo-print's, after the status questions (ESC k 255) the server asked while
# idle.
"$print" --port LPT2: --fit none "$image" || fail "kelo-print"
"$print" --port LPT6: --fit none --colour "$work/colour.png" || fail "kelo-print --colour"
jobs=(
  "t80 $image image/png server.bin print.bin"
  "raster $work/page.pwg image/pwg-raster raster.bin print.bin"
  "apple $work/page.urf image/urf apple.bin print.bin"
  "colour $work/colour.png image/png colour.bin print-colour.bin"
)
for job in "${jobs[@]}"; do
  read -r printer file type capture reference <<<"$job"
  print_size=$(stat -c %s "$work/$reference")
  (( print_size > 1000 )) || fail "kelo-print's $reference has $print_size bytes"
  ipptool -tv -f "$file" -d filetype="$type" "$uri/ipp/print/$printer" \
    print-job-and-wait.test >"$work/job" || fail "print-job $type: $(cat "$work/job")"
  grep -q 'job-state (enum) = completed' "$work/job" || fail "$printer not completed: $(cat "$work/job")"
  server_size=$(stat -c %s "$work/$capture")
  (( server_size >= print_size )) || fail "$printer: $server_size bytes, kelo-print $print_size"
  tail -c "$print_size" "$work/$capture" | cmp - "$work/$reference" ||
    fail "the $printer job's bytes differ from kelo-print's"
  prefix=$(head -c $((server_size - print_size)) "$work/$capture" | od -An -tx1 | tr -d ' \n')
  [[ $prefix =~ ^(1b6bff)*$ ]] || fail "$printer: more than status questions before the job: $prefix"
done

# A document PAPPL has no filter for (typed by its content: a PDF) is
# refused; the server lives on.
printf '%%PDF-1.4\n%%%%EOF\n' >"$work/doc.pdf"
ipptool -tv -f "$work/doc.pdf" -d filetype=application/octet-stream "$uri/ipp/print/t80" \
  print-job-and-wait.test >"$work/raw-job" || true
grep -q 'job-state (enum) = completed' "$work/raw-job" && fail "a PDF job completed"
kill -0 "$pid" 2>/dev/null || fail "the server died on a document it cannot convert"

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
ipptool -t "$uri/ipp/print/t80" get-printer-attributes.test >"$work/attrs" ||
  fail "t80 not restored from the state file: $(cat "$work/attrs")"
kill -TERM "$pid"
wait_gone SIGTERM
echo "PASS"
