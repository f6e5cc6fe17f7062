#!/bin/sh
# The picture build's compiler launcher: runs the compile and keeps what the
# compiler said beside the object file (OBJECT.warnings), so make picture
# shows a learner's warnings on every run, not only when a file is compiled.
object=
previous=
for argument; do
  [ "$previous" = -o ] && object=$argument
  previous=$argument
done
"$@" 2>"$object.warnings"
status=$?
cat "$object.warnings" >&2
exit $status
