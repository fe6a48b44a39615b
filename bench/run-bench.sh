#!/usr/bin/env bash
# Replays the benchmark workloads through marlinox-cli, the two floors and, when installed,
# tcpflow (stream workloads) and editcap -c 1 (RAW workload), in alternating rounds on the same
# files, and prints each tool's median time, its spread, CPU time and peak memory, Marlinox's
# time as a ratio of each other tool's in the same round, and whether every output file holds
# exactly the bytes the generator sent.
#
# It reports figures; it never fails on a timing. The exit status is not 0 only when the
# script itself cannot run (build failure, bad usage, workload generation failure).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

CLI=
V6=
WORKLOADS="many-flows big-flows small-frames"

usage()
{
    cat <<EOF
usage: bench/run-bench.sh [options]
  --build DIR     build directory of the tools (default $BUILD); configured with
                  -DMARLINOX_BENCH=ON (GUI and tests off) and built if needed
  --cli PATH      marlinox-cli to measure (default: the one built in --build)
  --work DIR      workload folder (default $WORK); removed at the end unless --keep
  --keep          keep the workload files for the next run
  --out DIR       where the tools write (default: WORK, on disk); e.g. /dev/shm for a tmpfs
  --runs N        rounds (default $RUNS); every tool runs once per round
  --seed N        workload seed (default $SEED)
  --many-mb N     payload of many-flows in MB (default $MANY_MB)
  --big-mb N      payload of big-flows in MB, over 8 connections (default $BIG_MB)
  --frames N      frames of small-frames (default $FRAMES)
  --ipv6          the IPv6 copies of the workloads
  --only LIST     workloads to run, e.g. "many-flows small-frames" (default: all three)
EOF
}

while [[ $# -gt 0 ]]; do
    workload_option "$@"
    (( TAKEN )) && { shift "$TAKEN"; continue; }
    case $1 in
    --cli) CLI=$(realpath -m "$2"); shift 2 ;;
    --ipv6) V6=-v6; shift ;;
    --only) WORKLOADS=$2; shift 2 ;;
    -h | --help) usage; exit 0 ;;
    *) usage >&2; exit 2 ;;
    esac
done

bench_require
MEMORY_LIMITED=^marlinox # the floors and peers are not held to it
bench_build "$BUILD" marlinox-cli marlinox-workload marlinox-pwrite-floor marlinox-run-floor
GENERATOR=$BUILD/bench/marlinox-workload
PWRITE_FLOOR=$BUILD/bench/marlinox-pwrite-floor
RUN_FLOOR=$BUILD/bench/marlinox-run-floor
CLI=${CLI:-$BUILD/cli/marlinox-cli}
[[ -x $CLI ]] || { echo "missing: $CLI" >&2; exit 1; }
HAVE_TCPFLOW=0
command -v tcpflow >/dev/null && HAVE_TCPFLOW=1
HAVE_EDITCAP=0
command -v editcap >/dev/null && HAVE_EDITCAP=1

workload_outputs marlinox-bench-out

# command_for LABEL PCAP DIR: sets CMD to LABEL's command line replaying PCAP into DIR.
command_for()
{
    local pcap=$2 dir=$3
    case $1 in
    marlinox) CMD=("$CLI" -r "$pcap" -o "$dir" -q) ;;
    marlinox-raw) CMD=("$CLI" -r "$pcap" -o "$dir" -q --raw) ;;
    pwrite-floor) CMD=("$PWRITE_FLOOR" -r "$pcap" -o "$dir") ;;
    run-floor) CMD=("$RUN_FLOOR" -r "$pcap" -o "$dir") ;;
    raw-floor) CMD=("$PWRITE_FLOOR" -r "$pcap" -o "$dir" --raw) ;;
    tcpflow) CMD=(tcpflow -S enable_report=NO -r "$pcap" -o "$dir") ;;
    editcap) CMD=(editcap -c 1 "$pcap" "$dir/frame.pcap") ;;
    esac
}

