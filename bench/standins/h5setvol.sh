#!/bin/sh
# Stand-in for the volume script in the benchmarks: touches no audio, counts its calls when asked.
[ -n "${H5BENCH_COUNT_DIR:-}" ] && echo "$*" >> "$H5BENCH_COUNT_DIR/h5setvol.calls"
exit 0
