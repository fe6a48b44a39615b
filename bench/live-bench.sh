#!/usr/bin/env bash
# Live capture at fixed rates: tcpreplay --preload-pcap sends a workload over a veth pair whose
# two ends live in two network namespaces that this script creates and removes (nothing is
# added to the host's namespace, no address is configured: the frames go nowhere else). On the
# receiving end, one at a time and in interleaved rounds, capture:
#   combine   marlinox-cli in Packet Combine mode
#   raw       marlinox-cli in RAW mode (a file per frame: a lower ceiling, reported as it is)
#   tcpdump   tcpdump -w, with the same kernel buffer (-B)
# Per run: the capture starts in the receiving namespace, tcpreplay sends once it is ready,
# SIGINT stops it SETTLE seconds after tcpreplay is done. Reported per rate and contender
# (medians over rounds): packets sent, read, dropped by the kernel, and neither (still in the
# ring at the stop); Packet Combine mode's stream files are checked against the workload's
# truth in every run where all that was sent was read. It never fails on a figure.
# Needs root; installs tcpreplay and tcpdump when missing.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

OUT=/dev/shm
RUNS=3
RATES="1000 2000 4000 top"
CONTENDERS="combine raw tcpdump"
WORKLOAD=many-flows
SETTLE=2
BUFFER_KIB=32768 # marlinox-cli's fixed kernel buffer (32 MiB) until it takes -B
CLI=
OFFLOADS=on

usage()
{
    cat <<USAGE
usage: sudo bench/live-bench.sh [options]
  --workload NAME  what tcpreplay sends (default $WORKLOAD; many-flows-v6, big-flows, ...)
  --rates LIST     Mbit/s for tcpreplay --mbps, "top" for --topspeed (default "$RATES")
  --only LIST      contenders (default "$CONTENDERS")
  --runs N         rounds per rate (default $RUNS)
  --out DIR        where the captures write (default $OUT, a tmpfs; a disk folder, e.g. /tmp)
  --settle S       seconds from tcpreplay's end to the stop (default $SETTLE)
  --buffer KIB     kernel buffer of both captures, in KiB (default $BUFFER_KIB; marlinox-cli
                   gets -B only when its --help lists it)
  --offloads off   segmentation offloads off on the receiving end (ethtool; installed when
                   missing). They are on by default, as on most links; with them on, libpcap
                   sizes each slot of an immediate-mode ring (TPACKET_V2) for a 64 KiB frame
  --cli PATH       marlinox-cli to measure (default: the one built in --build)
  --build DIR, --work DIR, --keep, --seed N, --many-mb N, --big-mb N   as for run-bench.sh
USAGE
}

while [[ $# -gt 0 ]]; do
    workload_option "$@"
    (( TAKEN )) && { shift "$TAKEN"; continue; }
    case $1 in
    --workload) WORKLOAD=$2; shift 2 ;;
    --rates) RATES=$2; shift 2 ;;
    --only) CONTENDERS=$2; shift 2 ;;
    --settle) SETTLE=$2; shift 2 ;;
    --buffer) BUFFER_KIB=$2; shift 2 ;;
    --offloads) OFFLOADS=$2; shift 2 ;;
    --cli) CLI=$(realpath -m "$2"); shift 2 ;;
    -h | --help) usage; exit 0 ;;
    *) usage >&2; exit 2 ;;
    esac
done
[[ $(id -u) == 0 ]] || { echo "live-bench.sh needs root (network namespaces, capture)" >&2; exit 1; }

bench_install tcpreplay tcpdump
[[ $OFFLOADS == on ]] || bench_install ethtool
bench_build "$BUILD" marlinox-cli marlinox-workload marlinox-parse-floor
CLI=${CLI:-$BUILD/cli/marlinox-cli}
[[ -x $CLI ]] || { echo "missing: $CLI" >&2; exit 1; }
mkdir -p "$WORK"
ensure_workload "$BUILD/bench/marlinox-workload" "$WORK" "$WORKLOAD"
SENT_WANTED=$(info_packets "$WL_INFO")
# The link carries the workload's largest frame (IPv6 frames exceed Ethernet's 1500).
LARGEST=$("$BUILD/bench/marlinox-parse-floor" -r "$WL_PCAP" --raw | sed -n 's/.*largest frame \([0-9]*\).*/\1/p')
MTU=$((LARGEST - 14 > 1500 ? LARGEST - 14 : 1500))
CLI_BUFFER=()
"$CLI" --help | grep -q -- '^ *-B ' && CLI_BUFFER=(-B "$BUFFER_KIB")

