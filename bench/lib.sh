# Shared parts of the benchmark scripts: installing peers, building the tools, the workloads,
# timing a run, checking outputs against the generator's truth, and printing medians and ratios.
# Sourced by run-bench.sh, live-bench.sh, profile.sh and experiments/*.sh; not run on its own.
#
# Timing: wall clock of each run from bash's $EPOCHREALTIME. Peak memory and CPU time: GNU time
# (-f '%M %U %S': maximum resident set size in KiB, user and system seconds). Every run writes
# into a new, empty folder after a sync, with the capture file in the page cache.
#
# Deleted files: ext4 without a journal keeps an inode from reuse for 60 s after its deletion
# (360 s while its inode table block is dirty) and scans past such inodes for every file it
# creates near them, so a run that follows the deletion of thousands of files measures that
# deletion (several times slower, whichever the program). Hence: outputs are kept until the
# script ends; the folder holding them is marked as a top of directory hierarchies (chattr +T),
# so that ext4 spreads the run folders over block groups instead of packing them next to
# recently emptied ones; and a script starts only SETTLE_S seconds after the last deletion of
# outputs by any of these scripts, recorded in the time stamp of $SETTLE_STAMP.

BENCH_REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
MEMORY_LIMIT_KIB=20480 # 20 MiB
MEMORY_LIMITED=.       # the labels the limit applies to (a regular expression)
SETTLE_S=${SETTLE_S:-360}
SETTLE_STAMP=${TMPDIR:-/tmp}/marlinox-bench.deleted

bench_require()
{
    if ! /usr/bin/time -f %M true >/dev/null 2>&1; then
        echo "GNU time is missing (package time)" >&2
        exit 1
    fi
}

# bench_install PACKAGE...: installs the Debian packages that are missing (the peers and tools
# only the benchmarks use; ./setup.sh installs none of them). Needs root or sudo.
bench_install()
{
    local missing=() p sudo=
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [[ ${#missing[@]} -gt 0 ]] || return 0
    [[ $(id -u) == 0 ]] || sudo=sudo
    echo "installing ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
}

# bench_build DIR TARGET...: configures DIR for the benchmark (a new DIR with GUI and tests off;
# an existing one gets MARLINOX_BENCH=ON if it lacks it) and builds TARGETs there, niced; the log
# is DIR/bench-build.log.
bench_build()
{
    local dir=$1
    shift
    if [[ ! -f $dir/CMakeCache.txt ]]; then
        local generator=()
        command -v ninja >/dev/null && generator=(-G Ninja)
        cmake -S "$BENCH_REPO" -B "$dir" "${generator[@]}" -DMARLINOX_BENCH=ON \
            -DBUILD_TESTING=OFF -DMARLINOX_GUI=OFF >/dev/null
    elif ! grep -q '^MARLINOX_BENCH:BOOL=ON' "$dir/CMakeCache.txt"; then
        cmake -S "$BENCH_REPO" -B "$dir" -DMARLINOX_BENCH=ON >/dev/null
    fi
    if ! nice cmake --build "$dir" -j2 --target "$@" >"$dir/bench-build.log" 2>&1; then
        cat "$dir/bench-build.log" >&2
        return 1
    fi
}

# The replay scripts' defaults, which their options below change.
BUILD=$BENCH_REPO/build-bench
WORK=/tmp/marlinox-bench
OUT=
RUNS=5
SEED=1
MANY_MB=500
BIG_MB=400
FRAMES=100000
KEEP=0

# workload_option ARG...: takes one of the options that the replay scripts share (--build,
# --work, --keep, --out, --runs, --seed, --many-mb, --big-mb, --frames) from the front of ARGs
# and sets TAKEN to the number of arguments it used, 0 when ARG is none of them.
workload_option()
{
    TAKEN=2
    case $1 in
    --build) BUILD=$(realpath -m "$2") ;;
    --work) WORK=$(realpath -m "$2") ;;
    --out) OUT=$(realpath -m "$2") ;;
    --runs) RUNS=$2 ;;
    --seed) SEED=$2 ;;
    --many-mb) MANY_MB=$2 ;;
    --big-mb) BIG_MB=$2 ;;
    --frames) FRAMES=$2 ;;
    --keep) KEEP=1 TAKEN=1 ;;
    *) TAKEN=0 ;;
    esac
}

