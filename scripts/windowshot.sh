#!/bin/sh
# Runs windowdemo on a virtual X display with a window manager, takes a
# screenshot, then closes the window as a person would (the window
# manager's close request, WM_DELETE_WINDOW) and checks that the program
# exits 0 having written nothing to standard output.
# Usage: windowdemo_x11.sh WINDOWDEMO OUTPUT_DIR
# With DISPLAY unset it starts its own display through xvfb-run.
program=$1
outdir=$2
if [ -z "$INNER_DISPLAY_RUN" ]; then
  INNER_DISPLAY_RUN=1 exec xvfb-run -a -s "-screen 0 640x480x24" \
    sh "$0" "$program" "$outdir"
fi

fail() { echo "FAIL: $*"; kill "$demo" "$wm" 2>/dev/null; exit 1; }

XDG_RUNTIME_DIR=$(mktemp -d)  # Qt wants one; keeps its stderr quiet
export XDG_RUNTIME_DIR
openbox >/dev/null 2>&1 &
wm=$!
for _ in $(seq 100); do  # a window mapped before the manager is up is lost
  wmctrl -m >/dev/null 2>&1 && break
  sleep 0.1
done
"$program" >"$outdir/windowdemo.stdout" 2>"$outdir/windowdemo.stderr" &
demo=$!

window=
for _ in $(seq 100); do
  window=$(xdotool search --onlyvisible --name '^windowdemo$' 2>/dev/null | head -n 1)
  [ -n "$window" ] && break
  sleep 0.2
done
[ -n "$window" ] || fail "no window named windowdemo appeared"
sleep 1  # let the first paint land
import -window root "$outdir/windowdemo.png" || fail "screenshot failed"
# The greeting is the only dark ink inside the text view's white area.
import -window "$window" "$outdir/windowdemo-client.png" || fail "capture failed"
ink=$(convert "$outdir/windowdemo-client.png" -shave 8x8 -colorspace Gray \
  -threshold 40% -negate -format '%[fx:round(mean*w*h)]' info:)
[ "${ink:-0}" -gt 50 ] || fail "no text in the window ($ink dark pixels)"

wmctrl -i -c "$window" || fail "wmctrl could not ask to close the window"
for _ in $(seq 100); do
  kill -0 "$demo" 2>/dev/null || break
  sleep 0.1
done
kill -0 "$demo" 2>/dev/null && fail "windowdemo still runs after the close request"
wait "$demo"
status=$?
kill "$wm" 2>/dev/null
[ "$status" -eq 0 ] || fail "exit status $status, expected 0"
[ -s "$outdir/windowdemo.stdout" ] && fail "wrote to standard output"
rm -rf "$XDG_RUNTIME_DIR"
echo "windowdemo closed with status 0; screenshot in $outdir/windowdemo.png"
exit 0
