#!/bin/sh
# windowdemo without a display, none at all and a bad one: it must exit 1,
# no core dump and no output, with Qt's own warnings kept on standard error
# and its fatal message replaced by one line of ours, the last.
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
  if [ "$status" -ne 1 ] || [ "$(tail -n 1 "$err")" != "$expected" ] ||
     ! grep -q '^qt\.' "$err" || [ -s "$out" ]; then
    echo "DISPLAY='$display': exit status $status, standard error:"
    cat "$err"
    echo "expected exit status 1, Qt's warnings, then: $expected"
    failed=1
  fi
done
exit $failed
