#!/usr/bin/env bash
# Installs what is missing, builds, and runs the transfer benchmark with the
# given arguments (see build/bench/transferbench --help). The full run takes
# about ten minutes: the 1 MiB transfers go at 115200 baud.
# `bench.sh noise [options]` runs the noisy-line benchmark instead (see
# build/bench/noisebench --help), a few minutes.
# `bench.sh station [options]` runs the factory-station benchmark (see
# build/bench/stationbench --help), about six minutes.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build -G Ninja
cmake --build build

if [ "${1:-}" = noise ]; then
    shift
    exec build/bench/noisebench "$@"
fi
if [ "${1:-}" = station ]; then
    shift
    exec build/bench/stationbench "$@"
fi
exec build/bench/transferbench "$@"