# --- the namespaces ----------------------------------------------------------------------------

NS_SEND=marlinox-send-$$
NS_RECV=marlinox-recv-$$
IF_SEND=mlx-send
IF_RECV=mlx-recv
CAPTURE_PID=
OUT=$(make_out "$OUT" marlinox-live-out)

cleanup()
{
    if [[ -n $CAPTURE_PID ]]; then
        kill -INT "$CAPTURE_PID" 2>/dev/null || true
        wait "$CAPTURE_PID" 2>/dev/null || true
    fi
    ip netns del "$NS_SEND" 2>/dev/null || true
    ip netns del "$NS_RECV" 2>/dev/null || true
    remove_outputs "$OUT"
    [[ $KEEP == 1 ]] || rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

# Both namespaces without IPv6 (no router or neighbour solicitations on the link), then the
# pair made inside them: only the workload's frames cross it.
for ns in "$NS_SEND" "$NS_RECV"; do
    ip netns add "$ns"
    ip netns exec "$ns" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 \
        net.ipv6.conf.default.disable_ipv6=1
done
ip -n "$NS_SEND" link add "$IF_SEND" mtu "$MTU" type veth peer name "$IF_RECV" mtu "$MTU" \
    netns "$NS_RECV"
ip -n "$NS_SEND" link set "$IF_SEND" up
ip -n "$NS_RECV" link set "$IF_RECV" up
if [[ $OFFLOADS != on ]]; then
    ip netns exec "$NS_RECV" ethtool -K "$IF_RECV" tso off gso off gro off >/dev/null 2>&1 || true
fi

# --- one run -----------------------------------------------------------------------------------

# start_capture CONTENDER DIR: starts the capture in the receiving namespace, its standard
# error in DIR/summary; sets CAPTURE_PID. False when it did not get ready within 10 s.
start_capture()
{
    local dir=$2 ready i
    case $1 in
    combine | raw)
        local mode=()
        [[ $1 == raw ]] && mode=(--raw)
        ip netns exec "$NS_RECV" "$CLI" -i "$IF_RECV" -o "$dir/capture" -q -Z root \
            "${CLI_BUFFER[@]}" "${mode[@]}" >/dev/null 2>"$dir/summary" &
        ready=(grep -qs ' mode' "$dir/capture/log.txt")
        ;;
    tcpdump)
        ip netns exec "$NS_RECV" tcpdump -i "$IF_RECV" -B "$BUFFER_KIB" -n -Z root \
            -w "$dir/capture.pcap" >/dev/null 2>"$dir/summary" &
        ready=(grep -qs 'listening on' "$dir/summary")
        ;;
    esac
    CAPTURE_PID=$!
    for ((i = 0; i < 1000; ++i)); do
        "${ready[@]}" && return 0
        kill -0 "$CAPTURE_PID" 2>/dev/null || break
        sleep 0.01
    done
    return 1
}

# stop_capture: SIGINT, as a user stops it, and waits for its exit.
stop_capture()
{
    kill -INT "$CAPTURE_PID" 2>/dev/null || true
    wait "$CAPTURE_PID" 2>/dev/null || true
    CAPTURE_PID=
}

