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
# over all of them. Every run writes into a new, empty folder, after a sync, with the capture
# file in the page cache (the page cache cannot be dropped without root). Peak
# memory: the maximum resident set size from GNU time (-f %M) when /usr/bin/time is GNU
# time; otherwise VmHWM from /proc/PID/status, polled every 20 ms (it can miss a final
# peak). The method used is printed.
set -euo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=$REPO/build-bench
CLI=$REPO/build/cli/marlinox-cli
WORK=/tmp/marlinox-bench
OUT=
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
  --out DIR       where the tools write their output (default: WORK/out); e.g. a folder
                  on a tmpfs such as /dev/shm to leave the disk's file system out
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
    --out) OUT=$(realpath -m "$2"); shift 2 ;;
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

# The benchmark tools need neither the GUI nor the tests: leaving both out keeps the build
# small and independent of work in progress there.
build_tools()
{
    if [[ ! -f $BUILD/CMakeCache.txt ]]; then
        local generator=()
        command -v ninja >/dev/null && generator=(-G Ninja)
        cmake -S "$REPO" -B "$BUILD" "${generator[@]}" -DMARLINOX_GUI=OFF -DBUILD_TESTING=OFF \
            >/dev/null
    fi
    cmake --build "$BUILD" -j2 --target marlinox-workload marlinox-pwrite-floor >"$BUILD/bench-build.log" 2>&1
}

GENERATOR=$BUILD/bench/marlinox-workload
FLOOR=$BUILD/bench/marlinox-pwrite-floor
if ! build_tools; then
    if [[ -x $GENERATOR && -x $FLOOR ]]; then
        echo "warning: building the benchmark tools failed (see $BUILD/bench-build.log);" \
            "using the executables already there" >&2
    else
        cat "$BUILD/bench-build.log" >&2
        exit 1
    fi
fi

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

# A folder of our own inside --out, so that cleaning up never touches anything else there.
if [[ -n $OUT ]]; then
    OUT=$OUT/marlinox-bench-out
else
    OUT=$WORK/out
fi
mkdir -p "$WORK" "$OUT"
cleanup()
{
    rm -rf "$OUT"
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
# set in KiB), RUN_CPU (user+system seconds, "-" when unknown) and RUN_RC.
run_measured()
{
    local start end
    RUN_RC=0
    RUN_CPU=-
    if [[ -n $GNU_TIME ]]; then
        start=$(now_us)
        "$GNU_TIME" -f '%M %U %S' -o "$OUT/time" "$@" >"$LOG" 2>&1 || RUN_RC=$?
        end=$(now_us)
        local kib user sys
        read -r kib user sys < <(tail -n 1 "$OUT/time")
        RUN_KIB=$kib
        RUN_CPU=$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.2f", u + s }')
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

# tool_command TOOL PCAP DIR MODE: sets CMD to TOOL's command line that replays PCAP into DIR
# (MODE streams or raw).
tool_command()
{
    local tool=$1 pcap=$2 dir=$3 mode=$4
    case $tool in
    marlinox) CMD=("$CLI" -r "$pcap" -o "$dir" -q) ;;
    floor) CMD=("$FLOOR" -r "$pcap" -o "$dir") ;;
    tcpflow) CMD=(tcpflow -S enable_report=NO -r "$pcap" -o "$dir") ;;
    editcap) CMD=(editcap -c 1 "$pcap" "$dir/frame.pcap") ;;
    esac
    if [[ $mode == raw && ($tool == marlinox || $tool == floor) ]]; then
        CMD+=(--raw)
    fi
}

# measure_run TOOL RUN PCAP MODE: one run of TOOL into the empty folder $OUT/TOOL.RUN.
# Outputs are removed only after all runs of a workload: on a file system that keeps freshly
# deleted inodes from reuse for a while (ext4 without a journal), deleting thousands of files
# right before a run makes that run's file creations scan past them, and the timing would
# measure the previous run's deletion.
declare -A BEST_US PEAK_KIB FAILED TIMES BEST_CPU
measure_run()
{
    local tool=$1 run=$2 pcap=$3 mode=$4 dir=$OUT/$1.$2
    mkdir -p "$dir"
    tool_command "$tool" "$pcap" "$dir" "$mode"
    sync
    LOG=$OUT/$tool.log
    run_measured "${CMD[@]}"
    if [[ $RUN_RC != 0 ]]; then
        FAILED[$tool]="exit status $RUN_RC: $(tail -n 1 "$LOG")"
    fi
    TIMES[$tool]="${TIMES[$tool]:-} $RUN_US"
    if [[ -z ${BEST_US[$tool]:-} || $RUN_US -lt ${BEST_US[$tool]} ]]; then
        BEST_US[$tool]=$RUN_US
        BEST_CPU[$tool]=$RUN_CPU
    fi
    if [[ -z ${PEAK_KIB[$tool]:-} || $RUN_KIB -gt ${PEAK_KIB[$tool]} ]]; then
        PEAK_KIB[$tool]=$RUN_KIB
    fi
}

