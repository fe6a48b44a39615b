#!/usr/bin/env bash
# On a machine without a display, `./setup.sh start` starts no window: it says why, lists the
# interfaces, shows how to capture with marlinox-cli and exits with 0. The window itself,
# started where no display answers, says so in one line and exits with 1.
# Usage: start-without-display.sh SOURCE_DIR BUILD_DIR (a tree that is built already)
set -u
src=$1
build=$2
failed=0
fail() {
    echo "FAILED: $*" >&2
    failed=1
}

out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM MARLINOX_BUILD_DIR="$build" \
    "$src/setup.sh" start 2>&1)
status=$?
echo "$out"
[ "$status" -eq 0 ] || fail "setup.sh start exited with $status"
grep -q "the window needs one" <<<"$out" || fail "no word about the display"
grep -qP '^lo\t' <<<"$out" || fail "no interface list"
grep -q '^usage: marlinox-cli' <<<"$out" || fail "no usage"

err=$(env -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM DISPLAY=:99 timeout 20 "$build/app/marlinox" 2>&1 >/dev/null)
status=$?
echo "$err"
[ "$status" -eq 1 ] || fail "the window exited with $status where no display answers"
[ "$(wc -l <<<"$err")" -eq 1 ] || fail "not one line"
exit $failed
