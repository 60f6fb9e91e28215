#!/usr/bin/env bash
# HTTP throughput in a private network namespace: Nimbo against nginx (sendfile on, keep-alive
# off, then on) in the same run, with and without a desktop connected to Nimbo's console link.
#   wrk, 1, 16, 64 and 256 connections, on files of 0 B, 1 KiB, 64 KiB and 1 MiB: requests/s
#   curl, one client, a 1 GiB file: MB/s (MB = 10^6 bytes)
# nginx is unpacked from its Debian package into the build folder (not installed, so no
# service starts). Needs root. BENCH_SECONDS sets each wrk run's length (default 3).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
work="$top/build/bench-http"
secs=${BENCH_SECONDS:-3}

if [ "${NIMBO_HTTP_BENCH_INNER:-}" != 1 ]; then
  command -v wrk >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends wrk >/dev/null
  mkdir -p "$work/debs"
  if [ ! -x "$work/root/usr/sbin/nginx" ]; then
    (cd "$work/debs" && apt-get download nginx nginx-common >/dev/null 2>&1)
    for d in "$work"/debs/*.deb; do dpkg -x "$d" "$work/root"; done
  fi
  if [ -z "${NIMBO_BENCH_PROGRAM:-}" ]; then
    cmake -S "$top" -B "$top/build/bench" -DCMAKE_BUILD_TYPE=Release -DNIMBO_BUILD_TESTS=OFF -DNIMBO_BUILD_GUI=OFF >/dev/null
    cmake --build "$top/build/bench" -j4 --target nimbo_headless >/dev/null
  fi
  exec env NIMBO_HTTP_BENCH_INNER=1 unshare -n "$0" "$@"
fi

ip link set lo up
shm=$(mktemp -d /dev/shm/http_bench.XXXXXX)
chmod 755 "$shm"
pids=()
cleanup() {
  for p in "${pids[@]:-}"; do [ -n "$p" ] && kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$shm"
}
trap cleanup EXIT

root="$shm/root"
mkdir -p "$root" "$shm/nginx"
: > "$root/f0"
head -c 1024 /dev/urandom > "$root/f1k"
head -c 65536 /dev/urandom > "$root/f64k"
head -c 1048576 /dev/urandom > "$root/f1m"
head -c 1073741824 /dev/zero > "$root/f1g"

# nginx: one master, as many workers as cores, sendfile on; keep-alive off on 8080, on at 8081.
cat > "$shm/nginx/nginx.conf" <<CONF
user root root;
worker_processes auto;
pid $shm/nginx/nginx.pid;
error_log $shm/nginx/error.log crit;
events { worker_connections 4096; }
http {
  access_log off;
  sendfile on;
  tcp_nopush on;
  client_body_temp_path $shm/nginx/body;
  proxy_temp_path $shm/nginx/proxy;
  fastcgi_temp_path $shm/nginx/fastcgi;
  uwsgi_temp_path $shm/nginx/uwsgi;
  scgi_temp_path $shm/nginx/scgi;
  types { }
  default_type application/octet-stream;
  server { listen 127.0.0.1:8080; root $root; keepalive_timeout 0; }
  server { listen 127.0.0.1:8081; root $root; keepalive_timeout 65; keepalive_requests 1000000; }
}
CONF
"$work/root/usr/sbin/nginx" -p "$shm/nginx" -c "$shm/nginx/nginx.conf" -e "$shm/nginx/error.log" -g 'daemon off;' &
pids+=($!)

printf '[NIMBO]\nNIMBO_Services=128\n[HTTP]\nHTTP_RootDir=%s\nHTTP_Port=80\n' "$root" > "$shm/nimbo.ini"
"${NIMBO_BENCH_PROGRAM:-$top/build/bench/nimbo_headless}" -i "$shm/nimbo.ini" 2>/dev/null &
pids+=($!)
for _ in $(seq 100); do
  curl -sf -o /dev/null http://127.0.0.1/f0 && curl -sf -o /dev/null http://127.0.0.1:8080/f0 && break
  sleep 0.1
done

rps() {  # url connections; a run with failed or non-2xx replies prints "bad"
  local c=$2 t=$(( $2 < 4 ? $2 : 4 )) out
  out=$(wrk -t"$t" -c"$c" -d"${secs}s" "$1" 2>/dev/null)
  if grep -q 'Non-2xx' <<<"$out"; then echo bad; return; fi
  awk '/Requests\/sec/ {printf "%.0f", $2}' <<<"$out"
}
mbs() {  # url
  curl -sf -o /dev/null -w '%{speed_download}' "$1" | awk '{printf "%.0f", $1 / 1e6}'
}

table() {  # title
  echo "== $1: requests/s (ratio = Nimbo / nginx)"
  printf '%-6s %5s %10s %12s %12s %10s %10s\n' file conns Nimbo "nginx ka-off" "nginx ka-on" "/ka-off" "/ka-on"
  for f in f0 f1k f64k f1m; do
    for c in 1 16 64 256; do
      n=$(rps "http://127.0.0.1/$f" "$c")
      a=$(rps "http://127.0.0.1:8080/$f" "$c")
      b=$(rps "http://127.0.0.1:8081/$f" "$c")
      printf '%-6s %5s %10s %12s %12s %10s %10s\n' "$f" "$c" "$n" "$a" "$b" \
        "$(awk -v x="$n" -v y="$a" 'BEGIN { if (y > 0) printf "%.2f", x / y; else print "-" }')" \
        "$(awk -v x="$n" -v y="$b" 'BEGIN { if (y > 0) printf "%.2f", x / y; else print "-" }')"
    done
  done
  echo "curl 1 GiB MB/s: Nimbo $(mbs http://127.0.0.1/f1g)  nginx ka-off $(mbs http://127.0.0.1:8080/f1g)  nginx ka-on $(mbs http://127.0.0.1:8081/f1g)"
}

table "no desktop connected"
python3 "$top/bench/http_gui_client.py" > "$shm/gui.txt" &
pids+=($!)
for _ in $(seq 100); do grep -q connected "$shm/gui.txt" && break; sleep 0.1; done
grep -q connected "$shm/gui.txt" || { echo "the stand-in desktop could not connect"; exit 1; }
table "a desktop connected (every request waits for its notice)"
kill "${pids[-1]}"
for _ in $(seq 50); do grep -q "request notices" "$shm/gui.txt" && break; sleep 0.1; done
echo "the stand-in desktop received $(sed -n 's/request notices: //p' "$shm/gui.txt") request notices"
