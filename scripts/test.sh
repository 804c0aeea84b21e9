#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test on both Qt lines,
# and once more on Qt 5 under AddressSanitizer + UndefinedBehaviorSanitizer
# with a longer random-stream campaign against the protocol engine. The
# sources are the same on both lines, so one sanitizer build covers them.
# Last, builds the Debian package from each plain build and checks it.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc)

build_and_test() {
    local dir=$1
    shift
    cmake -S . -B "$dir" -G Ninja "$@"
    cmake --build "$dir" -j "$jobs"
    # The tests mostly wait on lines and timers, so twice as many as cores run at once.
    (cd "$dir" && ctest --output-on-failure -j "$((jobs * 2))")
}

build_and_test build
build_and_test build-asan -DQIVO_SANITIZE=ON -DQIVO_FUZZ_SECONDS=60
build_and_test build-qt6 -DQIVO_QT=6

for dir in build build-qt6; do
    rm -f "$dir"/qivo-dfu_*.deb
    cmake --build "$dir" --target package
    bash tests/package/check-package.sh "$dir"/qivo-dfu_*_amd64.deb
done
