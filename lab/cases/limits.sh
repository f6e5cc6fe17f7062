# Time limits of a program's run, for the scripts that source this file:
# RUN_TIMEOUT seconds of processor time (10 when unset), so a loop that
# never ends is named however busy the machine is, and on the clock until
# TESTS_DEADLINE (seconds since 1970) or for 120 s, so a slow run on a busy
# machine is waited for. It may write at most 1 MiB to a file (its output,
# here), so a program that prints without end is named at once.
limit=${RUN_TIMEOUT:-10}
wall=120
if [ -n "$TESTS_DEADLINE" ]; then
  wall=$((${TESTS_DEADLINE%.*} - $(date +%s)))
  [ "$wall" -gt 0 ] || wall=1
fi

# limited COMMAND...: runs it within both limits; its exit status.
limited() {
  (ulimit -t "$limit" && ulimit -f 2048 && exec timeout "$wall" "$@")
}

# within_limits STATUS: succeeds when the status is no limit's; otherwise
# fails, saying which limit the run met.
within_limits() {
  case $1 in
    124) echo "still running when the run's time was up: slow (a busy machine?), not endless"; return 1 ;;
    137 | 152) echo "did not finish within $limit s of processor time: a loop that never ends?"; return 1 ;;
    153) echo "printed more than 1 MiB: a loop that prints without end?"; return 1 ;;
  esac
}
limit_outcome() { [ "$1" -eq 124 ] && echo slow || echo endless; }
