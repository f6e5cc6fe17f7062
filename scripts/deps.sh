#!/bin/sh
# Installs the Debian packages the build and the tests need, when any is
# missing. As root it runs apt-get, with its output in build/deps.log;
# otherwise it prints the line to run.
set -e
packages="cmake ninja-build g++ clang libclang-rt-14-dev make diffutils python3
  libgtest-dev libgmock-dev libbenchmark-dev qt6-base-dev qt6-qpa-plugins
  fonts-dejavu-core
  patch xvfb xauth x11-utils xdotool wmctrl openbox imagemagick valgrind"

missing=""
for package in $packages; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null |
    grep -q "install ok installed" || missing="$missing $package"
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages. Install them with:" >&2
  echo "  sudo apt-get install -y$missing" >&2
  exit 1
fi
mkdir -p build
log=build/deps.log
printf 'Installing Debian packages:%s (log: %s) ... ' "$missing" "$log"
export DEBIAN_FRONTEND=noninteractive
if { apt-get update && apt-get install -y --no-install-recommends $missing; } \
    >"$log" 2>&1; then
  echo "done"
else
  echo "failed; the log ends:"
  tail -n 20 "$log"
  exit 1
fi
