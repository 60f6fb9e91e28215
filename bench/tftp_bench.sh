#!/usr/bin/env bash
# TFTP throughput on loopback: Nimbo (TFTP_MinInterFrameDelay at its default 80 and at 0)
# against atftpd, tftpd-hpa and dnsmasq, serving a 256 MiB file from tmpfs.
#   fast:         our own client, bench/tftp_client.cpp (built with the tree), windowsize 16,
#                 blksize 1468: one client on the 256 MiB file, then 20 in parallel on a 64 MiB
#                 file. It receives in batches with recvmmsg, so the servers' capacity shows
#                 rather than the client's; each client reports its own CPU time, and a figure
#                 whose busiest client was busy 90% of the transfer or more is marked as the
#                 client's limit. A server that does not accept windowsize gets one block per
#                 ACK (the "window" column shows what was negotiated).
#   lock-step:    curl, blksize 1468 and no window (as a PXE ROM asks), the 64 MiB file, one
#                 client.
#   window:       atftp as the client (windowsize 16, blksize 1468), one and 20 clients. atftp
#                 itself tops out near 230 MB/s, so these figures are the client's limit; not run
#                 unless asked for.
# TFTP_BENCH_CASES picks the cases ("fast lockstep", the default; any subset of "fast lockstep
# window"). Every case runs BENCH_ROUNDS rounds (3 by default); the tables give the median
# with every round beside it and the load average of each round, never a best round.
# Beside the figures stands the loopback limit of a window-16 transfer on this machine: a plain
# UDP sender and receiver (bench/udp_limit.cpp) moving 256 MiB in datagrams of the same size,
# median of the same rounds.
# Prints MB/s (MB = 10^6 bytes) and the server's CPU time per MB, then one table per case with
# every server against atftpd (speed ratio: higher is faster; CPU ratio: lower is leaner).
# The other servers are unpacked from their Debian packages into the build folder (not
# installed, so no service starts). dnsmasq has a fixed TFTP port: it listens on 127.0.0.1:69.
# NIMBO_BENCH_PROGRAM names the program to measure (an older build, say); else it is built here.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
work="$top/build/bench-tftp"
shm=$(mktemp -d /dev/shm/tftp_bench.XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]:-}"; do [ -n "$p" ] && kill "$p" 2>/dev/null || true; done
  rm -rf "$shm"
}
trap cleanup EXIT

"$top"/tools/unpack-peers  # atftpd and tftpd-hpa, unpacked into build/peers/root
peers="$top/build/peers/root"
mkdir -p "$work"
command -v atftp >/dev/null && command -v dnsmasq >/dev/null || { echo "needs atftp and dnsmasq"; exit 1; }
{ ldconfig -p | grep libwrap.so.0 >/dev/null; } || { echo "needs libwrap0"; exit 1; }

# The UDP pair sends with the server's own segmentation helper and the client waits with its
# socket helpers: both are built with the tree.
cmake -S "$top" -B "$top/build/bench" -DCMAKE_BUILD_TYPE=Release -DNIMBO_BUILD_TESTS=OFF -DNIMBO_BUILD_GUI=OFF >/dev/null
udp_limit="$top/build/bench/libs/platform/nimbo_udp_limit"
nimbo=${NIMBO_BENCH_PROGRAM:-}
if [ -z "$nimbo" ]; then
  cmake --build "$top/build/bench" -j4 --target nimbo_headless nimbo_udp_limit nimbo_tftp_client >/dev/null
  nimbo="$top/build/bench/nimbo_headless"
else
  cmake --build "$top/build/bench" -j4 --target nimbo_udp_limit nimbo_tftp_client >/dev/null
fi