declare -A SENT READ DROPPED MBPS CHECKED
# live_run CONTENDER RATE ROUND: one capture while tcpreplay sends the workload once.
live_run()
{
    local who=$1 rate=$2 round=$3 dir=$OUT/$1-$2-$3 pace=(--mbps="$2") key=$1,$2,$3
    [[ $rate == top ]] && pace=(--topspeed)
    mkdir -p "$dir"
    if ! start_capture "$who" "$dir"; then
        echo "  $who did not start capturing: $(tail -n 2 "$dir/summary")" >&2
        stop_capture
        return
    fi
    ip netns exec "$NS_SEND" tcpreplay -i "$IF_SEND" --preload-pcap "${pace[@]}" "$WL_PCAP" \
        >"$dir/tcpreplay" 2>&1 || true
    sleep "$SETTLE"
    stop_capture
    SENT[$key]=$(sed -n 's/.*Successful packets: *\([0-9]*\).*/\1/p' "$dir/tcpreplay")
    MBPS[$key]=$(sed -n 's/.*Rated:.* \([0-9.]*\) Mbps.*/\1/p' "$dir/tcpreplay")
    if [[ $who == tcpdump ]]; then
        READ[$key]=$(sed -n 's/^\([0-9]*\) packets\{0,1\} captured.*/\1/p' "$dir/summary")
        DROPPED[$key]=$(sed -n 's/^\([0-9]*\) packets\{0,1\} dropped by kernel.*/\1/p' "$dir/summary")
    else
        READ[$key]=$(sed -n 's/.*packets read: \([0-9]*\).*/\1/p' "$dir/summary")
        DROPPED[$key]=$(sed -n 's/.*dropped by the kernel: \([0-9]*\).*/\1/p' "$dir/summary")
    fi
    if [[ $who == combine ]]; then
        if [[ ${DROPPED[$key]:-x} == 0 && ${READ[$key]:-x} == "${SENT[$key]:-y}" ]]; then
            CHECKED[$key]=$(check_named "$dir/capture" "$WL_TRUTH")
        else
            CHECKED[$key]="not checked (packets lost)"
        fi
    fi
    # Outputs on a disk stay until the end, as in the replay benchmark (see lib.sh).
    on_tmpfs "$OUT" && rm -rf "$dir"
    return 0
}

# column ARRAY WHO RATE: "median min max" over the rounds (missing values count as 0).
column()
{
    local -n array=$1
    local r
    stats $(for ((r = 1; r <= RUNS; ++r)); do echo "${array[$2,$3,$r]:-0}"; done)
}

print_rate()
{
    local rate=$1 who sent read rmin rmax dropped mbps r checks
    printf '  %-9s %9s %9s %19s %9s %9s  %s\n' capture "sent" "read" "read min–max" dropped \
        "neither" "streams (combine)"
    for who in $CONTENDERS; do
        read -r sent _ _ < <(column SENT "$who" "$rate")
        read -r read rmin rmax < <(column READ "$who" "$rate")
        read -r dropped _ _ < <(column DROPPED "$who" "$rate")
        checks=
        if [[ $who == combine ]]; then
            checks=$(for ((r = 1; r <= RUNS; ++r)); do echo "${CHECKED[$who,$rate,$r]:-no run}"; done |
                sort | uniq -c | sed 's/^ *//' | paste -sd ';' -)
        fi
        printf '  %-9s %9.0f %9.0f %9.0f–%-9.0f %9.0f %9.0f  %s\n' "$who" "$sent" "$read" "$rmin" \
            "$rmax" "$dropped" "$(awk -v s="$sent" -v r="$read" -v d="$dropped" \
            'BEGIN { print (s - r - d > 0 ? s - r - d : 0) }')" "$checks"
    done
    read -r mbps _ _ < <(stats $(for who in $CONTENDERS; do
        for ((r = 1; r <= RUNS; ++r)); do echo "${MBPS[$who,$rate,$r]:-0}"; done
    done))
    echo "  tcpreplay's rate: $mbps Mbit/s (median); load average after: $(load_average)"
}

echo "Marlinox live benchmark, $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, commit $(bench_commit)"
echo "$(cat "$WL_INFO"); veth MTU $MTU between two namespaces, offloads $OFFLOADS on the" \
    "receiving end; tcpreplay --preload-pcap"
echo "marlinox-cli: $CLI, kernel buffer $([[ ${#CLI_BUFFER[@]} -gt 0 ]] && echo "-B $BUFFER_KIB" ||
    echo "32768 KiB (fixed)"); tcpdump -B $BUFFER_KIB; outputs on" \
    "$(df --output=fstype "$OUT" | tail -n 1); $RUNS rounds, order reversed every other round"
for rate in $RATES; do
    echo
    echo "offered: $([[ $rate == top ]] && echo "top speed" || echo "$rate Mbit/s");" \
        "load average before: $(load_average)"
    for ((r = 1; r <= RUNS; ++r)); do
        for who in $(round_order "$r" $CONTENDERS); do
            live_run "$who" "$rate" "$r"
        done
    done
    print_rate "$rate"
done
