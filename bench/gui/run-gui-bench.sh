#!/usr/bin/env bash
# Builds marlinox-guibench and runs it: RAW mode through the real main window on lo beside
# marlinox-cli on the same traffic, in interleaved rounds: a burst of 5000 frames, then a
# sender as fast as it goes and a few paced rates. Needs root (CAP_NET_RAW on lo).
# Usage: bench/gui/run-gui-bench.sh [build-dir] [seconds] [rounds]
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:-$root/build}"
seconds="${2:-2}"
rounds="${3:-7}"

cmake -S "$root" -B "$build" -G Ninja -DMARLINOX_BENCH=ON >/dev/null
cmake --build "$build" --target marlinox-guibench -j2 >/dev/null
run() { QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen} "$build/bench/gui/marlinox-guibench" \
    --seconds "$seconds" --rounds "$rounds" "$@" 2>/dev/null; echo; }
run --burst 5000
for rate in 0 20000 50000; do
    run --rate "$rate"
done
