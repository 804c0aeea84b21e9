#!/usr/bin/env bash
# Installs what is missing, builds, and starts the tool on the user's display.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build -G Ninja
cmake --build build --target qivo-dfu -j "$(nproc)"
exec build/app/qivo-dfu "$@"
