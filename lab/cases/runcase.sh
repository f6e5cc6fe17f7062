#!/bin/sh
# Runs one program case: PROGRAM reads CASE.in (no input when there is none)
# and must exit 0 within its time, write exactly CASE.out to standard output
# and exactly CASE.err (nothing, when there is none) to standard error. On
# failure, CASE.why (when there is one) says first, in a sentence, what it
# means. The outcome is also written as one JSON line to
# TESTS_RESULTS/PROGRAM.CASE.jsonl when TESTS_RESULTS names a folder.
# Usage: runcase.sh PROGRAM CASE [WRAPPER...]
# WRAPPER, when given, is a command with its options to run the program
# under (valgrind). The time: RUN_TIMEOUT seconds of processor time (10 when
# unset), and on the clock until TESTS_DEADLINE (seconds since 1970) or 120 s.
program=$1
case=$2
shift 2
case $0 in */*) here=${0%/*} ;; *) here=. ;; esac
. "$here/limits.sh"
input=/dev/null
[ -f "$case.in" ] && input=$case.in
expected_err=/dev/null
[ -f "$case.err" ] && expected_err=$case.err

out=$(mktemp) err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT

limited "$@" "$program" <"$input" >"$out" 2>"$err"
status=$?
outcome=passed
if [ "$status" -ne 0 ] || ! cmp -s "$out" "$case.out" ||
   ! cmp -s "$err" "$expected_err"; then
  outcome=failed
  [ -f "$case.why" ] && echo "${case#"$PWD/"}: $(cat "$case.why")"
fi
if [ "$status" -ne 0 ]; then
  if said=$(within_limits "$status"); then
    echo "exit status $status, expected 0"
  else
    echo "$said"
    outcome=$(limit_outcome "$status")
  fi
fi
# The diffs without their file headers: - expected, + what it printed; the
# first 40 lines are enough to see where it went wrong.
if ! cmp -s "$out" "$case.out"; then
  echo "standard output differs from the expected (- expected, + printed):"
  diff -u "$case.out" "$out" | tail -n +3 | head -n 40
fi
if ! cmp -s "$err" "$expected_err"; then
  echo "standard error differs from the expected (- expected, + printed):"
  diff -u "$expected_err" "$err" | tail -n +3 | head -n 40
fi
if [ -n "$TESTS_RESULTS" ]; then
  name=${program##*/}.${case##*/}
  at=${case#"$PWD/"}
  failures=
  if [ "$outcome" != passed ]; then
    # As JSON whatever it holds: control characters (a CRLF line end, a
    # tab) escaped or dropped.
    why=$(head -n 1 "$case.why" 2>/dev/null | tr -d '\000-\010\013\014\016-\037' |
      sed 's/[\\"]/\\&/g; s/\t/\\t/g; s/\r/\\r/g')
    failures="{\"at\":\"$at\",\"sentence\":\"$why\",\"detail\":[]}"
  fi
  printf '{"name":"%s","outcome":"%s","file":"%s","failures":[%s]}\n' \
    "$name" "$outcome" "$at" "$failures" >"$TESTS_RESULTS/${TESTS_RECORD:-$name}.jsonl"
fi
[ "$outcome" = passed ]
