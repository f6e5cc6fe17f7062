#!/bin/sh
# Runs windowdemo on a virtual X display with a window manager, waits until
# the greeting is drawn, takes a screenshot, then closes the window as a
# person would (the window manager's close request, WM_DELETE_WINDOW) and
# checks that the program exits 0 having written nothing to standard output.
# Every wait is for the event itself; the time limits only bound a failure.
# Usage: windowshot.sh WINDOWDEMO OUTPUT_DIR
# With DISPLAY unset it starts its own display through xvfb-run.
program=$1
outdir=$2
if [ -z "$INNER_DISPLAY_RUN" ]; then
  INNER_DISPLAY_RUN=1 exec xvfb-run -a -s "-screen 0 640x480x24" \
    sh "$0" "$program" "$outdir"
fi

exec 3>&1  # fail() reports here, also from inside until_ok's silence
fail() { echo "FAIL: $*" >&3; kill "$demo" "$wm" 2>/dev/null; exit 1; }
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
managed() {  # the manager lists the window as a client it has mapped
  xprop -root _NET_CLIENT_LIST | grep -q "$(printf '0x%x' "$window")" &&
    xprop -id "$window" WM_STATE | grep -q 'window state: Normal'
}
inked() {  # the text view holds dark pixels: the greeting is drawn
  import -window "$window" "$outdir/windowdemo-client.png" || return 1
  ink=$(convert "$outdir/windowdemo-client.png" -shave 8x8 -colorspace Gray \
    -threshold 40% -negate -format '%[fx:round(mean*w*h)]' info:)
  [ "${ink:-0}" -gt 50 ]
}
gone() { ! kill -0 "$demo" 2>/dev/null; }

XDG_RUNTIME_DIR=$(mktemp -d)  # Qt wants one; keeps its stderr quiet
export XDG_RUNTIME_DIR
openbox >"$outdir/openbox.log" 2>&1 &
wm=$!
# The manager names itself on the root (what wmctrl -m reads) before it has
# its client list and can take windows and close requests: wait for that.
wm_ready() {
  kill -0 "$wm" || fail "the window manager ended: $(cat "$outdir/openbox.log")"
  xprop -root _NET_CLIENT_LIST | grep -q '(WINDOW)'
}
until_ok 600 wm_ready || fail "the window manager did not start:
$(xprop -root | head -n 20; cat "$outdir/openbox.log")"
"$program" >"$outdir/windowdemo.stdout" 2>"$outdir/windowdemo.stderr" &
demo=$!

window=
find_window() {
  window=$(xdotool search --onlyvisible --name '^windowdemo$' | head -n 1)
  [ -n "$window" ]
}
until_ok 300 find_window || fail "no window named windowdemo appeared"
until_ok 300 managed || fail "the window manager did not take the window"
until_ok 300 inked || fail "no text in the window (${ink:-0} dark pixels)"
import -window root "$outdir/windowdemo.png" || fail "screenshot failed"

wmctrl -i -c "$window" || fail "wmctrl could not ask to close the window"
until_ok 300 gone || fail "windowdemo still runs after the close request"
wait "$demo"
status=$?
kill "$wm" 2>/dev/null
[ "$status" -eq 0 ] || fail "exit status $status, expected 0"
[ -s "$outdir/windowdemo.stdout" ] && fail "wrote to standard output"
rm -rf "$XDG_RUNTIME_DIR"
echo "windowdemo closed with status 0; screenshot in $outdir/windowdemo.png"
exit 0