# replay NAME PCAP CHECK LABEL...: RUNS rounds over the tools, each run into RUN/LABEL.ROUND,
# where RUN is OUT/NAME, each run's output checked by "CHECK LABEL ROUND". On a disk the outputs
# stay until the script ends (see lib.sh) and are checked after the last round; on a tmpfs each
# run is checked and removed at once (but the RAW reference, raw-floor.1), so that memory does
# not fill up.
replay()
{
    local pcap=$2 check=$3 r label tmpfs=0
    RUN=$OUT/$1
    shift 3
    T_US=() RSS_KIB=() CPU_S=() CHECK=() FAILED=()
    mkdir -p "$RUN"
    settle_fs "$RUN"
    echo "  load average before: $(load_average)"
    on_tmpfs "$RUN" && tmpfs=1
    cat "$pcap" >/dev/null
    for ((r = 1; r <= RUNS; ++r)); do
        for label in $(round_order "$r" "$@"); do
            mkdir -p "$RUN/$label.$r"
            command_for "$label" "$pcap" "$RUN/$label.$r"
            measure "$label" "$r" "$RUN/$label.log" "${CMD[@]}"
            if ((tmpfs)); then
                "$check" "$label" "$r"
                [[ $label.$r == raw-floor.1 ]] || rm -rf "${RUN:?}/$label.$r"
            fi
        done
    done
    after_rounds "$tmpfs" "$check" "$@"
}

# check_stream_run LABEL ROUND: the run's stream files against the generator's truth.
check_stream_run()
{
    local dir=$RUN/$1.$2
    if [[ $1 == tcpflow ]]; then
        note_check "$1" "$(check_multiset "$dir" "$WL_TRUTH")"
    else
        note_check "$1" "$(check_named "$dir" "$WL_TRUTH")"
    fi
}

# check_raw_run LABEL ROUND: the run's frame files against the floor's first run (editcap
# writes one capture file per frame instead, not compared).
check_raw_run()
{
    [[ $1 == editcap || $1.$2 == raw-floor.1 ]] && return
    note_check "$1" "$(check_raw "$RUN/$1.$2" "$RUN/raw-floor.1" "$(info_packets "$WL_INFO")")"
}

done_with_outputs()
{
    if on_tmpfs "$RUN"; then
        remove_outputs "$RUN"
    fi
}

replay_streams()
{
    local name=$1 tools=(pwrite-floor run-floor marlinox) t
    [[ $HAVE_TCPFLOW == 1 ]] && tools+=(tcpflow)
    ensure_workload "$GENERATOR" "$WORK" "$name"
    echo
    cat "$WL_INFO"
    replay "$name" "$WL_PCAP" check_stream_run "${tools[@]}"
    print_tool_header
    for t in "${tools[@]}"; do
        print_tool "$t" "$RUNS" "$(info_packets "$WL_INFO")"
    done
    print_ratio marlinox run-floor "$RUNS" "<= 1.15"
    print_ratio marlinox pwrite-floor "$RUNS" "none, for scale"
    print_ratio run-floor pwrite-floor "$RUNS" "none, for scale"
    if [[ $HAVE_TCPFLOW == 1 ]]; then
        print_ratio marlinox tcpflow "$RUNS" "none, reported"
    else
        echo "  tcpflow: not installed, its comparison is skipped"
    fi
    done_with_outputs
}

replay_raw()
{
    local name=$1 tools=(raw-floor marlinox-raw) t frames
    [[ $HAVE_EDITCAP == 1 ]] && tools+=(editcap)
    ensure_workload "$GENERATOR" "$WORK" "$name"
    frames=$(info_packets "$WL_INFO")
    echo
    echo "$(cat "$WL_INFO") (RAW mode)"
    replay "$name" "$WL_PCAP" check_raw_run "${tools[@]}"
    print_tool_header
    for t in "${tools[@]}"; do
        print_tool "$t" "$RUNS" "$frames"
    done
    print_ratio marlinox-raw raw-floor "$RUNS" "<= 1.15"
    if [[ $HAVE_EDITCAP == 1 ]]; then
        print_ratio marlinox-raw editcap "$RUNS" "none, reported"
    else
        echo "  editcap: not installed (wireshark-common), its comparison is skipped"
    fi
    done_with_outputs
}

version()
{
    if command -v "$1" >/dev/null; then
        "$1" "$2" 2>&1 | grep -m 1 -i "$1" || true
    else
        echo missing
    fi
}

echo "Marlinox replay benchmark, $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores"
echo "marlinox-cli: $CLI"
echo "tcpflow: $(version tcpflow -V); editcap: $(version editcap -h)"
echo "outputs: $OUT on $(df --output=fstype "$OUT" | tail -n 1); $RUNS rounds, order reversed" \
    "in every other round; times are medians over rounds, ratios medians of per-round ratios"

for w in $WORKLOADS; do
    case $w in
    many-flows | big-flows) replay_streams "$w$V6" ;;
    small-frames) replay_raw "small-frames$V6" ;;
    *) echo "unknown workload $w" >&2; exit 2 ;;
    esac
done
