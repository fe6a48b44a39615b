#!/usr/bin/env bash
# Where a replay's time goes: marlinox-cli -r on one workload, four times into fresh folders:
#   timed        once with nothing attached, for the wall clock and CPU time
#   strace -c -f the count and system time of every system call
#   perf record  cpu-clock samples with call chains (the software clock: it works in virtual
#                machines without hardware counters), reported flat by program part and
#                symbol, and inclusively for the system calls' kernel paths
#   parse floor  and cat, for the share that no output can avoid
# and a budget from them: the time per file created, per write call and per MB moved.
# Installs linux-perf and strace when missing. Prints figures; never fails on them.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

WORKLOAD=many-flows
RAW=()
CLI=

usage()
{
    cat <<USAGE
usage: bench/profile.sh [options]
  --workload NAME  (default $WORKLOAD)
  --raw            RAW mode
  --out DIR        where the replays write (default: WORK, on disk); e.g. /dev/shm
  --cli PATH       marlinox-cli to profile (default: the one built in --build)
  --build DIR, --work DIR, --keep, --seed N, --many-mb N, --big-mb N, --frames N
USAGE
}

while [[ $# -gt 0 ]]; do
    workload_option "$@"
    (( TAKEN )) && { shift "$TAKEN"; continue; }
    case $1 in
    --workload) WORKLOAD=$2; shift 2 ;;
    --raw) RAW=(--raw); shift ;;
    --cli) CLI=$(realpath -m "$2"); shift 2 ;;
    -h | --help) usage; exit 0 ;;
    *) usage >&2; exit 2 ;;
    esac
done

bench_require
bench_install linux-perf strace
bench_build "$BUILD" marlinox-cli marlinox-workload marlinox-parse-floor
CLI=${CLI:-$BUILD/cli/marlinox-cli}
[[ -x $CLI ]] || { echo "missing: $CLI" >&2; exit 1; }
ensure_workload "$BUILD/bench/marlinox-workload" "$WORK" "$WORKLOAD"
workload_outputs marlinox-profile-out
settle_fs "$OUT"
cat "$WL_PCAP" >/dev/null

echo "Marlinox replay profile, $(date -u '+%Y-%m-%d %H:%M UTC'), commit $(bench_commit)," \
    "outputs on $(df --output=fstype "$OUT" | tail -n 1)"
cat "$WL_INFO"
MB=$(awk -v b="$(stat -c %s "$WL_PCAP")" 'BEGIN { printf "%.1f", b / 1e6 }')

measure marlinox 1 "$OUT/timed.log" "$CLI" -r "$WL_PCAP" -o "$OUT/timed" -q "${RAW[@]}"
measure parse 1 "$OUT/parse.log" "$BUILD/bench/marlinox-parse-floor" -r "$WL_PCAP" "${RAW[@]}"
measure cat 1 "$OUT/cat.log" sh -c 'exec cat "$1" >"$2"' cat "$WL_PCAP" "$OUT/copy.pcap"
strace -c -f -o "$OUT/strace.txt" "$CLI" -r "$WL_PCAP" -o "$OUT/strace" -q "${RAW[@]}" 2>/dev/null
perf record -q -e cpu-clock -F 1999 -g -o "$OUT/perf.data" \
    "$CLI" -r "$WL_PCAP" -o "$OUT/perf" -q "${RAW[@]}" 2>/dev/null

# seconds LABEL: the timed run's wall clock in seconds.
seconds() { awk -v us="${T_US[$1,1]}" 'BEGIN { printf "%.3f", us / 1e6 }'; }
T=$(seconds marlinox)
echo
echo "wall clock (cpu): marlinox $T s (${CPU_S[marlinox,1]} s), parse floor $(seconds parse) s" \
    "(${CPU_S[parse,1]} s), cat of $MB MB $(seconds cat) s (${CPU_S[cat,1]} s)"

echo
echo "system calls (strace -c -f; its own cost inflates the times):"
head -n 1 "$OUT/strace.txt" | sed 's/^/  /'
awk 'NR > 2 && $NF !~ /^-+$/ && $NF != "total" { print }' "$OUT/strace.txt" | sort -k4 -nr |
    head -n 12 | sed 's/^/  /'

PERF_REPORT=(perf report -i "$OUT/perf.data" --stdio --quiet)
echo
echo "samples by program part (perf, cpu-clock):"
"${PERF_REPORT[@]}" --no-children --sort dso -g none --percent-limit 0.5 2>/dev/null | sed 's/^ */  /'
echo
echo "hottest symbols, self time:"
"${PERF_REPORT[@]}" --no-children --sort dso,sym -g none --percent-limit 1 2>/dev/null |
    sed 's/^ */  /' | head -n 30
echo
echo "kernel paths, inclusive (system calls and the file system work under them):"
"${PERF_REPORT[@]}" --children --sort sym -g none 2>/dev/null |
    grep -E '__x64_sys_|do_pwritev|ksys_read|path_openat|ext4_(create|file_write_iter|release_file)|__fput|filemap_read|recently_deleted|shmem_' |
    awk '!seen[$NF]++ { print "  " $1 "  " $NF }' | head -n 24

# count SYSCALL: calls of SYSCALL in the strace table.
count() { awk -v s="$1" '$NF == s { print $4 }' "$OUT/strace.txt"; }
"${PERF_REPORT[@]}" --children --sort sym -g none >"$OUT/perf-children.txt" 2>/dev/null || true
# share SYMBOL...: the largest inclusive share among SYMBOLs (the C library's wrapper, the
# kernel's entry), as a fraction of the samples.
share()
{
    local list=" $* "
    awk -v l="$list" 'index(l, " " $NF " ") { sub("%", "", $1); if ($1 > m) m = $1 }
        END { print m / 100 }' "$OUT/perf-children.txt"
}
echo
echo "budget (the timed run's wall clock split by the perf shares, over the strace counts):"
for call in openat pwritev pwrite64 write read close; do
    n=$(count "$call")
    [[ -n $n && $n -gt 0 ]] || continue
    case $call in
    openat) s=$(share __libc_openat64 __x64_sys_openat) ;;
    pwritev) s=$(share pwritev64 pwritev do_pwritev) ;;
    pwrite64) s=$(share __libc_pwrite64 __pwrite64 __x64_sys_pwrite64) ;;
    write) s=$(share __libc_write __x64_sys_write ksys_write) ;;
    read) s=$(share __libc_read __x64_sys_read ksys_read) ;;
    close) s=$(share __libc_close __close __x64_sys_close) ;;
    esac
    awk -v c="$call" -v n="$n" -v s="$s" -v t="$T" 'BEGIN {
        printf "  %-8s %8d calls  %5.1f %% of the samples  %7.2f µs per call\n", c, n, s * 100,
            s * t * 1e6 / n }'
done
awk -v t="$T" -v p="$(seconds parse)" -v c="$(seconds cat)" -v mb="$MB" -v n="$(count openat)" 'BEGIN {
    printf "  parse floor %.1f %% of Marlinox'"'"'s time; cat %.2f ms per MB (%.0f MB/s)\n", p * 100 / t,
        c * 1000 / mb, mb / c
    printf "  Marlinox less the parse floor: %.3f s, %.1f µs per file opened\n", t - p,
        (t - p) * 1e6 / (n > 0 ? n : 1) }'