root="$shm/root"
mkdir -p "$root" "$shm/out"
chmod 777 "$root"
head -c $((256 << 20)) /dev/urandom > "$root/big.bin"
head -c $((64 << 20)) /dev/urandom > "$root/mid.bin"
chmod 644 "$root"/*.bin

cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }

# tftpd-hpa serves each transfer from a child process that the parent does not account:
# sample the children's CPU every 100 ms while the clients run and add the last readings.
sample_children() {
  local parent=$1 out=$2 c
  declare -A ticks=()
  while [ -e "$shm/sampling" ]; do
    for c in $(pgrep -P "$parent"); do
      local f
      { read -r -a f < "/proc/$c/stat"; } 2>/dev/null || continue
      ticks[$c]=$((f[13] + f[14]))
    done
    sleep 0.1
  done
  local sum=0 v
  for v in "${ticks[@]}"; do sum=$((sum + v)); done
  echo "$sum" > "$out"
}
hz=$(getconf CLK_TCK)

cases=${TFTP_BENCH_CASES:-fast lockstep}
rounds=${BENCH_ROUNDS:-3}
command -v curl >/dev/null || { echo "needs curl"; exit 1; }
client="$top/build/bench/libs/platform/nimbo_tftp_client"
# The loopback limit of a window-16 transfer: rounds of a plain sender/receiver pair.
: > "$shm/limit"
for r in $(seq 1 "$rounds"); do
  timeout 120 "$udp_limit" $((256 << 20)) 1468 16 | awk -v la="$(cut -d' ' -f1 /proc/loadavg)" \
    '{ for (i = 1; i < NF; i++) if ($i == "MB/s") print $(i + 1) "|" la }' >> "$shm/limit"
done
limit=$(sort -t'|' -k1,1n "$shm/limit" | awk -F'|' '{ v[NR] = $1 } END { if (NR) print v[int((NR + 1) / 2)] }')
echo "loopback limit of a window-16 transfer (plain UDP pair, 1472-byte datagrams): ${limit:-?} MB/s," \
  "rounds $(cut -d'|' -f1 "$shm/limit" | paste -sd' '), load $(cut -d'|' -f2 "$shm/limit" | paste -sd' ')"

# run_case NAME PID PORT CLIENTS FILE BYTES [KIND]  (KIND: window, the default, fast or lockstep)
run_case() {
  local name=$1 pid=$2 port=$3 clients=$4 file=$5 bytes=$6 kind=${7:-window}
  local c0 t0 t1 c1 i clientPids=() sampler
  rm -f "$shm"/out/*
  touch "$shm/sampling"
  sample_children "$pid" "$shm/children" &
  sampler=$!
  c0=$(cpu_ticks "$pid")
  t0=$(date +%s.%N)
  for i in $(seq 1 "$clients"); do
    if [ "$kind" = fast ]; then
      timeout 600 "$client" 127.0.0.1 "$port" "$file" "$shm/out/$i" 1468 16 >"$shm/out/$i.log" 2>"$shm/out/$i.err" &
    elif [ "$kind" = lockstep ]; then
      timeout 600 curl -s --tftp-blksize 1468 -o "$shm/out/$i" "tftp://127.0.0.1:$port/$file" >/dev/null 2>&1 &
    else
      timeout 600 atftp --option "windowsize 16" --option "blksize 1468" -g -r "$file" -l "$shm/out/$i" 127.0.0.1 "$port" \
        >/dev/null 2>&1 &
    fi
    clientPids+=($!)
  done
  wait "${clientPids[@]}" || true
  t1=$(date +%s.%N)
  c1=$(cpu_ticks "$pid")
  rm -f "$shm/sampling"
  wait "$sampler" || true
  c1=$((c1 + $(cat "$shm/children")))
  local ok=0
  for i in $(seq 1 "$clients"); do cmp -s "$root/$file" "$shm/out/$i" && ok=$((ok + 1)); done
  local res="$shm/results" win=-
  [ "$kind" = lockstep ] && res="$shm/lockstep"
  local busy=-
  if [ "$kind" = fast ]; then
    res="$shm/fast"
    # the window the server granted (client 1), and the first error of any client that failed
    win=$(awk '{print $4}' "$shm/out/1.log" 2>/dev/null)
    [ -n "$win" ] || win="?"
    # the busiest client's CPU share of its transfer
    busy=$(cat "$shm"/out/*.log 2>/dev/null | awk '{ for (i = 1; i < NF; i++) { if ($i == "cpu") c = $(i + 1); if ($i == "wall") w = $(i + 1) }
                                                    if (w > 0 && c / w > m) m = c / w } END { printf "%.2f", m }')
    if [ "$ok" -lt "$clients" ]; then { cat "$shm"/out/*.err | sort | uniq -c | head -3; } || true; fi
  fi
  awk -v res="$res" -v kind="$kind" -v win="$win" -v busy="$busy" -v la="$(cut -d' ' -f1 /proc/loadavg)" -v n="$name" -v c="$clients" -v b="$bytes" -v t0="$t0" -v t1="$t1" -v c0="$c0" -v c1="$c1" -v hz="$hz" -v ok="$ok" \
    'BEGIN { mb = b * c / 1e6; s = t1 - t0; cpu = (c1 - c0) / hz;
             printf "%-24s %2d client(s)  %8.1f MB/s  %7.3f ms CPU/MB  (%d/%d files identical, load %s%s)\n",
                    n, c, mb / s, cpu * 1000 / mb, ok, c, la, busy == "-" ? "" : ", busiest client " busy * 100 "%";
             printf "%s|%d|%.1f|%.3f|%d|%s|%s|%s\n", n, c, mb / s, cpu * 1000 / mb, ok, la, win, busy >> res }'
}

bench_server() {
  local name=$1 pid=$2 port=$3
  sleep 0.5
  kill -0 "$pid" 2>/dev/null || { echo "$name did not start"; return; }
  local r
  for r in $(seq 1 "$rounds"); do
    if [[ " $cases " == *" window "* ]]; then
      run_case "$name" "$pid" "$port" 1 big.bin $((256 << 20))
      run_case "$name" "$pid" "$port" 20 mid.bin $((64 << 20))
    fi
    if [[ " $cases " == *" fast "* ]]; then
      run_case "$name" "$pid" "$port" 1 big.bin $((256 << 20)) fast
      run_case "$name" "$pid" "$port" 20 mid.bin $((64 << 20)) fast
    fi
    if [[ " $cases " == *" lockstep "* ]]; then
      run_case "$name" "$pid" "$port" 1 mid.bin $((64 << 20)) lockstep
    fi
  done
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

for delay in 80 0; do
  ini="$shm/nimbo-$delay.ini"
  cat > "$ini" <<INI
[NIMBO]
NIMBO_Services=1
[TFTP]
TFTP_RootDirectory=$root
TFTP_LocalIP=127.0.0.1
TFTP_Port=6972
TFTP_MinInterFrameDelay=$delay
INI
  (cd "$shm" && exec "$nimbo" -i "$ini" -l 0 >/dev/null 2>&1) &
  pid=$!
  pids+=("$pid")
  bench_server "nimbo (delay $delay us)" "$pid" 6972
done

"$peers/usr/sbin/atftpd" --daemon --no-fork --user root --group root --bind-address 127.0.0.1 --port 6973 \
  --logfile /dev/null "$root" &
pid=$!; pids+=("$pid")
bench_server "atftpd" "$pid" 6973

"$peers/usr/sbin/in.tftpd" -L -s -a 127.0.0.1:6974 "$root" &
pid=$!; pids+=("$pid")
bench_server "tftpd-hpa" "$pid" 6974

dnsmasq --no-daemon --conf-file=/dev/null --port=0 --enable-tftp --tftp-root="$root" \
  --listen-address=127.0.0.1 --bind-interfaces --interface=lo --user=root --pid-file="$shm/dnsmasq.pid" >/dev/null 2>&1 &
pid=$!; pids+=("$pid")
bench_server "dnsmasq" "$pid" 69

# table FILE TITLE: the median of the rounds per server and client count, every round, the load
# averages and, for our client, whether the client was the limit; ratios against atftpd's
# medians and, for one client, against the loopback limit.
table() {
  [ -s "$1" ] || return 0
  echo
  echo "$2, median of $rounds rounds:"
  awk -F'|' -v limit="${limit:-0}" '
    { k = $1 "|" $2; n = ++cnt[k]; mbs[k, n] = $3; cpu[k, n] = $4; ok[k] += $5; tot[k] += $2
      la[k] = la[k] (n > 1 ? ", " : "") $6; win[k] = $7; if ($8 != "" && $8 != "-" && $8 > busy[k]) busy[k] = $8
      if ($8 != "" && $8 != "-" && $8 >= 0.9) lim[k] = lim[k] (lim[k] ? ", " : "") n
      all[k] = all[k] (n > 1 ? ", " : "") $3; if ($8 != "" && $8 != "-") hasBusy = 1
      if (!(k in seen)) { seen[k] = 1; order[++keys] = k; name[k] = $1; cl[k] = $2 } }
    function med(arr, k, c,   v, i, j, t) { for (i = 1; i <= c; i++) v[i] = arr[k, i];
      for (i = 1; i <= c; i++) for (j = i + 1; j <= c; j++) if (v[j] < v[i]) { t = v[i]; v[i] = v[j]; v[j] = t }
      return v[int((c + 1) / 2)] }
    END { for (i = 1; i <= keys; i++) { k = order[i]; ms[k] = med(mbs, k, cnt[k]); mc[k] = med(cpu, k, cnt[k]);
            if (name[k] == "atftpd") { refS[cl[k]] = ms[k]; refC[cl[k]] = mc[k] } }
          printf "| server | clients | window | MB/s median (rounds) | x atftpd | x loopback limit | ms CPU/MB | x atftpd | identical | load avg | client the limit? |\n"
          printf "|---|---|---|---|---|---|---|---|---|---|---|\n"
          for (i = 1; i <= keys; i++) { k = order[i]; c = cl[k]
            printf "| %s | %d | %s | %.1f (%s) | %s | %s | %.3f | %s | %d/%d | %s | %s |\n", name[k], c,
                   win[k] == "" || win[k] == "-" ? "-" : (win[k] == 1 ? "1 (lock-step)" : win[k]), ms[k], all[k],
                   refS[c] ? sprintf("%.2f", ms[k] / refS[c]) : "-",
                   (c == 1 && win[k] == 16 && limit > 0) ? sprintf("%.2f", ms[k] / limit) : "-", mc[k],
                   refC[c] ? sprintf("%.2f", mc[k] / refC[c]) : "-", ok[k], tot[k], la[k],
                   verdict(k) } }
    function verdict(k) {
      if (!hasBusy) return "not measured"
      if (lim[k]) return sprintf("yes in round(s) %s (busiest client %.0f%%)", lim[k], busy[k] * 100)
      return sprintf("no (busiest client at most %.0f%%)", busy[k] * 100) }' "$1"
}

echo
echo "loopback limit of a window-16 transfer on this machine: ${limit:-?} MB/s (median of $rounds rounds of" \
  "bench/udp_limit: a plain UDP sender/receiver pair, 1472-byte datagrams)"
table "$shm/fast" "Our client (bench/tftp_client, windowsize 16 asked, blksize 1468; window = what the server granted)"
table "$shm/lockstep" "Lock-step (curl, blksize 1468, no window), one client, 64 MiB"
table "$shm/results" "atftp client (windowsize 16, blksize 1468): atftp is the limit here (about 230 MB/s alone)"
