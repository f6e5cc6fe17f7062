#!/bin/sh
# Runs PROGRAM with standard output on a full device and closed, also with
# a standard input that fails to read (a directory, closed), so that later
# reads set errno: each time it must exit 1 with exactly one line on
# standard error, "NAME: write error: REASON", the write's own reason. It
# stops at the first way that fails.
# Usage: writeerror.sh PROGRAM NAME INPUT
program=$1
name=$2
input=$3
. "$(dirname "$0")/limits.sh"
err=$(mktemp)
trap 'rm -f "$err"' EXIT
check() {  # check HOW REASON: the last run's status and standard error
  status=$1 how=$2 reason=$3
  expected="$name: write error: $reason"
  if ! said=$(within_limits "$status"); then
    echo "stdout $how: $said"
    exit 1
  fi
  if [ "$status" -ne 1 ] || [ "$(cat "$err")" != "$expected" ] ||
     [ "$(wc -l <"$err")" -ne 1 ]; then
    echo "stdout $how: exit status $status and standard error:"
    cat "$err"
    echo "expected exit status 1 and: $expected"
    exit 1  # the other ways would most likely say the same
  fi
}

limited "$program" <"$input" >/dev/full 2>"$err"
check $? "on /dev/full" "No space left on device"
limited "$program" </ >/dev/full 2>"$err"
check $? "on /dev/full, stdin a directory" "No space left on device"
limited "$program" <&- >/dev/full 2>"$err"
check $? "on /dev/full, stdin closed" "No space left on device"
limited "$program" <"$input" >&- 2>"$err"
check $? "closed" "Bad file descriptor"
