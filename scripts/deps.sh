#!/bin/sh
# Installs the Debian packages the build and the tests need, when any is
# missing. As root it runs apt-get; otherwise it prints the line to run.
set -e
packages="cmake ninja-build g++ clang libclang-rt-14-dev make diffutils python3
  libgtest-dev libgmock-dev libbenchmark-dev qt6-base-dev qt6-qpa-plugins
  fonts-dejavu-core
  xvfb xauth x11-utils xdotool wmctrl openbox imagemagick valgrind"

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
echo "Installing:$missing"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends $missing
