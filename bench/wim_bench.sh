#!/usr/bin/env bash
# WIM engine against wimlib's own tools, on a 192 MiB image in tmpfs (half text, half noise):
#   extraction of every file (ours: ExtractFromWimFile with a pattern; wimlib: wimextract),
#   LZX and XPRESS;
#   adding one 64 MiB file to the image (ours: a copy updated beside the destination and
#   renamed; wimlib: wimlib-imagex update of a copy made beforehand, not timed).
# Prints the best of three runs in seconds and MB/s (MB = 10^6 bytes of unpacked data).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
shm=$(mktemp -d /dev/shm/wim_bench.XXXXXX)
trap 'rm -rf "$shm"' EXIT
command -v wimlib-imagex >/dev/null || { echo "needs wimtools"; exit 1; }
cmake -S "$top" -B "$top/build/bench" -DCMAKE_BUILD_TYPE=Release -DNIMBO_BUILD_TESTS=OFF -DNIMBO_BUILD_GUI=OFF >/dev/null
cmake --build "$top/build/bench" -j4 --target nimbo_wim_bench >/dev/null 2>&1
ours="$top/build/bench/libs/wim/nimbo_wim_bench"

mkdir -p "$shm/src/text" "$shm/src/noise"
for i in $(seq 1 16); do
  head -c 6291456 <(seq "$i" 2000000) > "$shm/src/text/t$i.txt"
  head -c 6291456 /dev/urandom > "$shm/src/noise/n$i.bin"
done
head -c 67108864 /dev/urandom > "$shm/add.bin"
bytes=$(du -sb "$shm/src" | cut -f1)

best() {  # best of three wall-clock times of a command, in seconds
  local b=""
  for _ in 1 2 3; do
    rm -rf "$shm/out" "$shm/dst.wim"
    [ -n "${prepare:-}" ] && eval "$prepare"
    local s e
    s=$(date +%s.%N); "$@" >/dev/null 2>&1 || { echo "failed: $*" >&2; exit 1; }; e=$(date +%s.%N)
    b=$(echo "$s $e ${b:-1e9}" | awk '{t=$2-$1; print (t<$3)?t:$3}')
  done
  echo "$b"
}
row() { printf '%-44s %8.3f s %9.1f MB/s\n' "$1" "$2" "$(echo "$3 $2" | awk '{print $1/1e6/$2}')"; }

for kind in LZX XPRESS; do
  wim="$shm/$kind.wim"
  wimlib-imagex capture "$shm/src" "$wim" Bench --compress="$kind" >/dev/null
  row "extract all, $kind, nimbo" "$(prepare= best "$ours" extract "$wim" '.*' "$shm/out")" "$bytes"
  row "extract all, $kind, wimextract" "$(prepare= best wimextract "$wim" 1 --dest-dir="$shm/out")" "$bytes"
  row "add 64 MiB, $kind, nimbo (copy + update)" \
    "$(prepare= best "$ours" inject "$wim" "$shm/dst.wim" 1 '\added\add.bin' "$shm/add.bin")" 67108864
  row "add 64 MiB, $kind, wimlib-imagex update" \
    "$(prepare="cp '$wim' '$shm/dst.wim'" best wimlib-imagex update "$shm/dst.wim" 1 --command="add $shm/add.bin /added/add.bin")" 67108864
done
