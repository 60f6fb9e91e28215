#!/usr/bin/env bash
# The desktop's TFTP client against Nimbo's own TFTP server, atftpd and tftpd-hpa, in the
# private network namespace the test makes (unshare -n): GET and PUT of files of 0 B,
# 511 B, 512 B, 1 MiB and 40 MiB (512-byte blocks: the block numbers wrap), each byte
# identical and with the MD5 that md5sum computes. With TFTPC_BATCH, five files dropped on the
# desktop's client pane are uploaded to atftpd as one batch.
#   tftpc_peers_test.sh TFTPC_CLI NIMBO_HEADLESS PEERS_ROOT [TFTPC_BATCH]
# atftpd and tftpd-hpa conflict as packages: tools/setup unpacks both from their Debian
# packages into PEERS_ROOT (tools/unpack-peers; not installed, so no service starts). The test
# itself needs no network: missing servers are a failure.
set -euo pipefail
cli=$(realpath "$1") nimbo=$(realpath "$2") peers=$(realpath -m "$3")
batch=${4:+$(realpath "$4")}

# Outside the namespace: check the servers, then run the rest in a namespace of its own.
if [ "${TFTPC_PEERS_INNER:-}" != 1 ]; then
  if [ ! -x "$peers/usr/sbin/atftpd" ] || [ ! -x "$peers/usr/sbin/in.tftpd" ]; then
    echo "FAIL atftpd and tftpd-hpa are not unpacked in $peers: run tools/setup (tools/unpack-peers)"
    exit 1
  fi
  python3 "$(dirname "$(realpath "$0")")/../support/netns.py" check || exit $?
  TFTPC_PEERS_INNER=1 exec unshare -n "$0" "$cli" "$nimbo" "$peers" ${batch:+"$batch"}
fi
ip link set lo up
# tftpd-hpa resolves its address only when some non-loopback address is configured.
ip addr add 10.250.0.1/32 dev lo

tmp=$(mktemp -d /tmp/tftpc_peers.XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]:-}"; do [ -n "$p" ] && kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]:-}"; do [ -n "$p" ] && wait "$p" 2>/dev/null || true; done
  rm -rf "$tmp"
}
trap cleanup EXIT

src="$tmp/src"
mkdir -p "$src" "$tmp/got"
: > "$src/f0"
head -c 511 /dev/urandom > "$src/f511"
head -c 512 /dev/urandom > "$src/f512"
head -c $((1 << 20)) /dev/urandom > "$src/f1m"
head -c $((40 << 20)) /dev/urandom > "$src/f40m"