# replay_all PCAP MODE TOOL...: RUNS rounds, each running every TOOL once in turn.
replay_all()
{
    local pcap=$1 mode=$2
    shift 2
    BEST_US=() PEAK_KIB=() FAILED=() TIMES=() BEST_CPU=()
    cat "$pcap" >/dev/null
    for ((r = 1; r <= RUNS; ++r)); do
        for t in "$@"; do
            measure_run "$t" "$r" "$pcap" "$mode"
        done
    done
}

median_us()
{
    tr ' ' '\n' <<<"$1" | grep . | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
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

# Sorted sha256 of every non-empty stream file in DIR (log.txt and report.xml excluded).
stream_hashes()
{
    find "$1" -type f -size +0 ! -name report.xml ! -name log.txt -print0 |
        xargs -0 -r sha256sum | cut -d' ' -f1 | sort
}

# compare_multisets LABEL DIR_A DIR_B: how many files' contents lack a twin on the other side.
# The engine's file names carry no addresses, so contents are matched as multisets.
compare_multisets()
{
    local label=$1 a=$OUT/hashes.a b=$OUT/hashes.b
    stream_hashes "$2" >"$a"
    stream_hashes "$3" >"$b"
    local onlyA onlyB
    onlyA=$(comm -23 "$a" "$b" | wc -l)
    onlyB=$(comm -13 "$a" "$b" | wc -l)
    printf '  byte identity %-20s %6d vs %6d non-empty files, unmatched %d and %d: %s\n' \
        "$label:" "$(wc -l <"$a")" "$(wc -l <"$b")" "$onlyA" "$onlyB" \
        "$([[ $onlyA == 0 && $onlyB == 0 ]] && echo identical || echo DIFFERENT)"
}

# compare_raw DIR_A DIR_B: the .pd files of both folders, name by name.
compare_raw()
{
    local a=$OUT/raw.a b=$OUT/raw.b
    (cd "$1" && find . -name 'p*.pd' -print0 | xargs -0 -r sha256sum | sort -k2) >"$a"
    (cd "$2" && find . -name 'p*.pd' -print0 | xargs -0 -r sha256sum | sort -k2) >"$b"
    local differing
    differing=$(diff "$a" "$b" | grep -c '^[<>]' || true)
    printf '  byte identity %-20s %6d vs %6d frame files, differing lines %d: %s\n' \
        "marlinox vs floor:" "$(wc -l <"$a")" "$(wc -l <"$b")" "$differing" \
        "$([[ $differing == 0 ]] && echo identical || echo DIFFERENT)"
}

ratio()
{
    awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else printf "n/a" }'
}

# print_row TOOL PACKETS BYTES: figures of the best run, its median, CPU time and peak memory.
print_row()
{
    local tool=$1 packets=$2 bytes=$3
    local median
    median=$(median_us "${TIMES[$tool]}")
    awk -v t="$tool" -v us="${BEST_US[$tool]}" -v med="$median" -v p="$packets" -v b="$bytes" \
        -v cpu="${BEST_CPU[$tool]}" -v k="${PEAK_KIB[$tool]}" -v lim="$MEMORY_LIMIT_KIB" \
        -v n="${FAILED[$tool]:-}" 'BEGIN {
            s = us / 1e6
            printf "  %-9s %7.3f s %7.3f s %9.0f pkt/s %7.1f MB/s %6s s %7d KiB%s%s\n", t, s,
                med / 1e6, p / s, b / 1e6 / s, cpu, k, (k >= lim ? " (over 20 MiB)" : ""),
                (n != "" ? "  FAILED: " n : "")
        }'
}

print_header()
{
    printf '  %-9s %9s %9s %15s %12s %8s %11s\n' tool best median "" "" cpu "peak mem"
}

# print_ratio LABEL VALUE TARGET
print_ratio()
{
    printf '  %-34s %6s   (target %s)\n' "$1" "$2" "$3"
}

