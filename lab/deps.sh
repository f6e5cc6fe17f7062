#!/bin/sh
# Installs the Debian packages that the named needs call for, when any is
# missing. As root it runs apt-get, with its output in build/deps.log; as
# another user it prints the line to run; without apt it says so. Then the
# build carries on: CMake says what is still missing. The need "browser"
# also puts npm's puppeteer-core in build/browser, for the page's tests.
# Usage: deps.sh NEED...
# (build window tour test full format lint bench picture browser)
packages=""
for need in "$@"; do
  case $need in
    build) packages="$packages cmake ninja-build g++ make lld" ;;
    window) packages="$packages qt6-base-dev qt6-qpa-plugins fonts-dejavu-core" ;;
    tour) packages="$packages python3 xvfb xauth x11-utils xdotool wmctrl
                    openbox imagemagick" ;;
    test) packages="$packages clang libclang-rt-14-dev libgtest-dev libgmock-dev
                    python3 git patch" ;;
    full) packages="$packages valgrind" ;;
    format) packages="$packages clang-format" ;;
    lint) packages="$packages clang-tidy" ;;
    bench) packages="$packages libbenchmark-dev" ;;
    picture) packages="$packages gdb clang python3" ;;
    browser) packages="$packages chromium"
      command -v npm >/dev/null 2>&1 || packages="$packages nodejs npm" ;;
    *) echo "deps.sh: unknown need '$need'" >&2; exit 2 ;;
  esac
done

# The Debian packages that are missing, installed as root; fails when
# apt-get does.
debian_packages() {
  if ! command -v dpkg-query >/dev/null 2>&1; then
    echo "No apt here (no dpkg-query): not installing packages; CMake says what is missing."
    return 0
  fi
  installed=$(dpkg-query -W -f='${Package} ${Status}\n' $packages 2>/dev/null |
    sed -n 's/ install ok installed$//p')
  missing=""
  for package in $packages; do
    case " $installed $missing " in *[[:space:]]"$package"[[:space:]]*) ;;
      *) missing="$missing $package" ;; esac
  done
  [ -z "$missing" ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing Debian packages; install them with: sudo apt-get install -y$missing"
    return 0
  fi
  mkdir -p build
  log=build/deps.log
  printf 'Installing Debian packages:%s (log: %s) ... ' "$missing" "$log"
  export DEBIAN_FRONTEND=noninteractive
  if { apt-get update && apt-get install -y --no-install-recommends $missing; } \
      >"$log" 2>&1; then
    echo "done"
    touch build/deps.stamp  # the builds configure again: they may find more
  else
    echo "failed; the log ends:"
    tail -n 20 "$log"
    return 1
  fi
}

# After the Debian packages: the page's test driver, from npm. The command
# that needs it fails when it cannot be had: its test would not run.
npm_packages() {
  case " $* " in *" browser "*) ;; *) return 0 ;; esac
  [ -d build/browser/node_modules/puppeteer-core ] && return 0
  if ! command -v npm >/dev/null 2>&1; then
    echo "No npm here: the page's test in Chromium needs npm's puppeteer-core."
    return 1
  fi
  mkdir -p build/browser
  printf 'Installing puppeteer-core from npm (log: build/npm.log) ... '
  if npm install --prefix build/browser --no-audit --no-fund puppeteer-core@24 \
      >build/npm.log 2>&1; then
    echo done
  else
    echo "failed; the log ends:"
    tail -n 20 build/npm.log
    return 1
  fi
}

debian_packages || exit 1
npm_packages "$@" || exit 1
