#!/usr/bin/env bash
# Replays the benchmark workloads through marlinox-cli, the pwrite floor and, when installed,
# tcpflow (stream workloads) and editcap -c 1 (RAW workload), all in one run on the same
# files, and prints time, packets/s, MB/s, peak memory, the ratios between the tools and
# whether the stream contents are byte-identical.
#
# It reports figures; it never fails on a timing. The exit status is not 0 only when the
# script itself cannot run (build failure, bad usage, workload generation failure).
#
# Timing: wall clock of each run, from bash's $EPOCHREALTIME, best of --runs (default 3);
# the tools run in turn within each round, so load from elsewhere on the machine spreads
# over all of them. Every run starts with an empty output folder after a sync, with the
# capture file in the page cache (the page cache cannot be dropped without root). Peak
# memory: the maximum resident set size from GNU time (-f %M) when /usr/bin/time is GNU
# time; otherwise VmHWM from /proc/PID/status, polled every 20 ms (it can miss a final
# peak). The method used is printed.
set -euo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=$REPO/build-bench
CLI=$REPO/build/cli/marlinox-cli
WORK=/tmp/marlinox-bench
RUNS=3
SEED=1
MANY_MB=500
BIG_MB=400
FRAMES=100000
KEEP=0
WORKLOADS="many-flows big-flows small-frames"
MEMORY_LIMIT_KIB=20480

usage()
{
    cat <<EOF
usage: bench/run-bench.sh [options]
  --build DIR     build directory of the benchmark tools (default $BUILD);
                  configured (GUI off) and built if needed
  --cli PATH      marlinox-cli to measure (default $CLI); skipped if missing
  --work DIR      scratch folder (default $WORK); removed at the end unless --keep
  --keep          keep the scratch folder and its workload files for the next run
  --runs N        runs per tool, the best one counts (default $RUNS)
  --seed N        workload seed (default $SEED)
  --many-mb N     payload of many-flows in MB (default $MANY_MB)
  --big-mb N      payload of big-flows in MB, over 8 connections (default $BIG_MB)
  --frames N      frames of small-frames (default $FRAMES)
  --only LIST     workloads to run, e.g. "many-flows small-frames" (default: all three)
EOF
}

while [[ $# -gt 0 ]]; do
    case $1 in
    --build) BUILD=$(realpath -m "$2"); shift 2 ;;
    --cli) CLI=$(realpath -m "$2"); shift 2 ;;
    --work) WORK=$(realpath -m "$2"); shift 2 ;;
    --keep) KEEP=1; shift ;;
    --runs) RUNS=$2; shift 2 ;;
    --seed) SEED=$2; shift 2 ;;
    --many-mb) MANY_MB=$2; shift 2 ;;
    --big-mb) BIG_MB=$2; shift 2 ;;
    --frames) FRAMES=$2; shift 2 ;;
    --only) WORKLOADS=$2; shift 2 ;;
    -h | --help) usage; exit 0 ;;
    *) usage >&2; exit 2 ;;
    esac
done

# --- build -----------------------------------------------------------------------------------

build_tools()
{
    if [[ ! -f $BUILD/CMakeCache.txt ]]; then
        local generator=()
        command -v ninja >/dev/null && generator=(-G Ninja)
        cmake -S "$REPO" -B "$BUILD" "${generator[@]}" -DMARLINOX_GUI=OFF >/dev/null
    fi
    cmake --build "$BUILD" -j2 --target marlinox-workload marlinox-pwrite-floor >/dev/null
}

build_tools
GENERATOR=$BUILD/bench/marlinox-workload
FLOOR=$BUILD/bench/marlinox-pwrite-floor

HAVE_CLI=0
[[ -x $CLI ]] && HAVE_CLI=1
HAVE_TCPFLOW=0
command -v tcpflow >/dev/null && HAVE_TCPFLOW=1
HAVE_EDITCAP=0
command -v editcap >/dev/null && HAVE_EDITCAP=1

GNU_TIME=
if [[ -x /usr/bin/time ]] && /usr/bin/time --version 2>&1 | grep -q GNU; then
    GNU_TIME=/usr/bin/time
fi

mkdir -p "$WORK"
cleanup()
{
    rm -rf "$WORK/out"
    [[ $KEEP == 1 ]] || rm -rf "$WORK"
}
trap cleanup EXIT

