#!/usr/bin/env bash
# On a machine without a display, `./setup.sh start` installs no Qt package, starts no window:
# it says why, lists the interfaces, shows how to capture with marlinox-cli and exits with 0.
# The window itself, started where no display answers, says so in one line and exits with 1.
# Every package counts as missing (a dpkg-query stub) and apt-get is a stub that records what it
# is asked for; the start's build folder BUILD_DIR-cli is a link to BUILD_DIR, so nothing is built.
# Usage: start-without-display.sh SOURCE_DIR BUILD_DIR (a tree that is built already)
set -u
src=$1
build=$2
failed=0
fail() {
    echo "FAILED: $*" >&2
    failed=1
}

stubs=$(mktemp -d)
trap 'rm -rf "$stubs"' EXIT
printf '#!/bin/sh\necho "$*" >>"%s/asked"\n' "$stubs" >"$stubs/apt-get"
printf '#!/bin/sh\n' >"$stubs/dpkg-query"
chmod +x "$stubs/apt-get" "$stubs/dpkg-query"
ln -s "$(cd "$build" && pwd)" "$stubs/b-cli"
out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM MARLINOX_BUILD_DIR="$stubs/b" \
    PATH="$stubs:$PATH" "$src/setup.sh" start 2>&1)
status=$?
echo "$out"
echo "apt-get was asked: $(cat "$stubs/asked")"
[ "$status" -eq 0 ] || fail "setup.sh start exited with $status"
grep -q '^install .*libpcap-dev' "$stubs/asked" || fail "no install of the missing packages"
! grep -q 'qt6-' "$stubs/asked" || fail "a Qt package is installed"
grep -q "the window needs one" <<<"$out" || fail "no word about the display"
grep -qP '^lo\t' <<<"$out" || fail "no interface list"
grep -q '^usage: marlinox-cli' <<<"$out" || fail "no usage"

err=$(env -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM DISPLAY=:99 timeout 20 "$build/app/marlinox" 2>&1 >/dev/null)
status=$?
echo "$err"
[ "$status" -eq 1 ] || fail "the window exited with $status where no display answers"
[ "$(wc -l <<<"$err")" -eq 1 ] || fail "not one line"
exit $failed
