#!/usr/bin/env bash
# Builds the tool and takes a picture of its window, idle, on a virtual
# display: docs/window.png.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh --picture
cmake -S . -B build -G Ninja
cmake --build build --target qivo-dfu -j "$(nproc)"

xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
    build/app/qivo-dfu &
    app=$!
    for _ in $(seq 50); do
        id=$(xdotool search --name "QIVO Device Firmware Upgrade Tool" 2>/dev/null | head -1) && [ -n "$id" ] && break
        sleep 0.2
    done
    sleep 1 # let the pictures and fonts settle
    import -window "$id" docs/window.png
    kill "$app"
'
echo "wrote docs/window.png"
