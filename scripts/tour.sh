#!/bin/sh
# Runs every program of scripts/programs.txt on its sample input, typed on a
# terminal line by line, so each dialogue reads as it does when a person
# types the answers. The window opens on a display that answers; without
# one it is drawn under Xvfb and a fresh screenshot is saved.
# Exits 1 when any program fails.
# Usage: tour.sh BUILD_DIR
build=${1:-build/default}
here=$(dirname "$0")
failed=

# A display the window can really use: an X display that answers, or a
# Wayland socket that exists.
has_display() {
  if [ -n "$WAYLAND_DISPLAY" ] &&
     [ -S "${XDG_RUNTIME_DIR:-/nonexistent}/$WAYLAND_DISPLAY" ]; then
    return 0
  fi
  [ -n "$DISPLAY" ] && xdpyinfo >/dev/null 2>&1
}

show_window() {
  window=$build/window/windowdemo
  if [ ! -x "$window" ]; then
    echo "not built: Qt 6 Widgets is missing (Debian: qt6-base-dev)"
  elif has_display; then
    echo "--- a window opens holding the greeting; close it to go on"
    "$window"
    status=$?
    echo "--- exit status: $status"
    return $status
  else
    echo "--- no display here: drawn under Xvfb, closed through the window manager"
    # Its own report only when it fails; the tour says the rest.
    report=$(sh "$here/windowshot.sh" "$window" "$build/tour") ||
      { echo "$report"; return 1; }
    echo "--- exit status: 0"
    echo "--- screenshot: $build/tour/windowdemo.png"
  fi
}

show() {  # show PROGRAM: typed at a terminal, with its sample input
  set -- "$build/demos/$1"
  [ -f "$here/../demos/samples/${1##*/}.in" ] &&
    set -- "$@" "$here/../demos/samples/${1##*/}.in"
  python3 "$here/typed.py" "$@"
  status=$?
  echo "--- exit status: $status"
  return $status
}

while IFS='|' read -r program technique reads <&3; do
  case $program in '#'* | '') continue ;; esac
  program=$(echo $program)
  echo
  echo "=== $program: $(echo $technique | tr -d '`') ==="
  if [ "$program" = windowdemo ]; then
    show_window || failed="$failed $program"
  else
    show "$program" || failed="$failed $program"
  fi
done 3<"$here/programs.txt"

if [ -n "$failed" ]; then
  echo
  echo "tour: failed:$failed"
  exit 1
fi
