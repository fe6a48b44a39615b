#!/usr/bin/env bash
# The Debian package that cpack makes from this build tree: its control fields, its maintainer
# scripts, and its files with their modes and owners. Every file is root/root in the archive;
# installing it gives the programs to the group marlinox (postinst).
# Usage: debian-package.sh BUILD_DIR GUI(1|0) CPACK   (a tree that is built already)
set -u
build=$1
gui=$2
cpack=$3
for tool in dpkg-deb dpkg-shlibdeps file; do
    if ! command -v $tool >/dev/null; then
        echo "SKIPPED: $tool is missing (not a Debian system, or dpkg-dev or file not installed)"
        exit 77
    fi
done
failed=0
fail() {
    echo "FAILED: $*" >&2
    failed=1
}

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
if ! "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$out" >"$out/cpack.log" 2>&1; then
    cat "$out/cpack.log"
    fail "cpack -G DEB failed"
    exit 1
fi
version=$("$build/cli/marlinox-cli" --version | cut -d' ' -f2)
deb=$out/marlinox_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || fail "no $(basename "$deb") in:" "$out"/*.deb
dpkg-deb --info "$deb" || exit 1

[ "$(dpkg-deb --field "$deb" Package)" = marlinox ] || fail "not the package marlinox"
[ "$(dpkg-deb --field "$deb" Version)" = "$version" ] || fail "not the programs' version"
depends=$(dpkg-deb --field "$deb" Depends)
# libcap2-bin for setcap; the others found by dpkg-shlibdeps, with their versions.
needed=(libcap2-bin 'libc6 (>=' 'libpcap0.8 (>=' 'libcap2 (>=')
[ "$gui" = 1 ] && needed+=('libqt6widgets6 (>=' qt6-qpa-plugins)
for d in "${needed[@]}"; do
    grep -qF "$d" <<<"$depends" || fail "Depends lacks $d"
done

# The scripts, executable; the control data only readable.
control=$(dpkg-deb --ctrl-tarfile "$deb" | tar -tvf - | awk '{ print $1, $2, $6 }' | sort)
expected="-rw-r--r-- root/root ./control
-rw-r--r-- root/root ./md5sums
-rwxr-xr-x root/root ./postinst
-rwxr-xr-x root/root ./postrm"
[ "$control" = "$expected" ] || fail "control archive:" $'\n'"$control"
mkdir "$out/control"
dpkg-deb --control "$deb" "$out/control"
for script in postinst postrm; do
    sh -n "$out/control/$script" || fail "$script is not valid sh"
done

contents=$(dpkg-deb --contents "$deb")
echo "$contents"
files=$(awk '$1 !~ /^d/ { print $1, $2, $6 }' <<<"$contents" | sort)
expected="-rw-r--r-- root/root ./usr/share/man/man1/marlinox-cli.1
-rwxr-xr-x root/root ./usr/bin/marlinox-cli"
[ "$gui" = 1 ] && expected+="
-rw-r--r-- root/root ./usr/share/applications/marlinox.desktop
-rw-r--r-- root/root ./usr/share/icons/hicolor/scalable/apps/marlinox.svg
-rw-r--r-- root/root ./usr/share/man/man1/marlinox.1
-rwxr-xr-x root/root ./usr/bin/marlinox"
[ "$files" = "$(sort <<<"$expected")" ] || fail "files:" $'\n'"$files"
odd_dirs=$(awk '$1 ~ /^d/ && ($1 != "drwxr-xr-x" || $2 != "root/root")' <<<"$contents")
[ -z "$odd_dirs" ] || fail "folders:" $'\n'"$odd_dirs"

# The stripped program still runs.
dpkg-deb --extract "$deb" "$out/extracted"
[ "$("$out/extracted/usr/bin/marlinox-cli" --version)" = "marlinox-cli $version" ] ||
    fail "the packaged marlinox-cli does not run"
exit $failed
