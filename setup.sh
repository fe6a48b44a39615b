#!/usr/bin/env bash
# Installs what is missing on a Debian 12 machine, builds Marlinox, and then
#   ./setup.sh start   starts the program;
#   ./setup.sh test    runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")"

mode=${1:-start}
case "$mode" in
start | test) ;;
*)
    echo "usage: $0 start|test" >&2
    exit 2
    ;;
esac

packages=(
    build-essential cmake ninja-build pkg-config
    libpcap-dev libcap-dev libcap2-bin libgtest-dev libgmock-dev
    qt6-base-dev qt6-svg-dev libqt6svg6 qt6-qpa-plugins
    fonts-ipafont-gothic
    clang libclang-rt-14-dev
    iproute2 procps
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    echo "Installing: ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

werror=OFF
[ -n "${CI:-}" ] && werror=ON
cmake -S . -B build -G Ninja -DMARLINOX_WERROR=$werror
cmake --build build

if [ "$mode" = start ]; then
    if [ -x build/app/marlinox ]; then
        exec build/app/marlinox
    fi
    exec build/cli/marlinox-cli --help
fi

ctest --test-dir build --output-on-failure -j2
# The same suite under AddressSanitizer + UBSan, the worker and window tests under
# ThreadSanitizer, and a short run of each fuzzer.
tests/run-sanitizers.sh
