#!/usr/bin/env bash
# Installs what is missing, builds, and starts the tool. Until the window
# exists this builds the project and runs its tests.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build -G Ninja
cmake --build build -j "$(nproc)"

if [ -x build/app/qivo-dfu ]; then
    exec build/app/qivo-dfu "$@"
fi
cd build && ctest --output-on-failure
