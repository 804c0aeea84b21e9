#!/usr/bin/env bash
# Installs the Debian 12 packages needed to build, run and test the tool.
# Idempotent and non-interactive; asks apt only for what is missing.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config
    qtbase5-dev qtbase5-dev-tools libqt5serialport5-dev
    qt6-base-dev qt6-base-dev-tools qt6-serialport-dev
    lrzsz socat
    # The station board's HTTP server.
    libmicrohttpd-dev
    # The Debian package: its manual pages, dependencies and checks.
    dpkg-dev file help2man scdoc
    lintian desktop-file-utils appstream
    # promtool, which checks the monitoring examples (its package also brings a
    # Prometheus server, enabled: systemctl disable --now prometheus if unwanted).
    prometheus
    # The station board's browser test.
    chromium chromium-driver python3-selenium
)
# Only for scripts/render-window.sh, which draws the README's picture.
if [ "${1:-}" = "--picture" ]; then
    packages+=(xvfb xauth imagemagick xdotool)
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update
$sudo apt-get install -y --no-install-recommends "${missing[@]}"
