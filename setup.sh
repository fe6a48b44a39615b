#!/usr/bin/env bash
# Installs what is missing on a Debian 12 machine, builds Marlinox, and then
#   ./setup.sh start   builds the window and marlinox-cli and starts the window; without a
#                      display it installs no Qt package, builds only marlinox-cli (in
#                      build-cli/, without the window) and says how to capture with it;
#   ./setup.sh test    builds everything (tests and benchmarks too) and runs the whole suite;
#   ./setup.sh package builds the two programs without tests and makes the Debian package
#                      (in build-package/), for `apt install`.
# MARLINOX_BUILD_DIR names the build folder (default: build; for package: build-package; for a
# start without a display: the same with -cli appended).
set -euo pipefail
cd "$(dirname "$0")"

mode=${1:-start}
case "$mode" in
start | test | package) ;;
*)
    echo "usage: $0 start|test|package" >&2
    exit 2
    ;;
esac
build=${MARLINOX_BUILD_DIR:-build}

sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo

# A start without a display (a server, an ssh session) needs only marlinox-cli.
headless=""
[ "$mode" = start ] && [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}${QT_QPA_PLATFORM:-}" ] && headless=1

packages=(build-essential cmake ninja-build pkg-config libpcap-dev libcap-dev libcap2-bin)
[ -n "$headless" ] || packages+=(
    libgtest-dev libgmock-dev
    qt6-base-dev qt6-svg-dev libqt6svg6 qt6-qpa-plugins qt6-translations-l10n
    fonts-ipafont-gothic
)
# Only the test suite needs these: the fuzzers, the sanitizer builds, the format check and the
# check of the manual pages.
[ "$mode" = test ] && packages+=(clang libclang-rt-14-dev clang-format-14 groff-base)
# cpack finds the package's library dependencies with dpkg-shlibdeps and file.
[ "$mode" = start ] || packages+=(dpkg-dev file)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    # Asked once, before anything else, so that a user who may not use sudo learns it now.
    if [ -n "$sudo" ] && ! sudo -v; then
        echo "These packages are missing, and installing them needs sudo: ${missing[*]}." >&2
        echo "Ask an administrator to run: apt-get install ${missing[*]}" >&2
        exit 1
    fi
    echo "Installing: ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

werror=OFF
[ -n "${CI:-}" ] && werror=ON

if [ "$mode" = test ]; then
    # Every C++ file as .clang-format has it.
    git ls-files '*.cpp' '*.h' | xargs clang-format-14 --dry-run --Werror
    cmake -S . -B "$build" -G Ninja -DMARLINOX_WERROR=$werror -DMARLINOX_BENCH=ON
    cmake --build "$build"
    ctest --test-dir "$build" --output-on-failure -j2
    # The same suite under AddressSanitizer + UBSan, the worker and window tests under
    # ThreadSanitizer, and a short run of each fuzzer.
    exec tests/run-sanitizers.sh
fi

# package: the programs without the tests, in a build folder of their own, which then holds
# the package too.
if [ "$mode" = package ]; then
    build=${MARLINOX_BUILD_DIR:-build-package}
    cmake -S . -B "$build" -G Ninja -DMARLINOX_WERROR=$werror -DBUILD_TESTING=OFF
    cmake --build "$build"
    cpack -G DEB --config "$build/CPackConfig.cmake" -B "$build"
    deb=$build/marlinox_$("$build/cli/marlinox-cli" --version | cut -d' ' -f2)_$(dpkg --print-architecture).deb
    [ "${deb#/}" != "$deb" ] || deb=./$deb
    echo "Built $deb. Install it with: ${sudo:+sudo }apt install $deb"
    echo "Then add each user who may capture to the group marlinox:" \
        "${sudo:+sudo }usermod -aG marlinox USER (effective at the user's next login)."
    exit 0
fi

# start: only what it starts. An existing build folder keeps its own options.
targets=(marlinox marlinox-cli)
options=()
if [ -n "$headless" ]; then
    build=$build-cli
    targets=(marlinox-cli)
    options=(-DMARLINOX_GUI=OFF -DBUILD_TESTING=OFF)
fi
[ -f "$build/CMakeCache.txt" ] ||
    cmake -S . -B "$build" -G Ninja -DMARLINOX_WERROR=$werror "${options[@]}"
cmake --build "$build" --target "${targets[@]}"
cli=$build/cli/marlinox-cli
app=$build/app/marlinox
programs=("$cli")
[ -n "$headless" ] || programs+=("$app")

# Capturing needs CAP_NET_RAW. A user other than root gets it on the two programs, which only
# that user and group may run; each program raises it only to open the interface.
if [ "$(id -u)" -ne 0 ]; then
    # getcap lives in /usr/sbin, which is not on a Debian user's PATH.
    PATH=$PATH:/usr/sbin:/sbin
    chmod 0750 "${programs[@]}"
    if [ "$(getcap "${programs[@]}" 2>/dev/null | grep -c cap_net_raw=p)" -ne ${#programs[@]} ]; then
        if sudo setcap cap_net_raw=p "${programs[@]}"; then
            echo "Gave ${programs[*]} the capability to capture (setcap cap_net_raw=p); only you and your group may run them."
        else
            echo "Capturing needs a capability that only an administrator can give: ask one to run setcap cap_net_raw=p ${programs[*]}" >&2
        fi
    fi
    if ! "$cli" -D 2>/dev/null | grep -qP '^lo\t.*\tcombine\t'; then
        echo "Capturing does not work for $(id -un) here: file capabilities are ignored on a file system mounted nosuid. Build in a folder on another file system, or run the programs as root (sudo $app)." >&2
    fi
fi

if [ -n "$headless" ]; then
    echo "No display here (DISPLAY and WAYLAND_DISPLAY are unset): the window needs one; marlinox-cli captures without. Interfaces (name, description, mode, flags):"
    "$cli" -D || true
    echo
    echo "To capture: $cli -i IFACE -o DIR [--raw] [FILTER EXPRESSION], then Ctrl+C. All options:"
    "$cli" --help
    exit 0
fi
exec "$app"
