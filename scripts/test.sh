#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: once as a plain
# build, once under AddressSanitizer + UndefinedBehaviorSanitizer with a
# longer random-stream campaign against the protocol engine.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc)

cmake -S . -B build -G Ninja
cmake --build build -j "$jobs"
(cd build && ctest --output-on-failure -j "$jobs")

cmake -S . -B build-asan -G Ninja -DQIVO_SANITIZE=ON -DQIVO_FUZZ_SECONDS=60
cmake --build build-asan -j "$jobs"
(cd build-asan && ctest --output-on-failure -j "$jobs")