# --- measuring -------------------------------------------------------------------------------

now_us()
{
    local t=${EPOCHREALTIME/[.,]/}
    echo "$t"
}

# Runs "$@" with stdout and stderr into $LOG; sets RUN_US (elapsed µs), RUN_KIB (peak resident
# set in KiB) and RUN_RC.
run_measured()
{
    local start end
    RUN_RC=0
    if [[ -n $GNU_TIME ]]; then
        start=$(now_us)
        "$GNU_TIME" -f '%M' -o "$WORK/out/memory" "$@" >"$LOG" 2>&1 || RUN_RC=$?
        end=$(now_us)
        RUN_KIB=$(tail -n 1 "$WORK/out/memory")
    else
        local pid key value rest
        RUN_KIB=0
        start=$(now_us)
        "$@" >"$LOG" 2>&1 &
        pid=$!
        while [[ -r /proc/$pid/status ]]; do
            while read -r key value rest; do
                [[ $key == VmHWM: && $value -gt $RUN_KIB ]] && RUN_KIB=$value
            done <"/proc/$pid/status" 2>/dev/null || true
            sleep 0.02
        done
        wait "$pid" || RUN_RC=$?
        end=$(now_us)
    fi
    RUN_US=$((end - start))
}

# best_of TOOL OUTDIR CMD...: RUNS runs of CMD, each into a fresh OUTDIR. Sets BEST_US[TOOL]
# (fastest run) and PEAK_KIB[TOOL] (largest peak of all runs); leaves the last run's output.
declare -A BEST_US PEAK_KIB FAILED
measure_round()
{
    local tool=$1 out=$2
    shift 2
    rm -rf "$out"
    mkdir -p "$out"
    sync
    LOG=$WORK/out/$tool.log
    run_measured "$@"
    if [[ $RUN_RC != 0 ]]; then
        FAILED[$tool]="exit status $RUN_RC: $(tail -n 1 "$LOG")"
    fi
    if [[ -z ${BEST_US[$tool]:-} || $RUN_US -lt ${BEST_US[$tool]} ]]; then
        BEST_US[$tool]=$RUN_US
    fi
    if [[ -z ${PEAK_KIB[$tool]:-} || $RUN_KIB -gt ${PEAK_KIB[$tool]} ]]; then
        PEAK_KIB[$tool]=$RUN_KIB
    fi
}

# --- workloads -------------------------------------------------------------------------------

# generate NAME ARGS...: writes $WORK/NAME.pcap and NAME.info (the generator's summary) unless
# both exist from an earlier run.
generate()
{
    local name=$1
    shift
    if [[ -s $WORK/$name.pcap && -s $WORK/$name.info ]]; then
        echo "reusing $WORK/$name.pcap"
        return
    fi
    echo "generating $WORK/$name.pcap"
    rm -f "$WORK/$name.info"
    "$GENERATOR" "$@" --seed "$SEED" -o "$WORK/$name.pcap" >"$WORK/$name.tmp"
    mv "$WORK/$name.tmp" "$WORK/$name.info"
}

# Fields of the generator's summary: "NAME: P packets, B payload bytes, ...".
info_packets() { awk '{print $2}' "$1"; }
info_bytes() { awk '{print $4}' "$1"; }

# Sorted sha256 of every non-empty stream file in DIR (report.xml and log.txt excluded).
stream_hashes()
{
    find "$1" -type f -size +0 ! -name report.xml ! -name log.txt ! -name alerts.txt \
        ! -name memory ! -name '*.log' -print0 |
        xargs -0 -r sha256sum | cut -d' ' -f1 | sort
}

# compare_multisets LABEL DIR_A DIR_B: prints how many files' contents lack a twin.
compare_multisets()
{
    local label=$1 a=$WORK/out/hashes.a b=$WORK/out/hashes.b
    stream_hashes "$2" >"$a"
    stream_hashes "$3" >"$b"
    local onlyA onlyB
    onlyA=$(comm -23 "$a" "$b" | wc -l)
    onlyB=$(comm -13 "$a" "$b" | wc -l)
    printf '  byte identity %-22s %6d vs %6d non-empty files; unmatched: %d and %d -> %s\n' \
        "$label:" "$(wc -l <"$a")" "$(wc -l <"$b")" "$onlyA" "$onlyB" \
        "$([[ $onlyA == 0 && $onlyB == 0 ]] && echo identical || echo DIFFERENT)"
}

