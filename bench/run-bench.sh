#!/usr/bin/env bash
# Replays the benchmark workloads through marlinox-cli beside two floors and a peer, in
# interleaved rounds on the same files (the order reversed in every other round):
#   cat          the capture file copied into one file on the output file system: the bytes
#                moved, with no parsing and one file (the absolute bound)
#   parse-floor  marlinox-parse-floor: the engine's reading, frame decoding and connection
#                lookup, with no stream and no file (RAW: the reading alone)
#   marlinox     marlinox-cli -r (Packet Combine mode; --raw on the RAW workload)
#   tcpflow      the peer for streams (installed when missing); editcap -c 1 for RAW, when
#                installed (package wireshark-common)
# It prints each tool's median time, spread, CPU time and peak memory, Marlinox's time as a
# ratio of each other's in the same round, and whether every output holds exactly what the
# generator sent. It never fails on a timing; its exit status is not 0 only when it cannot run.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

CLI=
WORKLOADS="many-flows big-flows many-flows-v6 small-frames"

usage()
{
    cat <<USAGE
usage: bench/run-bench.sh [options]
  --only LIST     workloads (default "$WORKLOADS"); -v6: the IPv6 copy
  --runs N        rounds (default $RUNS); every tool runs once per round
  --out DIR       where the tools write (default: WORK, on disk); e.g. /dev/shm for a tmpfs
  --work DIR      workload folder (default $WORK); removed at the end unless --keep
  --keep          keep the workload files for the next run
  --build DIR     build directory (default build-bench), configured and built if needed
  --cli PATH      marlinox-cli to measure (default: the one built in --build)
  --seed N, --many-mb N (default $MANY_MB), --big-mb N ($BIG_MB), --frames N ($FRAMES)
USAGE
}

while [[ $# -gt 0 ]]; do
    workload_option "$@"
    (( TAKEN )) && { shift "$TAKEN"; continue; }
    case $1 in
    --cli) CLI=$(realpath -m "$2"); shift 2 ;;
    --only) WORKLOADS=$2; shift 2 ;;
    -h | --help) usage; exit 0 ;;
    *) usage >&2; exit 2 ;;
    esac
done

bench_require
bench_install tcpflow
MEMORY_LIMITED=^marlinox # the floors and peers are not held to it
bench_build "$BUILD" marlinox-cli marlinox-workload marlinox-parse-floor
GENERATOR=$BUILD/bench/marlinox-workload
PARSE_FLOOR=$BUILD/bench/marlinox-parse-floor
CLI=${CLI:-$BUILD/cli/marlinox-cli}
[[ -x $CLI ]] || { echo "missing: $CLI" >&2; exit 1; }
HAVE_EDITCAP=0
command -v editcap >/dev/null && HAVE_EDITCAP=1

workload_outputs marlinox-bench-out

# command_for LABEL PCAP DIR: sets CMD to LABEL's command line replaying PCAP into DIR.
command_for()
{
    local pcap=$2 dir=$3
    case $1 in
    cat) CMD=(sh -c 'exec cat "$1" >"$2"' cat "$pcap" "$dir/copy.pcap") ;;
    parse-floor) CMD=("$PARSE_FLOOR" -r "$pcap") ;;
    parse-floor-raw) CMD=("$PARSE_FLOOR" -r "$pcap" --raw) ;;
    marlinox) CMD=("$CLI" -r "$pcap" -o "$dir" -q) ;;
    marlinox-raw) CMD=("$CLI" -r "$pcap" -o "$dir" -q --raw) ;;
    tcpflow) CMD=(tcpflow -S enable_report=NO -r "$pcap" -o "$dir") ;;
    editcap) CMD=(editcap -c 1 "$pcap" "$dir/frame.pcap") ;;
    esac
}

