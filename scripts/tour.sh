#!/bin/sh
# Runs every program of the collection on its sample input and shows, for
# each, what it demonstrates, the input it is given and what it prints.
# Usage: tour.sh BUILD_DIR
build=${1:-build/default}
samples=$(dirname "$0")/../demos/samples

show() {  # show PROGRAM TECHNIQUE
  program=$1
  echo
  echo "=== $program: $2 ==="
  if [ -f "$samples/$program.in" ]; then
    echo "--- input ($samples/$program.in):"
    cat "$samples/$program.in"
    echo "--- output:"
    "$build/demos/$program" <"$samples/$program.in"
  else
    echo "--- input: none"
    echo "--- output:"
    "$build/demos/$program" </dev/null
  fi
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
  echo "--- no display here. To see it, run on a desktop:"
  echo "      $build/window/windowdemo"
  echo "    or look at docs/windowdemo.png; 'make test' takes a fresh one under"
  echo "    Xvfb in build/default/tests/windowdemo.png."
fi
