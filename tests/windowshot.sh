#!/bin/sh
# Runs windowdemo on a virtual X display of its own with a window manager,
# waits until the greeting is drawn, takes a screenshot, then closes the
# window as a person would (the window manager's close request,
# WM_DELETE_WINDOW) and checks that the program exits 0 having written
# nothing to standard output. Every wait is for the event itself; the time
# limits only bound a failure, and a program that ends early is reported
# at once. Everything it starts or makes goes on every exit.
# Usage: windowshot.sh WINDOWDEMO OUTPUT_DIR
program=$1
outdir=$2
mkdir -p "$outdir" || exit 1
scratch=$(mktemp -d) || exit 1
demo= wm= xserver=
cleanup() {
  for pid in $demo $wm $xserver; do kill "$pid" 2>/dev/null; done
  rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

exec 3>&1  # fail() reports here, also from inside until_ok's silence
fail() { echo "FAIL: $*" >&3; exit 1; }
# until_ok TRIES COMMAND...: runs COMMAND every tenth of a second until it
# succeeds; fails after TRIES tries.
until_ok() {
  tries=$1
  shift
  while ! "$@" >/dev/null 2>&1; do
    tries=$((tries - 1))
    [ "$tries" -gt 0 ] || return 1
    sleep 0.1
  done
}
# Fails at once when the program has ended before it was asked to.
demo_runs() {
  kill -0 "$demo" 2>/dev/null && return 0
  wait "$demo"
  status=$?
  demo=
  fail "windowdemo ended by itself with exit status $status; its standard error:
$(cat "$scratch/stderr")"
}

# The X server picks a free display itself and writes its number when it
# is ready: no race with another server starting (as with lock files).
Xvfb -displayfd 4 -screen 0 640x480x24 -nolisten tcp 4>"$scratch/display" \
  2>"$scratch/xvfb.log" &
xserver=$!
display_ready() {
  kill -0 "$xserver" || fail "the X server ended: $(cat "$scratch/xvfb.log")"
  grep -q '^[0-9]' "$scratch/display"
}
until_ok 300 display_ready || fail "the X server did not start"
DISPLAY=:$(head -n 1 "$scratch/display")
export DISPLAY
unset WAYLAND_DISPLAY QT_QPA_PLATFORM
XDG_RUNTIME_DIR=$scratch/runtime  # Qt wants one; keeps its stderr quiet
mkdir -m 700 "$XDG_RUNTIME_DIR"
export XDG_RUNTIME_DIR

openbox >"$scratch/openbox.log" 2>&1 &
wm=$!
# The manager names itself on the root (what wmctrl -m reads) before it has
# its client list and can take windows and close requests: wait for that.
wm_ready() {
  kill -0 "$wm" || fail "the window manager ended: $(cat "$scratch/openbox.log")"
  xprop -root _NET_CLIENT_LIST | grep -q '(WINDOW)'
}
until_ok 600 wm_ready || fail "the window manager did not start:
$(xprop -root | head -n 20; cat "$scratch/openbox.log")"

"$program" >"$scratch/stdout" 2>"$scratch/stderr" &
demo=$!
window=
find_window() {
  demo_runs
  window=$(xdotool search --onlyvisible --name "^$(basename "$program")\$" | head -n 1)
  [ -n "$window" ]
}
managed() {  # the manager lists the window as a client it has mapped
  demo_runs
  xprop -root _NET_CLIENT_LIST | grep -q "$(printf '0x%x' "$window")" &&
    xprop -id "$window" WM_STATE | grep -q 'window state: Normal'
}
# The greeting is drawn: the window is mostly light (painted, not a black
# frame not yet drawn) and holds some dark ink (the text).
inked() {
  demo_runs
  import -window "$window" "$scratch/client.png" || return 1
  set -- $(convert "$scratch/client.png" -shave 8x8 -colorspace Gray \
    -threshold 40% -format '%[fx:round((1-mean)*w*h)] %[fx:mean]' info:)
  ink=${1:-0} light=${2:-0}
  [ "$ink" -gt 50 ] && awk -v light="$light" 'BEGIN { exit !(light > 0.8) }'
}
until_ok 300 find_window || fail "no window named windowdemo appeared"
until_ok 300 managed || fail "the window manager did not take the window"
until_ok 300 inked || fail "the greeting was not drawn (${ink:-0} dark pixels, \
${light:-0} of the window light)"
import -window root "$outdir/windowdemo.png" || fail "screenshot failed"

wmctrl -i -c "$window" || fail "wmctrl could not ask to close the window"
gone() { ! kill -0 "$demo" 2>/dev/null; }
until_ok 300 gone || fail "windowdemo still runs after the close request"
wait "$demo"
status=$?
demo=
[ "$status" -eq 0 ] || fail "exit status $status, expected 0; standard error:
$(cat "$scratch/stderr")"
[ -s "$scratch/stdout" ] && fail "wrote to standard output: $(head -c 200 "$scratch/stdout")"
echo "windowdemo closed with status 0; screenshot in $outdir/windowdemo.png"
exit 0
