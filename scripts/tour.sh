#!/bin/sh
# Runs every program of the collection on its sample input and shows, for
# each, what it demonstrates, the input it is given and what it prints.
# Usage: tour.sh BUILD_DIR
build=${1:-build/default}
samples=$(dirname "$0")/../demos/samples

show() {  # show PROGRAM TECHNIQUE
  program=$1
  echo
  echo "=== $program: $2 ==="
  if [ -f "$samples/$program.in" ]; then
    echo "--- input ($samples/$program.in):"
    cat "$samples/$program.in"
    echo "--- output:"
    "$build/demos/$program" <"$samples/$program.in"
  else
    echo "--- input: none"
    echo "--- output:"
    "$build/demos/$program" </dev/null
  fi
  echo "--- exit status: $?"
}

show ledgerdemo "classes that own heap memory, copied deeply"
show freethrow "exceptions thrown by value from a range-checked array"
show incomeyears "a derived array with an offset range and a derived exception"
show tellerdemo "single inheritance with virtual functions, used through base pointers"
show friendcount "bound friend templates and a static counter per specialisation"
show pairshow "an unbound friend template reading two holders of different types"
show lineread "delimited input: getline() drops the '#', get() leaves it"