# workload_outputs NAME: makes OUT/NAME.XXXXXX (OUT defaults to WORK) for this script's run
# folders, with OUT set to it, and removes it when the script ends, with the workloads unless
# --keep was given.
workload_outputs()
{
    mkdir -p "$WORK"
    OUT=$(make_out "${OUT:-$WORK}" "$1")
    trap 'remove_outputs "$OUT"; [[ $KEEP == 1 ]] || rm -rf "$WORK"' EXIT
}

load_average() { cut -d' ' -f1-3 /proc/loadavg; }

# after_rounds TMPFS CHECK LABEL...: prints the load average; on the disk, where the outputs
# were kept until the rounds ended, then checks every round of every LABEL (CHECK LABEL ROUND).
after_rounds()
{
    local tmpfs=$1 check=$2 label r
    shift 2
    echo "  load average after:  $(load_average)"
    if ((tmpfs)); then
        return 0
    fi
    for label in "$@"; do
        for ((r = 1; r <= RUNS; ++r)); do
            "$check" "$label" "$r"
        done
    done
}

# make_out BASE NAME: creates a new folder BASE/NAME.XXXXXX for the run folders of this script
# (see above for +T) and prints its path; a folder of its own, so that cleaning up never
# touches anything else there, nor another run's outputs.
make_out()
{
    mkdir -p "$1"
    local dir
    dir=$(mktemp -d "$1/$2.XXXXXX")
    chattr +T "$dir" 2>/dev/null || true
    echo "$dir"
}

# settle_fs DIR: when DIR is on a disk, waits until SETTLE_S seconds have passed since the last
# deletion of outputs.
settle_fs()
{
    [[ -e $SETTLE_STAMP ]] || return 0
    on_tmpfs "$1" && return 0
    local wait=$(($(stat -c %Y "$SETTLE_STAMP") + SETTLE_S - $(date +%s)))
    if ((wait > 0)); then
        echo "waiting $wait s for the file system to settle after the last deletion of outputs"
        sleep "$wait"
    fi
}

on_tmpfs() { [[ $(df --output=fstype "$1" | tail -n 1) == tmpfs ]]; }

# remove_outputs DIR: deletes DIR, writes the deletion out and, on a disk, stamps its time.
remove_outputs()
{
    [[ -e $1 ]] || return 0
    local disk=1
    on_tmpfs "$1" && disk=0
    rm -rf "$1"
    sync
    if ((disk)); then
        touch "$SETTLE_STAMP"
    fi
}

# --- workloads -------------------------------------------------------------------------------

# ensure_workload GENERATOR WORK NAME: writes WORK/NAME.pcap, .info (the generator's summary)
# and, for the flow workloads, .truth unless they exist from an earlier run. NAME is
# many-flows, big-flows or small-frames, with -v6 for the IPv6 copy; the sizes come from
# MANY_MB, BIG_MB, FRAMES and SEED. Sets WL_PCAP, WL_INFO and WL_TRUTH (empty for small-frames).
ensure_workload()
{
    local generator=$1 work=$2 name=$3
    local kind=${name%-v6} args=()
    [[ $name == *-v6 ]] && args+=(--ipv6)
    case $kind in
    many-flows) args+=(--mb "$MANY_MB") ;;
    big-flows) args+=(--mb "$BIG_MB") ;;
    small-frames) args+=(--frames "$FRAMES") ;;
    *) echo "unknown workload $name" >&2; exit 2 ;;
    esac
    local size=${args[*]: -1}
    local base=$work/$name-s$SEED-$size
    WL_PCAP=$base.pcap
    WL_INFO=$base.info
    WL_TRUTH=
    [[ $kind == small-frames ]] || { WL_TRUTH=$base.truth; args+=(--truth "$WL_TRUTH"); }
    if [[ -s $WL_PCAP && -s $WL_INFO ]]; then
        return
    fi
    echo "generating $WL_PCAP"
    mkdir -p "$work"
    rm -f "$WL_INFO"
    "$generator" "$kind" "${args[@]}" --seed "$SEED" -o "$WL_PCAP" >"$base.tmp"
    mv "$base.tmp" "$WL_INFO"
}

