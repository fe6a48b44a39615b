#!/usr/bin/env bash
# Peak memory of a Packet Combine replay stays flat as the capture grows: marlinox-cli -r on
# the many-flows workload, and on four copies of it one after another (mergecap -a), should
# differ in peak resident set size by less than 10 %. Prints the figures; never fails on them.
#
# Peak RSS is GNU time's maximum resident set size (-f %M, KiB). The workload comes from
# marlinox-workload; the copies keep their 4-tuples and numbers, so each copy's connections
# start after the previous copy's have closed, as in a long capture.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"

BUILD=$BENCH_REPO/build-bench
CLI=
WORKLOAD=
WORK=/tmp/marlinox-memory
MB=500
KEEP=0

usage()
{
    cat <<EOF
usage: bench/experiments/memory-flat.sh [--build DIR] [--cli PATH] [--workload PATH] [--work DIR] [--mb N] [--keep]
  --build DIR      build directory, configured with -DMARLINOX_BENCH=ON and built if needed
                   (default $BUILD)
  --cli PATH       marlinox-cli to measure (default: the one in --build)
  --workload PATH  the workload generator (default: the one in --build)
  --work DIR       scratch folder (default $WORK); removed at the end unless --keep
  --mb N           payload of one many-flows copy in MB (default $MB)
EOF
}

while [[ $# -gt 0 ]]; do
    case $1 in
    --build) BUILD=$(realpath -m "$2"); shift 2 ;;
    --cli) CLI=$(realpath -m "$2"); shift 2 ;;
    --workload) WORKLOAD=$(realpath -m "$2"); shift 2 ;;
    --work) WORK=$(realpath -m "$2"); shift 2 ;;
    --mb) MB=$2; shift 2 ;;
    --keep) KEEP=1; shift ;;
    -h | --help) usage; exit 0 ;;
    *) usage >&2; exit 2 ;;
    esac
done

if [[ -z $CLI || -z $WORKLOAD ]]; then
    bench_build "$BUILD" marlinox-cli marlinox-workload
fi
CLI=${CLI:-$BUILD/cli/marlinox-cli}
WORKLOAD=${WORKLOAD:-$BUILD/bench/marlinox-workload}
for tool in "$CLI" "$WORKLOAD"; do
    [[ -x $tool ]] || { echo "missing: $tool (build first)" >&2; exit 1; }
done
command -v mergecap >/dev/null || { echo "mergecap missing (package wireshark-common)" >&2; exit 1; }
/usr/bin/time -f %M true >/dev/null 2>&1 || { echo "GNU time missing (package time)" >&2; exit 1; }

mkdir -p "$WORK"
[[ $KEEP -eq 1 ]] || trap 'rm -rf "$WORK"' EXIT
one=$WORK/many-flows-$MB.pcap
four=$WORK/many-flows-$MB-x4.pcap
[[ -f $one ]] || "$WORKLOAD" many-flows -o "$one" --mb "$MB"
[[ -f $four ]] || mergecap -a -F pcap -w "$four" "$one" "$one" "$one" "$one"

# Peak RSS in KiB of one replay into a fresh folder.
peak()
{
    local out=$WORK/out
    rm -rf "$out"
    /usr/bin/time -f %M -o "$WORK/rss" "$CLI" -r "$1" -o "$out" -q 2>/dev/null
    rm -rf "$out"
    cat "$WORK/rss"
}

rss1=$(peak "$one")
rss4=$(peak "$four")
printf 'many-flows, %s MB payload (%s file): peak RSS %6d KiB\n' "$MB" "$(du -h "$one" | cut -f1)" "$rss1"
printf 'four copies concatenated (%s file): peak RSS %6d KiB\n' "$(du -h "$four" | cut -f1)" "$rss4"
awk -v a="$rss1" -v b="$rss4" 'BEGIN { printf "difference: %+.1f %% (flat: under 10 %%)\n", (b - a) * 100 / a }'
