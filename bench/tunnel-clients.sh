#!/bin/sh
# A page of a dozen resources loaded by headless Chromium through the library's tunnel (host,
# agent simulator, tinyproxy) and through tinyproxy directly, interleaved after a warm-up; prints
# both load times and the median of the ratios with its spread. Prints figures, never fails on one.
#   bench/page-load.sh [BUILD_DIR] [ROUNDS]
set -eu
cd "$(dirname "$0")/.."
build=${1:-build}
rounds=${2:-10}
if [ ! -x "$build/examples/agent/h5redir-agent" ]; then
    cmake -S . -B "$build" -G Ninja -DH5REDIR_EXAMPLES=ON >/dev/null
    cmake --build "$build" -j2 --target h5redir-agent h5redir-host
fi
python3 tests/e2e/e2e.py --agent "$build/examples/agent/h5redir-agent" \
    --host "$build/examples/host/h5redir-host" --standins tests/standins \
    page-load-bench "$rounds" | grep '^page load'
