#!/usr/bin/env bash
# TFTP throughput on loopback: Nimbo (TFTP_MinInterFrameDelay at its default 80 and at 0)
# against atftpd, tftpd-hpa and dnsmasq, serving a 256 MiB file from tmpfs.
#   one client:   atftp, windowsize 16, blksize 1468, the 256 MiB file
#   20 clients:   the same client 20 times in parallel, each fetching a 64 MiB file
#   fast:         the same two measurements (one client on the 256 MiB file, 20 on the 64 MiB
#                 file) with our own client, bench/tftp_client.cpp (built here with g++), at
#                 windowsize 16 and blksize 1468. It receives in batches with recvmmsg, so the
#                 servers' capacity shows rather than atftp's (about 230 MB/s, one client, idle). A
#                 server that does not accept windowsize gets one block per ACK (the table's
#                 "window" column shows what was negotiated).
#   lock-step:    curl, blksize 1468 and no window (as a PXE ROM asks), the 64 MiB file, one
#                 client, three rounds (median)
# TFTP_BENCH_CASES picks the cases ("window fast lockstep", the default; any subset).
# Prints MB/s (MB = 10^6 bytes) and the server's CPU time per MB, then one table per case with
# every server against atftpd (speed ratio: higher is faster; CPU ratio: lower is leaner).
# The other servers are unpacked from their Debian packages into the build folder (not
# installed, so no service starts). dnsmasq has a fixed TFTP port: it listens on 127.0.0.1:69.
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

