#!/bin/sh
# Runs every program of the collection on its sample input, typed on a
# terminal line by line, so each dialogue reads as it does when a person
# types the answers. Then shows the window: on a display that opens, it
# opens; without one it is drawn under Xvfb and a fresh screenshot is saved.
# Exits 1 when any program fails.
# Usage: tour.sh BUILD_DIR
build=${1:-build/default}
here=$(dirname "$0")
samples=$here/../demos/samples
failed=

show() {  # show PROGRAM TECHNIQUE
  program=$1
  echo
  echo "=== $program: $2 ==="
  set -- "$build/demos/$program"
  [ -f "$samples/$program.in" ] && set -- "$@" "$samples/$program.in"
  python3 "$here/typed.py" "$@"
  status=$?
  echo "--- exit status: $status"
  [ "$status" -eq 0 ] || failed="$failed $program"
}

# A display the window can really use: an X display that answers, or a
# Wayland socket that exists.
has_display() {
  if [ -n "$WAYLAND_DISPLAY" ] &&
     [ -S "${XDG_RUNTIME_DIR:-/nonexistent}/$WAYLAND_DISPLAY" ]; then
    return 0
  fi
  [ -n "$DISPLAY" ] && xdpyinfo >/dev/null 2>&1
}

show ledgerdemo "classes that own heap memory, copied deeply"
show freethrow "exceptions thrown by value from a range-checked array"
show incomeyears "a derived array with an offset range and a derived exception"
show tellerdemo "single inheritance with virtual functions, used through base pointers"
show friendcount "bound friend templates and a static counter per specialisation"
show pairshow "an unbound friend template reading two holders of different types"
show lineread "delimited input: getline() drops the '#', get() leaves it"

echo
echo "=== windowdemo: a stream buffer that writes into a GUI window ==="
if [ ! -x "$build/window/windowdemo" ]; then
  echo "not built: Qt 6 Widgets is missing (Debian: qt6-base-dev)"
elif has_display; then
  echo "--- a window opens holding the greeting; close it to go on"
  "$build/window/windowdemo"
  status=$?
  echo "--- exit status: $status"
  [ "$status" -eq 0 ] || failed="$failed windowdemo"
else
  echo "--- no display here: drawn under Xvfb, closed through the window manager"
  if report=$(sh "$here/windowshot.sh" "$build/window/windowdemo" "$build/tour"); then
    echo "--- exit status: 0"
    echo "--- screenshot: $build/tour/windowdemo.png"
  else
    echo "$report"
    failed="$failed windowdemo"
  fi
fi

if [ -n "$failed" ]; then
  echo
  echo "tour: failed:$failed"
  exit 1
fi
