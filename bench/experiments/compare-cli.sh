#!/usr/bin/env bash
# Compares builds of marlinox-cli, or one build on two copies of a workload, in alternating
# rounds: each contender replays its workload once per round, the order reversed in every
# other round. Prints each contender's median time, spread, CPU time and peak memory, and its
# time as a ratio of the first contender's in the same round (median and range over rounds), or
# the ratios asked for with --ratio.
# Every output is checked: stream files against the generator's truth, RAW frame files turned
# back into the capture file (--to-pcap).
#
#   bench/experiments/compare-cli.sh [options] LABEL=CLI[,WORKLOAD] ...
#
# e.g. before=../before/build/cli/marlinox-cli now=build-bench/cli/marlinox-cli
#      ipv4=build-bench/cli/marlinox-cli ipv6=build-bench/cli/marlinox-cli,many-flows-v6
#
# It reports figures; it never fails on a timing.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"

RAW=0
WORKLOAD=many-flows
TARGET="none"

usage()
{
    cat <<EOF
usage: bench/experiments/compare-cli.sh [options] LABEL=CLI[,WORKLOAD] ...
  --workload NAME  the contenders' workload unless they name one: many-flows, big-flows,
                   small-frames, or one of them with -v6 (default $WORKLOAD)
  --raw            RAW mode (default: Packet Combine mode)
  --target TEXT    the target of the ratios, printed beside them
  --ratio A/B      print A's time / B's time (repeatable; default: each / the first)
  --build DIR      build directory of the generator (default $BUILD)
  --work DIR       workload folder (default $WORK); removed at the end unless --keep
  --keep           keep the workload files for the next run
  --out DIR        where the contenders write (default: WORK, on disk)
  --runs N         rounds (default $RUNS)
  --seed N, --many-mb N, --big-mb N, --frames N   as for run-bench.sh
EOF
}

CONTENDERS=()
RATIOS=()
while [[ $# -gt 0 ]]; do
    workload_option "$@"
    (( TAKEN )) && { shift "$TAKEN"; continue; }
    case $1 in
    --workload) WORKLOAD=$2; shift 2 ;;
    --raw) RAW=1; shift ;;
    --target) TARGET=$2; shift 2 ;;
    --ratio) RATIOS+=("$2"); shift 2 ;;
    -h | --help) usage; exit 0 ;;
    *=*) CONTENDERS+=("$1"); shift ;;
    *) usage >&2; exit 2 ;;
    esac
done
[[ ${#CONTENDERS[@]} -ge 2 ]] || { usage >&2; exit 2; }

bench_require
bench_build "$BUILD" marlinox-workload
GENERATOR=$BUILD/bench/marlinox-workload

workload_outputs marlinox-compare-out

declare -A CLI_OF PCAP_OF TRUTH_OF INFO_OF
LABELS=()
for c in "${CONTENDERS[@]}"; do
    label=${c%%=*}
    given=${c#*=}
    cli=$(realpath -m "${given%%,*}")
    workload=$WORKLOAD
    [[ $given == *,* ]] && workload=${given#*,}
    [[ -x $cli ]] || { echo "missing: $cli" >&2; exit 1; }
    ensure_workload "$GENERATOR" "$WORK" "$workload"
    LABELS+=("$label")
    CLI_OF[$label]=$cli
    PCAP_OF[$label]=$WL_PCAP
    TRUTH_OF[$label]=$WL_TRUTH
    INFO_OF[$label]=$WL_INFO
done

echo "marlinox-cli comparison, $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores," \
    "$([[ $RAW == 1 ]] && echo RAW || echo Packet Combine) mode"
echo "outputs: $OUT on $(df --output=fstype "$OUT" | tail -n 1); $RUNS rounds, order reversed" \
    "in every other round"
for label in "${LABELS[@]}"; do
    echo "  $label: ${CLI_OF[$label]} on $(cat "${INFO_OF[$label]}")"
    cat "${PCAP_OF[$label]}" >/dev/null
done

first=${LABELS[0]}
# check_run LABEL ROUND: the run's output against the truth, or in RAW mode against the capture
# file.
check_run()
{
    local label=$1 r=$2
    if [[ $RAW == 1 ]]; then
        note_check "$label" "$(check_raw "${CLI_OF[$label]}" "$OUT/$label.$r" "${PCAP_OF[$label]}" \
            "$(info_packets "${INFO_OF[$label]}")")"
    else
        note_check "$label" "$(check_named "$OUT/$label.$r" "${TRUTH_OF[$label]}")"
    fi
}

# On a disk the outputs stay until the end (see lib.sh) and are checked then; on a tmpfs each
# run is checked and removed at once, so that memory does not fill up.
TMPFS=0
on_tmpfs "$OUT" && TMPFS=1
mode=()
[[ $RAW == 1 ]] && mode=(--raw)
settle_fs "$OUT"
echo "  load average before: $(load_average)"
for ((r = 1; r <= RUNS; ++r)); do
    for label in $(round_order "$r" "${LABELS[@]}"); do
        dir=$OUT/$label.$r
        mkdir -p "$dir"
        measure "$label" "$r" "$OUT/$label.log" \
            "${CLI_OF[$label]}" -r "${PCAP_OF[$label]}" -o "$dir" -q "${mode[@]}"
        if ((TMPFS)); then
            check_run "$label" "$r"
            rm -rf "$dir"
        fi
    done
done
after_rounds "$TMPFS" check_run "${LABELS[@]}"

print_tool_header
for label in "${LABELS[@]}"; do
    print_tool "$label" "$RUNS" "$(info_packets "${INFO_OF[$label]}")"
done
if [[ ${#RATIOS[@]} == 0 ]]; then
    for label in "${LABELS[@]:1}"; do
        RATIOS+=("$label/$first")
    done
fi
for ratio in "${RATIOS[@]}"; do
    print_ratio "${ratio%/*}" "${ratio#*/}" "$RUNS" "$TARGET"
done
