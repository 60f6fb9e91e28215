#!/usr/bin/env bash
# The program on a virtual X server with a window manager, which frames the windows after
# they show. The window is moved and resized, the program ends ("-kill" saves the position),
# and it is started again three times: each time the window comes back with the same place and
# size, and saves the same frame (it neither grows nor moves by its frame). On a small screen
# (800x600, and the same seen at scale factor 2) the main window, the settings sheet and the
# About box open with their frames inside the screen. The developer trace stays off unless
# NIMBO_TRACE asks for it.
# Run as: wm_program_test.sh NIMBO (it runs itself again in a private network namespace). Exits
# 77 (skipped) only when Xvfb cannot run or the machine cannot make the namespace.
set -u
. "$(dirname "$(realpath "$0")")/../support/private_net.sh"
nimbo=$1
work=$(mktemp -d /tmp/nimbo-wm-XXXXXX)
cleanup() {
  # Our own children only, by their ids.
  for pid in ${nimbo_pid:-} ${wm_pid:-} ${x_pid:-}; do kill "$pid" 2>/dev/null; done
  sleep 0.2
  for pid in ${nimbo_pid:-} ${wm_pid:-} ${x_pid:-}; do kill -9 "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
ip link set lo up

fail() {
  {
    echo "FAIL: $*"
    for f in "$work"/*.log; do echo "== $f"; grep -v 'This plugin' "$f" | tail -20; done
  } >&2
  exit 1
}

command -v Xvfb >/dev/null || { echo "SKIP: no Xvfb"; exit 77; }
for tool in openbox xdotool xwininfo xprop; do
  command -v $tool >/dev/null || fail "$tool is missing (tools/packages.d/gui.txt)"
done

export XDG_RUNTIME_DIR=$work/run HOME=$work QT_QPA_PLATFORM=xcb
unset WAYLAND_DISPLAY NIMBO_TRACE QT_SCALE_FACTOR
mkdir -p -m 700 "$XDG_RUNTIME_DIR" "$work/root"

# A virtual X server of the size given (the one before it ended) and the window manager on it.
# The X server picks a free display and writes its number.
start_x() {
  for pid in ${wm_pid:-} ${x_pid:-}; do kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
  rm -f "$work/display"
  Xvfb -displayfd 3 -screen 0 "$1x24" -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
  x_pid=$!
  for _ in $(seq 1 100); do
    [ -s "$work/display" ] && break
    kill -0 $x_pid 2>/dev/null || { echo "SKIP: Xvfb cannot run here"; cat "$work/xvfb.log"; exit 77; }
    sleep 0.1
  done
  [ -s "$work/display" ] || { echo "SKIP: Xvfb did not start"; exit 77; }
  export DISPLAY=:$(head -1 "$work/display")
  openbox --sm-disable >"$work/openbox.log" 2>&1 &
  wm_pid=$!
  for _ in $(seq 1 100); do
    xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && return 0
    kill -0 $wm_pid 2>/dev/null || fail "the window manager ended"
    sleep 0.1
  done
  fail "the window manager did not start"
}

ini=$work/Nimbo.ini
printf '[NIMBO]\nNIMBO_Services=1\n[TFTP]\nTFTP_Port=6969\nTFTP_RootDirectory=%s\n' "$work/root" > "$ini"

# Waits (at most $2 tenths of a second, 30 s when not given) for a framed window whose title
# matches, its place settled; prints its id. Fails when none comes, or returns 1 with "soft".
framed() {
  local id
  for _ in $(seq 1 "${2:-300}"); do
    kill -0 $nimbo_pid 2>/dev/null || fail "the program ended early"
    id=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -1)
    if [ -n "$id" ] && xprop -id "$id" _NET_FRAME_EXTENTS 2>/dev/null | grep -q '='; then
      # A window takes its place within a moment of the frame's arrival.
      sleep 3
      echo "$id"
      return 0
    fi
    sleep 0.1
  done
  [ "${3:-}" = soft ] && return 1
  fail "no framed window \"$1\""
}

# Opens a dialog through the Nimbo menu of the main window (its mnemonic, then the item's) and
# prints the dialog's id; a key typed before the menu was up is tried again, three times at most.
from_menu() {
  local id
  for _ in 1 2 3; do
    timeout 10 xdotool windowactivate --sync "$window" key alt+n sleep 0.5 key "$1" || fail "xdotool: the menu"
    id=$(framed "$2" 100 soft) && { echo "$id"; return 0; }
    timeout 10 xdotool key Escape
  done
  fail "the menu did not open \"$2\""
}

# Starts the program (extra environment in "$@") and waits for its window; sets nimbo_pid and
# window.
start() {
  local log=$1; shift
  env "$@" "$nimbo" -i "$ini" > "$work/$log.log" 2>&1 &
  nimbo_pid=$!
  window=$(framed '^Nimbo v4\.6\.0$') || exit 1
}

# Whether a window's frame lies inside the screen.
inside() {
  local ext screen
  ext=$(xprop -id "$1" _NET_FRAME_EXTENTS | sed 's/.*= *//; s/,//g')
  screen=$(xwininfo -root | awk '/^ *Width:/ {w=$NF} /^ *Height:/ {h=$NF} END {print w, h}')
  xwininfo -id "$1" | awk -v ext="$ext" -v screen="$screen" -v what="$2" '
    /Absolute upper-left X/ {x=$NF} /Absolute upper-left Y/ {y=$NF} /^ *Width:/ {w=$NF} /^ *Height:/ {h=$NF}
    END {
      split(ext, e, " "); split(screen, s, " ")
      l = x - e[1]; t = y - e[3]; r = x + w + e[2]; b = y + h + e[4]
      printf "%s: frame %d,%d to %d,%d on %dx%d\n", what, l, t, r, b, s[1], s[2]
      exit !(l >= 0 && t >= 0 && r <= s[1] && b <= s[2])
    }'
}

# The window's place and size on the screen, without its frame: "x y w h".
inner() {
  xwininfo -id "$window" | awk '/Absolute upper-left X/ {x=$NF} /Absolute upper-left Y/ {y=$NF}
                                /^ *Width:/ {w=$NF} /^ *Height:/ {h=$NF} END {print x, y, w, h}'
}

# Ends the program with "-kill" (the position is saved) and waits (at most 30 s).
stop() {
  timeout 30 "$nimbo" -kill > "$work/kill.log" 2>&1 || fail "-kill did not end cleanly"
  for _ in $(seq 1 300); do
    kill -0 $nimbo_pid 2>/dev/null || break
    sleep 0.1
  done
  kill -0 $nimbo_pid 2>/dev/null && fail "the program did not end"
  wait $nimbo_pid || fail "the program ended with status $?"
  nimbo_pid=
}

saved() { sed -n 's/^NIMBO_LastWindowPos=//p' "$ini" | tr -d '\r'; }

# Trace lines begin "Th<thread id> :".
traced() { grep -Eq '^Th *[0-9]+ :' "$work/$1.log"; }

start_x 1280x1024
start first
traced first && fail "the trace was written without NIMBO_TRACE"
timeout 10 xdotool windowmove "$window" 150 110 || fail "xdotool windowmove"
timeout 10 xdotool windowsize "$window" 860 720 || fail "xdotool windowsize"
sleep 1
placed=$(inner)
stop
frame=$(saved)
[ -n "$frame" ] || fail "the position was not saved"
echo "placed at $placed, saved frame $frame"

for round in 1 2 3; do
  case $round in
    1) start round1 NIMBO_TRACE=0 ;;
    2) start round2 NIMBO_TRACE=1 ;;
    3) start round3 ;;
  esac
  now=$(inner)
  stop
  again=$(saved)
  echo "start $round: at $now, saved frame $again"
  [ "$now" = "$placed" ] || fail "start $round: the window is at $now, not at $placed"
  [ "$again" = "$frame" ] || fail "start $round: the saved frame went from $frame to $again"
done
traced round1 && fail "the trace was written with NIMBO_TRACE=0"
traced round2 || fail "no trace with NIMBO_TRACE=1"
traced round3 && fail "the trace was written without NIMBO_TRACE"

# A small screen: no saved place; the main window, the sheet and the About box open inside it.
for small in "800x600 1" "1600x1200 2"; do
  set -- $small
  start_x "$1"
  sed -i '/^NIMBO_LastWindowPos=/d' "$ini"
  start "small-$1" QT_SCALE_FACTOR=$2
  inside "$window" "main window on $1 at scale $2" || fail "the main window runs off the $1 screen"
  sheet=$(from_menu s '^Nimbo Settings$') || exit 1
  inside "$sheet" "settings sheet" || fail "the settings sheet runs off the $1 screen"
  timeout 10 xdotool windowactivate --sync "$sheet" key Escape || fail "xdotool: Escape"
  sleep 1
  about=$(from_menu a '^About/License Nimbo v4\.6\.0$') || exit 1
  inside "$about" "About box" || fail "the About box runs off the $1 screen"
  timeout 10 xdotool windowactivate --sync "$about" key Return || fail "xdotool: Return"
  stop
done
echo "ok"
