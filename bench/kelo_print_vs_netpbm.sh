#!/usr/bin/env bash
# Whole programs on one page of 640 x 904 dots: kelo-print (image file to the
# bytes at a printer port mapped to /dev/null) against the netpbm pipeline
#   pngtopnm page.png | ppmtopgm | pgmtopbm -fs > /dev/null
# for the sample receipt and a photo-like image.
#
# kelo-print's figure is the marginal cost of a page within a job: opening
# and closing the printer port holds fixed waits (about half a second a job),
# so (t(20 pages) - t(1 page)) / 19 is taken. netpbm's figure is the time of
# one run of the pipeline (three processes a page), averaged over 20 runs.
# The three are measured in turn within each of KELO_BENCH_RUNS repetitions
# (default 7), so drift in the machine's speed reaches all of them alike; the
# ratios are taken within a repetition. Every figure is shown as the minimum,
# median and maximum over the repetitions, in milliseconds of wall time per
# page.
#
#   bash bench/kelo_print_vs_netpbm.sh        (from the repository root)
#
# Builds in build-bench (Release); works in a temporary directory that is
# removed at the end. Installs netpbm with apt-get when pngtopnm is missing.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
build=build-bench
runs=${KELO_BENCH_RUNS:-7}
pages=20

if ! command -v pngtopnm >/dev/null 2>&1; then
  echo "installing netpbm"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends netpbm
fi

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DKELO_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target kelo-print kelo-make-sample kelo-bench-photo >/dev/null
bin=$build/bin

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# LPT1: discards what it gets; LPT2: keeps it in a file, to see that the
# bytes really reach the port.
cat >"$tmp/bench.reg" <<REG
[HKEY_LOCAL_MACHINE\\Host\\Ports]
"LPT1:"="/dev/null"
"LPT2:"="$tmp/port.bin"
REG

"$bin/kelo-make-sample" "$tmp/receipt.png"
"$bin/kelo-bench-photo" "$tmp/photo.ppm"
pnmtopng "$tmp/photo.ppm" >"$tmp/photo.png" 2>/dev/null

now_us() { local ns; ns=$(date +%s%N); echo $((ns / 1000)); }

# Microseconds of one kelo-print job: $1 pages of image $2, options after.
kelo_job_us() {
  local count=$1 image=$2
  shift 2
  local files=()
  for ((i = 0; i < count; i++)); do files+=("$image"); done
  local start end
  start=$(now_us)
  if ! "$bin/kelo-print" --registry "$tmp/bench.reg" --port LPT1: "$@" "${files[@]}" \
      2>"$tmp/kelo-print.err"; then
    echo "kelo-print failed:" >&2
    cat "$tmp/kelo-print.err" >&2
    exit 1
  fi
  end=$(now_us)
  echo $((end - start))
}

# Microseconds of one page through netpbm, averaged over $pages runs.
netpbm_page_us() {
  local image=$1 start end
  start=$(now_us)
  for ((i = 0; i < pages; i++)); do
    pngtopnm "$image" | ppmtopgm | pgmtopbm -fs >/dev/null
  done
  end=$(now_us)
  echo $(((end - start) / pages))
}


# The bytes of one page at a file port: the check that the job printed.
for image in receipt photo; do
  for mode in grey colour; do
    rm -f "$tmp/port.bin"
    colour=()
    [ $mode = colour ] && colour=(--colour)
    "$bin/kelo-print" --registry "$tmp/bench.reg" --port LPT2: "${colour[@]}" "$tmp/$image.png"
    bytes=$(stat -c %s "$tmp/port.bin" 2>/dev/null || echo 0)
    if [ "$bytes" -eq 0 ]; then
      echo "no bytes reached the port for $image $mode" >&2
      exit 1
    fi
    echo "$image $mode: $bytes bytes at the port for one page"
  done
done

echo "load average: $(cut -d' ' -f1-3 /proc/loadavg); $runs repetitions: min / median / max"

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
# min / median / max of the numbers in file $1, each divided by $2.
spread() {
  local low mid high
  low=$(sort -g "$1" | head -n1)
  mid=$(median <"$1")
  high=$(sort -g "$1" | tail -n1)
  awk -v a="$low" -v b="$mid" -v c="$high" -v d="$2" \
    'BEGIN { printf "%.2f / %.2f / %.2f", a / d, b / d, c / d }'
}

printf '\n%-8s %-7s %24s %24s %24s\n' image mode "kelo-print ms" "netpbm ms" "ratio to netpbm"
for image in receipt photo; do
  for f in grey colour netpbm grey-ratio colour-ratio; do : >"$tmp/$f"; done
  for ((r = 0; r < runs; r++)); do
    one=$(kelo_job_us 1 "$tmp/$image.png")
    many=$(kelo_job_us $pages "$tmp/$image.png")
    grey=$(((many - one) / (pages - 1)))
    one=$(kelo_job_us 1 "$tmp/$image.png" --colour)
    many=$(kelo_job_us $pages "$tmp/$image.png" --colour)
    colour=$(((many - one) / (pages - 1)))
    netpbm=$(netpbm_page_us "$tmp/$image.png")
    echo "$grey" >>"$tmp/grey"
    echo "$colour" >>"$tmp/colour"
    echo "$netpbm" >>"$tmp/netpbm"
    awk -v a="$grey" -v b="$netpbm" 'BEGIN { print a / b }' >>"$tmp/grey-ratio"
    awk -v a="$colour" -v b="$netpbm" 'BEGIN { print a / b }' >>"$tmp/colour-ratio"
  done
  for mode in grey colour; do
    printf '%-8s %-7s %24s %24s %24s\n' "$image" "$mode" "$(spread "$tmp/$mode" 1000)" \
      "$(spread "$tmp/netpbm" 1000)" "$(spread "$tmp/$mode-ratio" 1)"
  done
done
echo "targets: photo grey <= 0.45, colour <= 1.00; receipt grey <= 0.40, colour <= 0.50"
