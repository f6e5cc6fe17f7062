#!/bin/sh
# Runs every program of the collection on its sample input, typed on a
# terminal line by line, so each dialogue reads as it does when a person
# types the answers. Then shows the window: on a desktop it opens; without
# one it is drawn under Xvfb and a fresh screenshot is saved.
# Usage: tour.sh BUILD_DIR
build=${1:-build/default}
here=$(dirname "$0")
samples=$here/../demos/samples

show() {  # show PROGRAM TECHNIQUE
  program=$1
  echo
  echo "=== $program: $2 ==="
  input=
  [ -f "$samples/$program.in" ] && input=$samples/$program.in
  python3 "$here/typed.py" "$build/demos/$program" $input
  echo "--- exit status: $?"
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
elif [ -n "$DISPLAY" ] || [ -n "$WAYLAND_DISPLAY" ]; then
  echo "--- a window opens holding the greeting; close it to go on"
  "$build/window/windowdemo"
  echo "--- exit status: $?"
else
  echo "--- no display here: drawn under Xvfb, closed through the window manager"
  mkdir -p "$build/tour"
  if report=$(sh "$here/windowshot.sh" "$build/window/windowdemo" "$build/tour"); then
    echo "--- exit status: 0"
    echo "--- screenshot: $build/tour/windowdemo.png"
  else
    echo "$report"
    exit 1
  fi
fi