# compare_raw DIR_A DIR_B: the .pd files of both folders, name by name.
compare_raw()
{
    local a=$WORK/out/raw.a b=$WORK/out/raw.b
    (cd "$1" && find . -name 'p*.pd' -print0 | xargs -0 -r sha256sum | sort -k2) >"$a"
    (cd "$2" && find . -name 'p*.pd' -print0 | xargs -0 -r sha256sum | sort -k2) >"$b"
    local differing
    differing=$(diff "$a" "$b" | grep -c '^[<>]' || true)
    printf '  byte identity %-22s %6d vs %6d frame files; differing lines: %d -> %s\n' \
        "marlinox vs floor:" "$(wc -l <"$a")" "$(wc -l <"$b")" "$differing" \
        "$([[ $differing == 0 ]] && echo identical || echo DIFFERENT)"
}

ratio()
{
    awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else printf "n/a" }'
}

print_row()
{
    local tool=$1 packets=$2 bytes=$3 us=${BEST_US[$1]} kib=${PEAK_KIB[$1]}
    local note=${FAILED[$tool]:-}
    awk -v t="$tool" -v us="$us" -v p="$packets" -v b="$bytes" -v k="$kib" -v n="$note" \
        -v lim="$MEMORY_LIMIT_KIB" 'BEGIN {
            s = us / 1e6
            printf "  %-10s %8.3f s %12.0f pkt/s %9.1f MB/s %8d KiB peak%s%s\n", t, s, p / s,
                b / 1e6 / s, k, (k >= lim ? " (over 20 MiB)" : ""), (n != "" ? "  FAILED: " n : "")
        }'
}

# print_ratio LABEL VALUE TARGET
print_ratio()
{
    printf '  %-44s %6s   (target %s)\n' "$1" "$2" "$3"
}