# Fields of the generator's summary: "NAME: P packets, B payload bytes, ...".
info_packets() { awk '{print $2}' "$1"; }
info_bytes() { awk '{print $4}' "$1"; }

# --- measuring -------------------------------------------------------------------------------

declare -A T_US RSS_KIB CPU_S CHECK FAILED

now_us() { echo "${EPOCHREALTIME/[.,]/}"; }

# measure LABEL ROUND LOG COMMAND...: one run; records its time in µs, peak RSS in KiB and CPU
# seconds under [LABEL,ROUND]. A non-zero exit status is noted in FAILED[LABEL].
measure()
{
    local label=$1 round=$2 log=$3
    shift 3
    local start end rc=0 kib user sys
    sync
    start=$(now_us)
    /usr/bin/time -f '%M %U %S' -o "$log.time" "$@" >"$log" 2>&1 || rc=$?
    end=$(now_us)
    read -r kib user sys < <(tail -n 1 "$log.time")
    T_US[$label,$round]=$((end - start))
    RSS_KIB[$label,$round]=$kib
    CPU_S[$label,$round]=$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.2f", u + s }')
    if [[ $rc != 0 ]]; then
        FAILED[$label]="exit status $rc: $(grep -v 'exit status' "$log" | tail -n 1)"
    fi
}

