#!/usr/bin/env bash
# Live capture on lo: how many packets marlinox-cli reads in RAW mode while UDP datagrams are
# sent to 127.0.0.1 at a given rate, for one or more CLI builds in alternating rounds. The rates
# and the traffic are those of the window's benchmark (bench/gui/run-gui-bench.sh): 64-byte
# payloads at 20 000, 50 000 and 80 000 per second and unpaced, 5 s each. Needs root (or
# CAP_NET_RAW on the CLIs). Traffic stays on 127.0.0.1; the capture sees everything on lo, so
# other programs' loopback traffic in the same seconds is counted too.
#
#   bench/live-rate.sh [options] LABEL=CLI ...
#
# Per run: the CLI starts (-i lo --raw -q) into a fresh folder, the sender runs once the CLI has
# written log.txt's mode line, SIGINT stops the CLI as soon as the sender is done, and its
# summary line gives the packets read and the kernel's drops. Peak memory is VmHWM just before
# the stop. It reports figures; it never fails on them.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

BUILD=$BENCH_REPO/build-bench
OUT=/dev/shm
RUNS=5
SECONDS_PER_RUN=5
RATES="20000 50000 80000 0"
SIZE=64

usage()
{
    cat <<EOF
usage: bench/live-rate.sh [options] LABEL=CLI ...
  --rates LIST   packets per second, 0 unpaced (default "$RATES")
  --seconds N    sending time per run (default $SECONDS_PER_RUN)
  --runs N       rounds per rate (default $RUNS)
  --size BYTES   UDP payload (default $SIZE)
  --out DIR      where the captures write (default $OUT, a tmpfs, as the window's benchmark)
  --build DIR    build directory of the sender (default $BUILD)
EOF
}

CONTENDERS=()
while [[ $# -gt 0 ]]; do
    case $1 in
    --rates) RATES=$2; shift 2 ;;
    --seconds) SECONDS_PER_RUN=$2; shift 2 ;;
    --runs) RUNS=$2; shift 2 ;;
    --size) SIZE=$2; shift 2 ;;
    --out) OUT=$(realpath -m "$2"); shift 2 ;;
    --build) BUILD=$(realpath -m "$2"); shift 2 ;;
    -h | --help) usage; exit 0 ;;
    *=*) CONTENDERS+=("$1"); shift ;;
    *) usage >&2; exit 2 ;;
    esac
done
[[ ${#CONTENDERS[@]} -ge 1 ]] || { usage >&2; exit 2; }

bench_build "$BUILD" marlinox-udp-send
SENDER=$BUILD/bench/marlinox-udp-send
declare -A CLI_OF
LABELS=()
for c in "${CONTENDERS[@]}"; do
    LABELS+=("${c%%=*}")
    CLI_OF[${c%%=*}]=$(realpath -m "${c#*=}")
    [[ -x ${CLI_OF[${c%%=*}]} ]] || { echo "missing: ${c#*=}" >&2; exit 1; }
done

OUT=$(make_out "$OUT" marlinox-live-out)
CLI_PID=
cleanup()
{
    [[ -n $CLI_PID ]] && kill -INT "$CLI_PID" 2>/dev/null && wait "$CLI_PID" 2>/dev/null
    rm -rf "$OUT"
}
trap cleanup EXIT

# wait_for_mode DIR: until the capture in DIR has written its mode line (10 s at most).
wait_for_mode()
{
    local i
    for ((i = 0; i < 1000; ++i)); do
        grep -qs 'RAW mode' "$1/log.txt" && return 0
        sleep 0.01
    done
    return 1
}

declare -A READ SENT DROPS HWM
# live_run LABEL RATE ROUND: one capture while the sender runs.
live_run()
{
    local label=$1 rate=$2 round=$3 dir=$OUT/run sent
    rm -rf "$dir"
    mkdir -p "$dir"
    "${CLI_OF[$label]}" -i lo --raw -q -o "$dir/capture" 2>"$OUT/summary" >/dev/null &
    CLI_PID=$!
    if ! wait_for_mode "$dir/capture"; then
        echo "  $label did not start capturing: $(cat "$OUT/summary")" >&2
        kill -INT "$CLI_PID" 2>/dev/null || true
        wait "$CLI_PID" || true
        CLI_PID=
        return
    fi
    sent=$("$SENDER" --rate "$rate" --seconds "$SECONDS_PER_RUN" --size "$SIZE" | awk '{print $2}')
    HWM[$label,$rate,$round]=$(awk '/^VmHWM:/ {print $2}' "/proc/$CLI_PID/status")
    kill -INT "$CLI_PID"
    wait "$CLI_PID" || true
    CLI_PID=
    SENT[$label,$rate,$round]=$sent
    READ[$label,$rate,$round]=$(sed -n 's/.*packets read: \([0-9]*\).*/\1/p' "$OUT/summary")
    DROPS[$label,$rate,$round]=$(sed -n 's/.*dropped by the kernel: \([0-9]*\).*/\1/p' "$OUT/summary")
    rm -rf "$dir"
}

echo "Live capture on lo, RAW mode, $SIZE-byte UDP payloads, $SECONDS_PER_RUN s per run," \
    "$RUNS rounds, $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores; outputs in $OUT"
for label in "${LABELS[@]}"; do
    echo "  $label: ${CLI_OF[$label]}"
done
for rate in $RATES; do
    echo
    echo "offered: $([[ $rate == 0 ]] && echo unpaced || echo "$rate/s"); load average before: $(load_average)"
    for ((r = 1; r <= RUNS; ++r)); do
        for label in $(round_order "$r" "${LABELS[@]}"); do
            live_run "$label" "$rate" "$r"
        done
    done
    printf '  %-10s %14s %14s %22s %12s %9s\n' host "sent (median)" "read (median)" \
        "read min–max" "drops (med)" "VmHWM"
    for label in "${LABELS[@]}"; do
        read -r sent _ _ < <(stats $(for ((r = 1; r <= RUNS; ++r)); do echo "${SENT[$label,$rate,$r]:-0}"; done))
        read -r got min max < <(stats $(for ((r = 1; r <= RUNS; ++r)); do echo "${READ[$label,$rate,$r]:-0}"; done))
        read -r drops _ _ < <(stats $(for ((r = 1; r <= RUNS; ++r)); do echo "${DROPS[$label,$rate,$r]:-0}"; done))
        read -r _ _ hwm < <(stats $(for ((r = 1; r <= RUNS; ++r)); do echo "${HWM[$label,$rate,$r]:-0}"; done))
        printf '  %-10s %14.0f %14.0f %10.0f–%-11.0f %12.0f %5.1f MiB\n' "$label" "$sent" "$got" \
            "$min" "$max" "$drops" "$(awk -v k="$hwm" 'BEGIN { print k / 1024 }')"
    done
    if [[ ${#LABELS[@]} -ge 2 ]]; then
        for label in "${LABELS[@]:1}"; do
            ratios=()
            for ((r = 1; r <= RUNS; ++r)); do
                ratios+=("$(awk -v a="${READ[$label,$rate,$r]:-0}" -v b="${READ[${LABELS[0]},$rate,$r]:-0}" \
                    'BEGIN { printf "%.4f", (b > 0 ? a / b : 0) }')")
            done
            read -r med min max < <(stats "${ratios[@]}")
            printf '  read by %s / read by %s: %.3f (rounds %.3f–%.3f)\n' "$label" "${LABELS[0]}" \
                "$med" "$min" "$max"
        done
    fi
    echo "  load average after: $(load_average)"
done