replay_streams()
{
    local name=$1 pcap=$WORK/$1.pcap info=$WORK/$1.info
    local packets bytes
    packets=$(info_packets "$info")
    bytes=$(info_bytes "$info")
    BEST_US=() PEAK_KIB=() FAILED=()
    cat "$pcap" >/dev/null
    local tools=(floor)
    [[ $HAVE_CLI == 1 ]] && tools+=(marlinox)
    [[ $HAVE_TCPFLOW == 1 ]] && tools+=(tcpflow)
    for ((r = 1; r <= RUNS; ++r)); do
        [[ $HAVE_CLI == 1 ]] && measure_round marlinox "$WORK/out/marlinox" \
            "$CLI" -r "$pcap" -o "$WORK/out/marlinox" -q
        measure_round floor "$WORK/out/floor" "$FLOOR" -r "$pcap" -o "$WORK/out/floor"
        [[ $HAVE_TCPFLOW == 1 ]] && measure_round tcpflow "$WORK/out/tcpflow" \
            tcpflow -S enable_report=NO -r "$pcap" -o "$WORK/out/tcpflow"
    done
    echo
    echo "$name: $(cat "$info")"
    echo "  (MB/s: payload bytes of all connections; best of $RUNS runs)"
    for t in "${tools[@]}"; do
        print_row "$t" "$packets" "$bytes"
    done
    local m=${BEST_US[marlinox]:-0} f=${BEST_US[floor]} c=${BEST_US[tcpflow]:-0}
    local faster=">= 1.10" floorTarget="<= 1.10"
    [[ $name == big-flows ]] && faster=">= 1.00" floorTarget="none"
    if [[ $HAVE_CLI == 1 && $HAVE_TCPFLOW == 1 ]]; then
        print_ratio "tcpflow time / marlinox time:" "$(ratio "$c" "$m")" "$faster"
    fi
    [[ $HAVE_CLI == 1 ]] &&
        print_ratio "marlinox time / floor time:" "$(ratio "$m" "$f")" "$floorTarget"
    [[ $HAVE_TCPFLOW == 1 ]] &&
        print_ratio "tcpflow time / floor time:" "$(ratio "$c" "$f")" "none, for scale"
    [[ $HAVE_CLI == 1 && $HAVE_TCPFLOW == 1 ]] &&
        compare_multisets "marlinox vs tcpflow" "$WORK/out/marlinox" "$WORK/out/tcpflow"
    [[ $HAVE_CLI == 1 ]] &&
        compare_multisets "marlinox vs floor" "$WORK/out/marlinox" "$WORK/out/floor"
    [[ $HAVE_TCPFLOW == 1 ]] &&
        compare_multisets "floor vs tcpflow" "$WORK/out/floor" "$WORK/out/tcpflow"
    [[ $HAVE_CLI == 1 ]] || echo "  marlinox: skipped, $CLI not found"
    [[ $HAVE_TCPFLOW == 1 ]] || echo "  tcpflow: not installed, comparison skipped"
    rm -rf "$WORK/out"/*
}

replay_raw()
{
    local name=$1 pcap=$WORK/$1.pcap info=$WORK/$1.info
    local packets bytes
    packets=$(info_packets "$info")
    bytes=$(info_bytes "$info")
    BEST_US=() PEAK_KIB=() FAILED=()
    cat "$pcap" >/dev/null
    local tools=(floor)
    [[ $HAVE_CLI == 1 ]] && tools+=(marlinox)
    [[ $HAVE_EDITCAP == 1 ]] && tools+=(editcap)
    for ((r = 1; r <= RUNS; ++r)); do
        [[ $HAVE_CLI == 1 ]] && measure_round marlinox "$WORK/out/marlinox" \
            "$CLI" -r "$pcap" -o "$WORK/out/marlinox" --raw -q
        measure_round floor "$WORK/out/floor" "$FLOOR" -r "$pcap" -o "$WORK/out/floor" --raw
        [[ $HAVE_EDITCAP == 1 ]] && measure_round editcap "$WORK/out/editcap" \
            editcap -c 1 "$pcap" "$WORK/out/editcap/frame.pcap"
    done
    echo
    echo "$name (RAW mode): $(cat "$info")"
    echo "  (MB/s: frame bytes; best of $RUNS runs)"
    for t in "${tools[@]}"; do
        print_row "$t" "$packets" "$bytes"
    done
    local m=${BEST_US[marlinox]:-0} f=${BEST_US[floor]} e=${BEST_US[editcap]:-0}
    [[ $HAVE_CLI == 1 ]] &&
        print_ratio "marlinox time / floor time:" "$(ratio "$m" "$f")" "<= 1.15"
    [[ $HAVE_CLI == 1 && $HAVE_EDITCAP == 1 ]] &&
        print_ratio "editcap time / marlinox time:" "$(ratio "$e" "$m")" "> 1.00"
    [[ $HAVE_CLI == 1 ]] && compare_raw "$WORK/out/marlinox" "$WORK/out/floor"
    [[ $HAVE_CLI == 1 ]] || echo "  marlinox: skipped, $CLI not found"
    [[ $HAVE_EDITCAP == 1 ]] || echo "  editcap: not installed (wireshark-common), comparison skipped"
    rm -rf "$WORK/out"/*
}

# --- main ------------------------------------------------------------------------------------

echo "Marlinox replay benchmark, $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores"
echo "marlinox-cli: $([[ $HAVE_CLI == 1 ]] && echo "$CLI" || echo "missing ($CLI)")"
echo "tcpflow: $([[ $HAVE_TCPFLOW == 1 ]] && tcpflow -V 2>&1 | head -n 1 || echo missing)"
echo "editcap: $([[ $HAVE_EDITCAP == 1 ]] && editcap -V 2>&1 | head -n 1 || echo missing)"
if [[ -n $GNU_TIME ]]; then
    echo "peak memory: GNU time (maximum resident set size)"
else
    echo "peak memory: VmHWM from /proc, polled every 20 ms (GNU time not installed)"
fi
mkdir -p "$WORK/out"

for w in $WORKLOADS; do
    case $w in
    many-flows)
        generate "many-flows-s$SEED-${MANY_MB}mb" many-flows --mb "$MANY_MB"
        replay_streams "many-flows-s$SEED-${MANY_MB}mb"
        ;;
    big-flows)
        generate "big-flows-s$SEED-${BIG_MB}mb" big-flows --mb "$BIG_MB"
        replay_streams "big-flows-s$SEED-${BIG_MB}mb"
        ;;
    small-frames)
        generate "small-frames-s$SEED-$FRAMES" small-frames --frames "$FRAMES"
        replay_raw "small-frames-s$SEED-$FRAMES"
        ;;
    *)
        echo "unknown workload $w" >&2
        exit 2
        ;;
    esac
done