# round_order ROUND LABEL...: the labels forwards in odd rounds, backwards in even ones, so that
# no tool always runs right after the same other.
round_order()
{
    local round=$1
    shift
    local labels=("$@") i
    if ((round % 2)); then
        echo "${labels[@]}"
    else
        for ((i = ${#labels[@]} - 1; i >= 0; --i)); do
            echo -n "${labels[i]} "
        done
        echo
    fi
}

# stats VALUES...: "median min max" of numbers.
stats()
{
    printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END {
        m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
        print m, v[1], v[NR] }'
}

# values ARRAY LABEL RUNS: the recorded values of LABEL over rounds 1..RUNS.
values()
{
    local -n array=$1
    local r
    for ((r = 1; r <= $3; ++r)); do
        echo "${array[$2,$r]}"
    done
}

print_tool_header()
{
    printf '  %-22s %9s %15s %8s %10s  %s\n' tool "median s" "min–max s" "cpu s" "peak RSS" \
        "output"
}

# print_tool LABEL RUNS PACKETS: median, spread, median CPU, the largest peak RSS, the check.
print_tool()
{
    local label=$1 runs=$2 packets=$3
    local med min max cpu rss
    read -r med min max < <(stats $(values T_US "$label" "$runs"))
    read -r cpu _ _ < <(stats $(values CPU_S "$label" "$runs"))
    read -r _ _ rss < <(stats $(values RSS_KIB "$label" "$runs"))
    local limit=$MEMORY_LIMIT_KIB
    [[ $label =~ $MEMORY_LIMITED ]] || limit=0
    awk -v t="$label" -v med="$med" -v min="$min" -v max="$max" -v cpu="$cpu" -v k="$rss" \
        -v lim="$limit" -v c="${CHECK[$label]:-}" -v f="${FAILED[$label]:-}" \
        -v p="$packets" 'BEGIN {
            printf "  %-22s %9.3f %7.3f–%-7.3f %8.2f %6.1f MiB%s  %s%s  (%.0f pkt/s)\n", t,
                med / 1e6, min / 1e6, max / 1e6, cpu, k / 1024, (lim > 0 && k >= lim ? " (OVER 20 MiB)" : ""),
                c, (f != "" ? "  FAILED: " f : ""), p / (med / 1e6)
        }'
}

# print_ratio A B RUNS [TARGET]: the median over rounds of A's time / B's time in the same round,
# with its range, and the same for their CPU times (user + system).
print_ratio()
{
    local a=$1 b=$2 runs=$3 target=${4:-} r ratios=() cpu=() med min max cmed
    for ((r = 1; r <= runs; ++r)); do
        ratios+=("$(awk -v a="${T_US[$a,$r]}" -v b="${T_US[$b,$r]}" 'BEGIN { printf "%.4f", a / b }')")
        if awk -v b="${CPU_S[$b,$r]}" 'BEGIN { exit !(b > 0) }'; then
            cpu+=("$(awk -v a="${CPU_S[$a,$r]}" -v b="${CPU_S[$b,$r]}" 'BEGIN { printf "%.4f", a / b }')")
        fi
    done
    read -r med min max < <(stats "${ratios[@]}")
    cmed=–
    [[ ${#cpu[@]} == 0 ]] || read -r cmed _ _ < <(stats "${cpu[@]}")
    printf '  %-40s %5.2f  (rounds %.2f–%.2f; cpu %s)%s\n' "$a / $b:" "$med" "$min" \
        "$max" "$(printf '%.4s' "$cmed")" "${target:+   target $target}"
}

# --- checking outputs ------------------------------------------------------------------------

# check_named DIR TRUTH: every stream file the truth names holds exactly its bytes, and DIR has
# no other stream file. Prints "N equal" or what differs.
check_named()
{
    local dir=$1 truth=$2 want have bad
    want=$(wc -l <"$truth")
    have=$(find "$dir" -maxdepth 1 -name 'p*-[12].txt' | wc -l)
    bad=$(cd "$dir" && sha256sum --strict -c "$truth" 2>/dev/null | grep -vc ': OK$' || true)
    if [[ $bad == 0 && $have == "$want" ]]; then
        echo "$want equal"
    else
        echo "DIFFERENT: $bad of $want differ, $have stream files"
    fi
}

# check_multiset DIR TRUTH: the contents of DIR's non-empty files (report.xml left out) equal
# the truth's as a multiset, for tools whose file names differ from the engine's.
check_multiset()
{
    local dir=$1 truth=$2 unmatched
    unmatched=$(comm -3 <(cut -d' ' -f1 "$truth" | sort) \
        <(find "$dir" -type f -size +0 ! -name report.xml -print0 | xargs -0 -r sha256sum |
            cut -d' ' -f1 | sort) | wc -l)
    if [[ $unmatched == 0 ]]; then
        echo "$(wc -l <"$truth") equal (as a multiset)"
    else
        echo "DIFFERENT: $unmatched contents without a twin"
    fi
}

# check_raw CLI DIR PCAP FRAMES: DIR holds FRAMES frame files, and CLI --to-pcap turns them
# back into PCAP, byte for byte (the workload's frames, time stamps and file header) but for the
# header's snap length (bytes 16-19), which --to-pcap takes from the longest frame.
check_raw()
{
    local cli=$1 dir=$2 pcap=$3 frames=$4 have
    have=$(find "$dir" -maxdepth 1 -name 'p*.pd' | wc -l)
    if [[ $have == "$frames" ]] && "$cli" --to-pcap "$dir" "$dir.pcap" >/dev/null 2>&1 &&
        cmp -s -n 16 "$dir.pcap" "$pcap" && cmp -s -i 20 "$dir.pcap" "$pcap"; then
        rm -f "$dir.pcap"
        echo "$frames equal"
    else
        rm -f "$dir.pcap"
        echo "DIFFERENT: $have frame files, or contents differ"
    fi
}

# note_check LABEL RESULT: keeps the worst check result of LABEL over its runs.
note_check()
{
    if [[ -z ${CHECK[$1]:-} || $2 == DIFFERENT* ]]; then
        CHECK[$1]=$2
    fi
}

# bench_commit: the measured tree's short commit hash, with "+changes" when it differs from it.
bench_commit()
{
    local hash
    hash=$(git -C "$BENCH_REPO" rev-parse --short HEAD 2>/dev/null) || { echo unknown; return; }
    git -C "$BENCH_REPO" diff --quiet HEAD -- . ':!bench' 2>/dev/null || hash+="+changes"
    echo "$hash"
}
