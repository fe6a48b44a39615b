#!/usr/bin/env bash
# Builds marlinox-guibench and runs it at a few offered rates: RAW mode through the real main
# window on lo beside marlinox-cli on the same traffic. Needs root (CAP_NET_RAW on lo).
# Usage: bench/gui/run-gui-bench.sh [build-dir] [seconds]
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:-$root/build}"
seconds="${2:-5}"

cmake -S "$root" -B "$build" -G Ninja -DMARLINOX_BENCH=ON >/dev/null
cmake --build "$build" --target marlinox-guibench -j2 >/dev/null
for rate in 0 20000 50000 80000; do
    QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen} \
        "$build/bench/gui/marlinox-guibench" --seconds "$seconds" --rate "$rate" 2>/dev/null
    echo
done
