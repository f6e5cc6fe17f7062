#!/bin/sh
# Runs one program case: PROGRAM reads CASE.in (no input when there is none)
# and must exit 0 within the time limit, write exactly CASE.out to standard
# output and exactly CASE.err (nothing, when there is none) to standard error.
# Usage: runcase.sh PROGRAM CASE
# RUN_WRAPPER, when set, is a command to run the program under (valgrind).
program=$1
case=$2
input=/dev/null
[ -f "$case.in" ] && input=$case.in
expected_err=/dev/null
[ -f "$case.err" ] && expected_err=$case.err

out=$(mktemp) err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT

# shellcheck disable=SC2086  # the wrapper is a command with its options
timeout "${RUN_TIMEOUT:-10}" $RUN_WRAPPER "$program" <"$input" >"$out" 2>"$err"
status=$?
failed=0
if [ "$status" -ne 0 ]; then
  echo "exit status $status, expected 0 (124 is the time-out)"
  failed=1
fi
if ! cmp -s "$out" "$case.out"; then
  echo "standard output differs from $case.out:"
  diff -u "$case.out" "$out"
  failed=1
fi
if ! cmp -s "$err" "$expected_err"; then
  echo "standard error differs from $expected_err:"
  diff -u "$expected_err" "$err"
  failed=1
fi
exit $failed