replay_streams()
{
    local name=$1 pcap=$WORK/$1.pcap info=$WORK/$1.info
    local tools=(floor)
    [[ $HAVE_CLI == 1 ]] && tools+=(marlinox)
    [[ $HAVE_TCPFLOW == 1 ]] && tools+=(tcpflow)
    replay_all "$pcap" streams "${tools[@]}"

    echo
    echo "$name: $(cat "$info")"
    echo "  (MB/s: payload bytes of all connections, best of $RUNS runs; cpu: user+sys of that run)"
    print_header
    for t in "${tools[@]}"; do
        print_row "$t" "$(info_packets "$info")" "$(info_bytes "$info")"
    done
    local m=${BEST_US[marlinox]:-0} f=${BEST_US[floor]} c=${BEST_US[tcpflow]:-0}
    local faster=">= 1.10" floorTarget="<= 1.10"
    if [[ $name == big-flows* ]]; then
        faster=">= 1.00"
        floorTarget="none"
    fi
    if [[ $HAVE_CLI == 1 ]]; then
        [[ $HAVE_TCPFLOW == 1 ]] &&
            print_ratio "tcpflow time / marlinox time:" "$(ratio "$c" "$m")" "$faster"
        print_ratio "marlinox time / floor time:" "$(ratio "$m" "$f")" "$floorTarget"
    fi
    [[ $HAVE_TCPFLOW == 1 ]] &&
        print_ratio "tcpflow time / floor time:" "$(ratio "$c" "$f")" "none, for scale"
    local last=$RUNS
    if [[ $HAVE_CLI == 1 && $HAVE_TCPFLOW == 1 ]]; then
        compare_multisets "marlinox vs tcpflow" "$OUT/marlinox.$last" "$OUT/tcpflow.$last"
    fi
    if [[ $HAVE_CLI == 1 ]]; then
        compare_multisets "marlinox vs floor" "$OUT/marlinox.$last" "$OUT/floor.$last"
    fi
    if [[ $HAVE_TCPFLOW == 1 ]]; then
        compare_multisets "floor vs tcpflow" "$OUT/floor.$last" "$OUT/tcpflow.$last"
    fi
    [[ $HAVE_CLI == 1 ]] || echo "  marlinox: skipped, $CLI not found"
    [[ $HAVE_TCPFLOW == 1 ]] || echo "  tcpflow: not installed, its comparison is skipped"
    rm -rf "${OUT:?}"/*
}

replay_raw()
{
    local name=$1 pcap=$WORK/$1.pcap info=$WORK/$1.info
    local tools=(floor)
    [[ $HAVE_CLI == 1 ]] && tools+=(marlinox)
    [[ $HAVE_EDITCAP == 1 ]] && tools+=(editcap)
    replay_all "$pcap" raw "${tools[@]}"

    echo
    echo "$name (RAW mode): $(cat "$info")"
    echo "  (MB/s: frame bytes, best of $RUNS runs; cpu: user+sys of that run)"
    print_header
    for t in "${tools[@]}"; do
        print_row "$t" "$(info_packets "$info")" "$(info_bytes "$info")"
    done
    local m=${BEST_US[marlinox]:-0} f=${BEST_US[floor]} e=${BEST_US[editcap]:-0}
    if [[ $HAVE_CLI == 1 ]]; then
        print_ratio "marlinox time / floor time:" "$(ratio "$m" "$f")" "<= 1.15"
        [[ $HAVE_EDITCAP == 1 ]] &&
            print_ratio "editcap time / marlinox time:" "$(ratio "$e" "$m")" "> 1.00"
        compare_raw "$OUT/marlinox.$RUNS" "$OUT/floor.$RUNS"
    else
        echo "  marlinox: skipped, $CLI not found"
    fi
    [[ $HAVE_EDITCAP == 1 ]] ||
        echo "  editcap: not installed (wireshark-common), its comparison is skipped"
    rm -rf "${OUT:?}"/*
}

# --- main ------------------------------------------------------------------------------------

echo "Marlinox replay benchmark, $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores"
echo "marlinox-cli: $([[ $HAVE_CLI == 1 ]] && echo "$CLI" || echo "missing ($CLI)")"
# version TOOL OPTION: the first line of TOOL's version text that names it.
version()
{
    if command -v "$1" >/dev/null; then
        "$1" "$2" 2>&1 | grep -m 1 -i "$1" || true
    else
        echo missing
    fi
}
echo "tcpflow: $(version tcpflow -V)"
echo "editcap: $(version editcap -h)"
if [[ -n $GNU_TIME ]]; then
    echo "peak memory: GNU time (maximum resident set size)"
else
    echo "peak memory: VmHWM from /proc, polled every 20 ms (GNU time not installed)"
fi
echo "scratch: $WORK; outputs: $OUT on $(df --output=fstype "$OUT" | tail -n 1)"

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
