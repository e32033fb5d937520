#!/usr/bin/env bash
# Renders every window to PNG under BUILD/screenshots (offscreen, no display needed).
set -euo pipefail
build=${1:-build}
out="$build/screenshots"
mkdir -p "$out"
export QT_QPA_PLATFORM=offscreen
for s in "$build"/bin/screenshots_*; do
    [[ -x "$s" ]] || continue
    echo "== $(basename "$s")"
    "$s" "$out"
done
ls -1 "$out"
