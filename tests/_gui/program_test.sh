#!/usr/bin/env bash
# The program with its desktop on the offscreen platform, inside a private network
# namespace: a second start finds the first, "-kill" closes it (its position is saved),
# SIGTERM closes it too, and "-kill" alone does nothing. Run as: program_test.sh NIMBO (it runs
# itself again in the namespace; exits 77, skipped, where the machine cannot make one).
set -u
. "$(dirname "$(realpath "$0")")/../support/private_net.sh"
nimbo=$1
work=$(mktemp -d /tmp/nimbo-program-XXXXXX)
trap 'kill -9 $(jobs -p) 2>/dev/null; rm -rf "$work"' EXIT
ip link set lo up
export QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=$work/run
# The steps are followed through the developer trace, which is off unless asked for.
export NIMBO_TRACE=1
mkdir -p -m 700 "$XDG_RUNTIME_DIR" "$work/root"
ini=$work/Nimbo.ini
printf '[NIMBO]\nNIMBO_Services=1\n[TFTP]\nTFTP_Port=6969\nTFTP_RootDirectory=%s\n' "$work/root" > "$ini"

fail() { echo "FAIL: $*"; for f in "$work"/*.log; do echo "== $f"; grep -v 'This plugin' "$f" | tail -20; done; exit 1; }

# Starts the first instance and waits (at most 30 s) until its window is up.
start_first() {
  "$nimbo" -i "$ini" > "$work/$1.log" 2>&1 &
  first=$!
  for _ in $(seq 1 300); do
    grep -q "Requesting list of IP interfaces" "$work/$1.log" && { sleep 1; return 0; }
    kill -0 $first 2>/dev/null || fail "the first instance ended early"
    sleep 0.1
  done
  fail "the first instance did not open its window"
}

# Waits (at most 30 s) for the first instance to end; its exit status must be 0.
wait_first_end() {
  for _ in $(seq 1 300); do
    kill -0 $first 2>/dev/null || break
    sleep 0.1
  done
  kill -0 $first 2>/dev/null && fail "the first instance did not end ($1)"
  wait $first || fail "the first instance ended with status $? ($1)"
}

start_first first
timeout 30 "$nimbo" -i "$ini" > "$work/second.log" 2>&1 || fail "the second start did not end cleanly"
kill -0 $first 2>/dev/null || fail "the second start ended the first"

timeout 30 "$nimbo" -kill > "$work/kill.log" 2>&1 || fail "-kill did not end cleanly"
wait_first_end "-kill"
grep -q '^NIMBO_LastWindowPos=' "$ini" || fail "the window position was not saved"

start_first again
kill -TERM $first
wait_first_end "SIGTERM"

timeout 30 "$nimbo" -kill > "$work/kill-alone.log" 2>&1 || fail "-kill without an instance did not end cleanly"
echo "ok"
