#!/usr/bin/env bash
# The manual pages render without a warning, and every option that marlinox-cli --help names
# has an entry of its own (a .TP tag) in marlinox-cli.1.
# Usage: man-pages.sh SOURCE_DIR MARLINOX_CLI
set -u
src=$1
cli=$2
if ! command -v groff >/dev/null; then
    echo "SKIPPED: groff is missing (apt install groff-base); the pages cannot be rendered here"
    exit 77
fi
failed=0
fail() {
    echo "FAILED: $*" >&2
    failed=1
}

for page in "$src"/docs/marlinox-cli.1 "$src"/docs/marlinox.1; do
    warnings=$(groff -ww -man -z "$page" 2>&1)
    [ -z "$warnings" ] || fail "$page does not render cleanly: $warnings"
done

# The line after each .TP, with \- as - and no font changes.
tags=$(awk 'tag { print; tag = 0 } /^\.TP/ { tag = 1 }' "$src/docs/marlinox-cli.1" |
    sed 's/\\-/-/g; s/\\f.//g')
options=$("$cli" --help | grep -oE '(^|[][ (|,])--?[A-Za-z][A-Za-z-]*' | sed 's/^[^-]*//' | sort -u)
echo "options in marlinox-cli --help: ${options//$'\n'/ }"
[ -n "$options" ] || fail "no option found in marlinox-cli --help"
for option in $options; do
    grep -qwF -- "$option" <<<"$tags" || fail "marlinox-cli.1 has no entry for $option"
done
exit $failed
