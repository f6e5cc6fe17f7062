#!/bin/sh
# Runs clang-tidy with the checks of .clang-tidy on the project's C++
# sources, two at a time, and prints only its findings. Exits 1 on any.
# Usage: lint.sh BUILD_DIR [SOURCE...]   (all of them when none is named)
build=$1
shift
[ $# -gt 0 ] || set -- $(git ls-files 'accounts/*.cpp' 'arrays/*.cpp' \
  'text/*.cpp' 'window/*.cpp' 'demos/*.cpp' 'tests/*.cpp' 'tests/*/*.cpp')
log=$(mktemp)
trap 'rm -f "$log"' EXIT
printf '%s\n' "$@" |
  xargs -P 2 -n 1 clang-tidy -p "$build" --quiet >"$log" 2>&1
status=$?
grep -v -e '^[0-9]* warnings\? generated\.$' \
  -e '^Suppressed [0-9]* warnings' -e '^Use -header-filter' "$log"
[ "$status" -eq 0 ] || exit 1
echo "lint: $# sources, no findings"
