#!/bin/sh
# Runs one program case: PROGRAM reads CASE.in (no input when there is none)
# and must exit 0 within the time limit, write exactly CASE.out to standard
# output and exactly CASE.err (nothing, when there is none) to standard error.
# On failure, CASE.why (when there is one) says first, in a sentence, what
# it means.
# Usage: runcase.sh PROGRAM CASE [WRAPPER...]
# WRAPPER, when given, is a command with its options to run the program
# under (valgrind); RUN_TIMEOUT sets the time limit in seconds.
program=$1
case=$2
shift 2
input=/dev/null
[ -f "$case.in" ] && input=$case.in
expected_err=/dev/null
[ -f "$case.err" ] && expected_err=$case.err

out=$(mktemp) err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT

limit=${RUN_TIMEOUT:-10}
timeout "$limit" "$@" "$program" <"$input" >"$out" 2>"$err"
status=$?
failed=0
if [ "$status" -ne 0 ] || ! cmp -s "$out" "$case.out" ||
   ! cmp -s "$err" "$expected_err"; then
  [ -f "$case.why" ] && echo "${case#"$PWD/"}: $(cat "$case.why")"
fi
if [ "$status" -eq 124 ]; then
  echo "did not finish within $limit s: a loop that never ends?"
  failed=1
elif [ "$status" -ne 0 ]; then
  echo "exit status $status, expected 0"
  failed=1
fi
# The diffs without their file headers: - expected, + what it printed.
if ! cmp -s "$out" "$case.out"; then
  echo "standard output differs from the expected (- expected, + printed):"
  diff -u "$case.out" "$out" | tail -n +3
  failed=1
fi
if ! cmp -s "$err" "$expected_err"; then
  echo "standard error differs from the expected (- expected, + printed):"
  diff -u "$expected_err" "$err" | tail -n +3
  failed=1
fi
exit $failed
