#!/usr/bin/env bash
# Builds marlinox-screenshots and saves docs/folder-chooser.png, docs/main-window-idle.png,
# docs/main-window-capturing.png and docs/device-chooser.png, taken from the real widgets on the
# offscreen platform. Usage: docs/make-screenshots.sh [build-dir]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build-docs}"

cmake -S "$root" -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target marlinox-screenshots -j2

# A home of its own, so the pictures show the same folders on every machine.
scratch="$(mktemp -d -p /var/tmp marlinox-shot.XXXXXX)"
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/home/Desktop" "$scratch/home/Documents" "$scratch/home/.config" \
         "$scratch/home/キャプチャ/2024-05-01" "$scratch/home/キャプチャ/2024-05-02" \
         "$scratch/home/キャプチャ/試験"

cd "$scratch/home/キャプチャ"
HOME="$scratch/home" XDG_CONFIG_HOME="$scratch/home/.config" QT_QPA_PLATFORM=offscreen \
    "$build/docs/marlinox-screenshots" "$root/docs"