# replay NAME PCAP CHECK LABEL...: RUNS rounds over the tools, each run into RUN/LABEL.ROUND,
# where RUN is OUT/NAME, each run's output checked by "CHECK LABEL ROUND". On a disk the outputs
# stay until the script ends (see lib.sh) and are checked after the last round; on a tmpfs each
# run is checked and removed at once, so that memory does not fill up.
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
                rm -rf "${RUN:?}/$label.$r"
            fi
        done
    done
    after_rounds "$tmpfs" "$check" "$@"
}

# check_stream_run LABEL ROUND: the run's stream files against the generator's truth; the
# copy against the capture file; the parse floor's count of segments.
check_stream_run()
{
    local dir=$RUN/$1.$2
    case $1 in
    cat) note_check "$1" "$(cmp -s "$dir/copy.pcap" "$WL_PCAP" && echo "equal" || echo "DIFFERENT")" ;;
    parse-floor*) check_parse "$1" ;;
    tcpflow) note_check "$1" "$(check_multiset "$dir" "$WL_TRUTH")" ;;
    *) note_check "$1" "$(check_named "$dir" "$WL_TRUTH")" ;;
    esac
}

# check_parse LABEL: the floor's last run read every frame and, in Packet Combine mode,
# decoded each as a TCP segment (every frame of the flow workloads is one).
check_parse()
{
    local n want
    n=$(info_packets "$WL_INFO")
    want="^$n frames, $n TCP segments"
    [[ $1 == *-raw ]] && want="^$n frames"
    note_check "$1" "$(grep -q "$want" "$RUN/$1.log" && echo "$n frames read" || echo "DIFFERENT")"
}

# check_raw_run LABEL ROUND: Marlinox's frame files turned back into the capture file (editcap
# writes one capture file per frame instead, not compared).
check_raw_run()
{
    case $1 in
    marlinox-raw) note_check "$1" "$(check_raw "$CLI" "$RUN/$1.$2" "$WL_PCAP" \
        "$(info_packets "$WL_INFO")")" ;;
    cat | parse-floor-raw) check_stream_run "$1" "$2" ;;
    esac
}

done_with_outputs()
{
    if on_tmpfs "$RUN"; then
        remove_outputs "$RUN"
    fi
}

replay_streams()
{
    local name=$1 tools=(cat parse-floor marlinox tcpflow) t
    ensure_workload "$GENERATOR" "$WORK" "$name"
    echo
    cat "$WL_INFO"
    replay "$name" "$WL_PCAP" check_stream_run "${tools[@]}"
    print_tool_header
    for t in "${tools[@]}"; do
        print_tool "$t" "$RUNS" "$(info_packets "$WL_INFO")"
    done
    print_ratio marlinox parse-floor "$RUNS"
    print_ratio marlinox cat "$RUNS"
    print_ratio parse-floor cat "$RUNS"
    print_ratio marlinox tcpflow "$RUNS"
    done_with_outputs
}

replay_raw()
{
    local name=$1 tools=(cat parse-floor-raw marlinox-raw) t frames
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
    print_ratio marlinox-raw parse-floor-raw "$RUNS"
    print_ratio marlinox-raw cat "$RUNS"
    if [[ $HAVE_EDITCAP == 1 ]]; then
        print_ratio marlinox-raw editcap "$RUNS"
    else
        echo "  editcap: not installed (wireshark-common), its comparison is skipped"
    fi
    done_with_outputs
}

echo "Marlinox replay benchmark, $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores," \
    "commit $(bench_commit)"
echo "marlinox-cli: $CLI"
echo "tcpflow: $(tcpflow -V 2>&1 | head -n 1)"
echo "outputs on $(df --output=fstype "$OUT" | tail -n 1); $RUNS rounds, order reversed" \
    "in every other round; times are medians over rounds, ratios medians of per-round ratios"

for w in $WORKLOADS; do
    case $w in
    many-flows | big-flows | many-flows-v6 | big-flows-v6) replay_streams "$w" ;;
    small-frames | small-frames-v6) replay_raw "$w" ;;
    *) echo "unknown workload $w" >&2; exit 2 ;;
    esac
done
