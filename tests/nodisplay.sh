#!/bin/sh
# windowdemo without a display, none at all and a bad one: it must exit 1
# with exactly one line on standard error, no core dump and no output.
# Usage: nodisplay.sh WINDOWDEMO
program=$1
expected="windowdemo: no display could be opened; run it on a desktop, or \
run \`make tour\`, which draws its window without one"
out=$(mktemp) err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
failed=0
for display in "" ":97"; do
  env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM ${display:+DISPLAY=$display} \
    timeout 20 "$program" >"$out" 2>"$err"
  status=$?
  if [ "$status" -ne 1 ] || [ "$(cat "$err")" != "$expected" ] || [ -s "$out" ]; then
    echo "DISPLAY='$display': exit status $status, standard error:"
    cat "$err"
    failed=1
  fi
done
exit $failed
