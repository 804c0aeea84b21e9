#!/usr/bin/env bash
# Installs what is missing, builds, and starts the tool on the user's display.
# Qt 5.15 by default; QIVO_QT=6 builds and starts the Qt 6 line instead.
set -euo pipefail
cd "$(dirname "$0")/.."

qt=${QIVO_QT:-5}
case $qt in
    5) dir=build ;;
    6) dir=build-qt6 ;;
    *) echo "QIVO_QT must be 5 or 6" >&2; exit 64 ;;
esac

bash scripts/install-deps.sh
cmake -S . -B "$dir" -G Ninja -DQIVO_QT="$qt"
cmake --build "$dir" --target qivo-dfu -j "$(nproc)"
exec "$dir"/app/qivo-dfu "$@"