start_root() {  # a fresh root per server, holding the files to GET
  local root="$tmp/root-$1"
  mkdir -p "$root"
  cp "$src"/* "$root/"
  chmod 777 "$root"
  chmod 666 "$root"/*
  echo "$root"
}

fail=0
# run_server NAME PORT ROOT BLKSIZE WINDOWSIZE
run_server() {
  local name=$1 port=$2 root=$3 blk=$4 win=$5 f b out got want
  for f in f0 f511 f512 f1m f40m; do
    b=$blk
    [ "$f" = f40m ] && b=512
    # GET
    rm -f "$tmp/got/$f"
    out=$("$cli" get 127.0.0.1 "$port" "$f" "$tmp/got/$f" "$b" "$win") || true
    want=$(md5sum < "$src/$f" | cut -d' ' -f1)
    got=$(echo "$out" | awk '$1 == "OK" {print $2}')
    if [ "$got" != "$want" ] || ! cmp -s "$src/$f" "$tmp/got/$f"; then
      echo "FAIL $name GET $f: $out"; fail=1
    else
      echo "ok   $name GET $f blksize $b windowsize $win: $out"
    fi
    # PUT under a new name
    rm -f "$root/up_$f"
    out=$("$cli" put 127.0.0.1 "$port" "up_$f" "$src/$f" "$b" "$win") || true
    got=$(echo "$out" | awk '$1 == "OK" {print $2}')
    sleep 0.2  # the server closes its file after the last ACK
    if [ "$got" != "$want" ] || ! cmp -s "$src/$f" "$root/up_$f"; then
      echo "FAIL $name PUT $f: $out"; fail=1
    else
      echo "ok   $name PUT $f blksize $b windowsize $win: $out"
    fi
  done
}

wait_port() {  # until something listens on the UDP port
  for _ in $(seq 1 400); do
    grep -qi "^ *[0-9]*: [0-9A-F]*:$(printf '%04X' "$1") " /proc/net/udp && return 0
    sleep 0.05
  done
  echo "nothing listens on port $1"; return 1
}

# Nimbo's own server.
root=$(start_root nimbo)
cat > "$tmp/nimbo.ini" <<INI
[NIMBO]
NIMBO_Services=1
[TFTP]
TFTP_RootDirectory=$root
TFTP_LocalIP=127.0.0.1
TFTP_Port=6971
TFTP_SecurityLevel=1
TFTP_MinInterFrameDelay=0
INI
(cd "$tmp" && exec "$nimbo" -i "$tmp/nimbo.ini" -l 0 >/dev/null 2>&1) &
pids+=($!)
wait_port 6971
run_server nimbo 6971 "$root" 1468 8

root=$(start_root atftpd)
"$peers/usr/sbin/atftpd" --daemon --no-fork --user root --group root --bind-address 127.0.0.1 --port 6972 \
  --logfile /dev/null "$root" &
pids+=($!)
wait_port 6972
run_server atftpd 6972 "$root" 1024 16

# The batch: five dropped files, the typed remote name for the first one only.
if [ -n "$batch" ]; then
  mkdir -p "$tmp/batch"
  head -c $((1 << 20)) /dev/urandom > "$tmp/batch/b0"
  : > "$tmp/batch/b1"
  head -c 511 /dev/urandom > "$tmp/batch/b2"
  head -c 512 /dev/urandom > "$tmp/batch/b3"
  head -c $(((3 << 20) + 7)) /dev/urandom > "$tmp/batch/b4"
  out=$("$batch" 127.0.0.1 6972 batch_first "$tmp"/batch/b{0,1,2,3,4}) || { echo "FAIL batch: $out"; fail=1; }
  echo "$out"
  sleep 0.2
  echo "$out" | grep -qx "QUESTION Upload (Put) 5 files to host ?" || { echo "FAIL batch question"; fail=1; }
  echo "$out" | grep -qx "SUMMARY 5 files fully transferred in [0-9]* blocks and [0-9]* retransmissions\?" ||
    { echo "FAIL batch summary"; fail=1; }
  mapfile -t sums < <(echo "$out" | awk '$1 == "OK" {print $2}')
  i=0
  for f in b0 b1 b2 b3 b4; do
    stored=$f
    [ $f = b0 ] && stored=batch_first
    want=$(md5sum < "$tmp/batch/$f" | cut -d' ' -f1)
    if [ "${sums[$i]:-}" != "$want" ] || ! cmp -s "$tmp/batch/$f" "$root/$stored"; then
      echo "FAIL batch $f as $stored: MD5 ${sums[$i]:-none}, md5sum $want"; fail=1
    else
      echo "ok   batch $f as $stored: $want"
    fi
    i=$((i + 1))
  done
  [ ! -e "$root/b0" ] || { echo "FAIL batch: the first file was also sent under its own name"; fail=1; }
fi

root=$(start_root hpa)
"$peers/usr/sbin/in.tftpd" -L -c -u root -s -a 127.0.0.1:6973 "$root" &
pids+=($!)
wait_port 6973
run_server tftpd-hpa 6973 "$root" 1468 4

# A refused GET removes nothing but its own empty file, and says why.
out=$("$cli" get 127.0.0.1 6972 missing "$tmp/got/missing" 512 1) && fail=1
echo "$out" | grep -q "^ERR Server stops the transfer" || { echo "FAIL refused GET: $out"; fail=1; }
[ ! -e "$tmp/got/missing" ] || { echo "FAIL refused GET left its file"; fail=1; }

exit $fail
