#!/bin/sh
# Stand-in for the volume script that keeps the boundaries of its arguments: one line per call,
# the path it was started by and each argument in brackets.
line="[$0]"
for arg; do
    line="$line [$arg]"
done
printf '%s\n' "$line" >>"${H5TEST_DIR:-/nonexistent}/h5setvol.calls"