mkdir -p "$work/debs" "$work/root"
if [ ! -x "$work/root/usr/sbin/atftpd" ] || [ ! -x "$work/root/usr/sbin/in.tftpd" ]; then
  (cd "$work/debs" && apt-get download atftpd tftpd-hpa >/dev/null 2>&1)
  for d in "$work"/debs/*.deb; do dpkg -x "$d" "$work/root"; done
fi
command -v atftp >/dev/null && command -v dnsmasq >/dev/null || { echo "needs atftp and dnsmasq"; exit 1; }
{ ldconfig -p | grep libwrap.so.0 >/dev/null; } || { echo "needs libwrap0"; exit 1; }

# NIMBO_BENCH_PROGRAM names a release program already built; else it is built here.
nimbo=${NIMBO_BENCH_PROGRAM:-}
if [ -z "$nimbo" ]; then
  cmake -S "$top" -B "$top/build/bench" -DCMAKE_BUILD_TYPE=Release -DNIMBO_BUILD_TESTS=OFF -DNIMBO_BUILD_GUI=OFF >/dev/null
  cmake --build "$top/build/bench" -j4 --target nimbo_headless >/dev/null
  nimbo="$top/build/bench/nimbo_headless"
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

cases=${TFTP_BENCH_CASES:-window fast lockstep}
command -v curl >/dev/null || { echo "needs curl"; exit 1; }
client="$work/tftp_client"
if [[ " $cases " == *" fast "* ]]; then
  g++ -O2 -std=c++20 -Wall -Wextra -o "$client" "$top/bench/tftp_client.cpp"
fi

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
  if [ "$kind" = fast ]; then
    res="$shm/fast"
    # the window the server granted (client 1), and the first error of any client that failed
    win=$(awk '{print $4}' "$shm/out/1.log" 2>/dev/null)
    [ -n "$win" ] || win="?"
    if [ "$ok" -lt "$clients" ]; then { cat "$shm"/out/*.err | sort | uniq -c | head -3; } || true; fi
  fi
  awk -v res="$res" -v kind="$kind" -v win="$win" -v la="$(cut -d' ' -f1 /proc/loadavg)" -v n="$name" -v c="$clients" -v b="$bytes" -v t0="$t0" -v t1="$t1" -v c0="$c0" -v c1="$c1" -v hz="$hz" -v ok="$ok" \
    'BEGIN { mb = b * c / 1e6; s = t1 - t0; cpu = (c1 - c0) / hz;
             printf "%-24s %2d client(s)  %8.1f MB/s  %7.3f ms CPU/MB  (%d/%d files identical, load %s)\n",
                    n, c, mb / s, cpu * 1000 / mb, ok, c, la;
             if (kind == "fast") printf "%s|%d|%.1f|%.3f|%d|%s|%s\n", n, c, mb / s, cpu * 1000 / mb, ok, la, win >> res;
             else printf "%s|%d|%.1f|%.3f|%d|%s\n", n, c, mb / s, cpu * 1000 / mb, ok, la >> res }'
}

bench_server() {
  local name=$1 pid=$2 port=$3
  sleep 0.5
  kill -0 "$pid" 2>/dev/null || { echo "$name did not start"; return; }
  if [[ " $cases " == *" window "* ]]; then
    run_case "$name" "$pid" "$port" 1 big.bin $((256 << 20))
    run_case "$name" "$pid" "$port" 20 mid.bin $((64 << 20))
  fi
  if [[ " $cases " == *" fast "* ]]; then
    run_case "$name" "$pid" "$port" 1 big.bin $((256 << 20)) fast
    run_case "$name" "$pid" "$port" 20 mid.bin $((64 << 20)) fast
  fi
  if [[ " $cases " == *" lockstep "* ]]; then
    local r
    for r in 1 2 3; do run_case "$name" "$pid" "$port" 1 mid.bin $((64 << 20)) lockstep; done
  fi
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

"$work/root/usr/sbin/atftpd" --daemon --no-fork --user root --group root --bind-address 127.0.0.1 --port 6973 \
  --logfile /dev/null "$root" &
pid=$!; pids+=("$pid")
bench_server "atftpd" "$pid" 6973

"$work/root/usr/sbin/in.tftpd" -L -s -a 127.0.0.1:6974 "$root" &
pid=$!; pids+=("$pid")
bench_server "tftpd-hpa" "$pid" 6974

dnsmasq --no-daemon --conf-file=/dev/null --port=0 --enable-tftp --tftp-root="$root" \
  --listen-address=127.0.0.1 --bind-interfaces --interface=lo --user=root --pid-file="$shm/dnsmasq.pid" >/dev/null 2>&1 &
pid=$!; pids+=("$pid")
bench_server "dnsmasq" "$pid" 69

if [ -s "$shm/results" ]; then
echo
echo "atftp client (windowsize 16, blksize 1468):"
awk -F'|' '{ name[NR] = $1; cl[NR] = $2; mbs[NR] = $3; cpu[NR] = $4; ok[NR] = $5;
             if ($1 == "atftpd") { refS[$2] = $3; refC[$2] = $4 } }
  END { printf "| server | clients | MB/s | x atftpd | ms CPU/MB | x atftpd | identical |\n|---|---|---|---|---|---|---|\n";
        for (i = 1; i <= NR; i++)
          printf "| %s | %d | %.1f | %s | %.3f | %s | %d/%d |\n", name[i], cl[i], mbs[i],
                 refS[cl[i]] ? sprintf("%.2f", mbs[i] / refS[cl[i]]) : "-", cpu[i],
                 refC[cl[i]] ? sprintf("%.2f", cpu[i] / refC[cl[i]]) : "-", ok[i], cl[i] }' "$shm/results"
fi

if [ -s "$shm/fast" ]; then
  echo
  echo "Our client (bench/tftp_client, windowsize 16 asked, blksize 1468; window = what the server granted):"
  awk -F'|' '{ name[NR] = $1; cl[NR] = $2; mbs[NR] = $3; cpu[NR] = $4; ok[NR] = $5; la[NR] = $6; win[NR] = $7;
               if ($1 == "atftpd") { refS[$2] = $3; refC[$2] = $4 } }
    END { printf "| server | clients | window | MB/s | x atftpd | ms CPU/MB | x atftpd | identical | load avg |\n|---|---|---|---|---|---|---|---|---|\n";
          for (i = 1; i <= NR; i++)
            printf "| %s | %d | %s | %.1f | %s | %.3f | %s | %d/%d | %s |\n", name[i], cl[i], win[i] == 1 ? "1 (lock-step)" : win[i], mbs[i],
                   refS[cl[i]] ? sprintf("%.2f", mbs[i] / refS[cl[i]]) : "-", cpu[i],
                   refC[cl[i]] ? sprintf("%.2f", cpu[i] / refC[cl[i]]) : "-", ok[i], cl[i], la[i] }' "$shm/fast"
fi

if [ -s "$shm/lockstep" ]; then
  echo
  echo "Lock-step (curl, blksize 1468, no window), one client, 64 MiB, median of 3 rounds:"
  sort -t'|' -k1,1 -k3,3n "$shm/lockstep" | awk -F'|' '
    { n = $1; k = ++cnt[n]; mbs[n, k] = $3; cpu[n, k] = $4; ok[n] += ($5 == 1); la[n] = la[n] (k > 1 ? ", " : "") $6;
      if (!(n in seen)) { seen[n] = 1; order[++names] = n } }
    function med(arr, n, c,   v, i, j, t) { for (i = 1; i <= c; i++) v[i] = arr[n, i];
      for (i = 1; i <= c; i++) for (j = i + 1; j <= c; j++) if (v[j] < v[i]) { t = v[i]; v[i] = v[j]; v[j] = t }
      return v[int((c + 1) / 2)] }
    END { for (i = 1; i <= names; i++) { n = order[i]; ms[n] = med(mbs, n, cnt[n]); mc[n] = med(cpu, n, cnt[n]) }
          refS = ms["atftpd"]; refC = mc["atftpd"];
          printf "| server | MB/s | x atftpd | ms CPU/MB | x atftpd | identical | load avg |\n|---|---|---|---|---|---|---|\n";
          for (i = 1; i <= names; i++) { n = order[i];
            printf "| %s | %.1f | %s | %.3f | %s | %d/%d | %s |\n", n, ms[n], refS ? sprintf("%.2f", ms[n] / refS) : "-",
                   mc[n], refC ? sprintf("%.2f", mc[n] / refC) : "-", ok[n], cnt[n], la[n] } }'
fi
