#!/usr/bin/env bash
# Checks a built qivo-dfu .deb: unpacked into a scratch root, its programs
# run from there, its desktop entry and metadata validate, its dependencies
# came from the libraries, the station unit verifies and is confined
# (exposure at most 2.0), and lintian finds no error or warning.
# Usage: tests/package/check-package.sh path/to/qivo-dfu_VERSION_amd64.deb
set -euo pipefail

deb=$(realpath "$1")
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg -x "$deb" "$root"
bin=$root/usr/bin
share=$root/usr/share
version=$(dpkg-deb -f "$deb" Version)
fail() { echo "check-package: $*" >&2; exit 1; }

[ "$("$bin/qivo-dfu-cli" --version)" = "qivo-dfu-cli $version" ] || fail "qivo-dfu-cli --version is not $version"
"$bin/qivo-dfu-cli" --list >/dev/null || fail "qivo-dfu-cli --list failed"
"$bin/qivo-device-sim" --help | grep -q -- "--link" || fail "qivo-device-sim --help lacks its options"
# The window starts and keeps running until stopped.
rc=0; QT_QPA_PLATFORM=offscreen timeout 3 "$bin/qivo-dfu" >/dev/null 2>&1 || rc=$?
[ "$rc" = 124 ] || fail "qivo-dfu exited with $rc instead of running"

for program in qivo-dfu qivo-dfu-cli qivo-device-sim; do
    page=$share/man/man1/$program.1.gz
    [ -s "$page" ] || fail "no manual page for $program"
    [ $program = qivo-device-sim ] || zcat "$page" | grep -q dialout || fail "$program's manual page does not mention dialout"
done
[ -f "$share/icons/hicolor/48x48/apps/qivo-dfu.png" ] || fail "no 48x48 icon"

# The station service, and its example settings kept across upgrades.
unit=$root/lib/systemd/system/qivo-dfu-station@.service
[ -f "$unit" ] || fail "no qivo-dfu-station@.service"
dpkg-deb -I "$deb" conffiles | grep -qx /etc/qivo-dfu/station-example.conf || fail "the example station is not a conffile"
if command -v systemd-analyze >/dev/null; then
    # Pointed at the unpacked flasher, which verify checks is there; the
    # manual pages are checked above.
    mkdir "$root/verify"
    sed "s|/usr/bin/|$bin/|" "$unit" > "$root/verify/qivo-dfu-station@.service"
    systemd-analyze verify --man=no "$root/verify/qivo-dfu-station@.service" || fail "systemd-analyze verify rejects the station unit"
    # Rated as its instance qivo-dfu-station@i: 0 is fully confined, 10 not at all.
    exposure=$(systemd-analyze security --offline=true "$root/verify/qivo-dfu-station@.service" |
               sed -n 's/.*Overall exposure level for [^:]*: \([0-9][0-9.]*\) .*/\1/p')
    [ -n "$exposure" ] || fail "systemd-analyze security gave no exposure for the station unit"
    echo "station unit exposure: $exposure"
    awk -v e="$exposure" 'BEGIN { exit !(e <= 2.0) }' || fail "the station unit's exposure $exposure is above 2.0"
fi

desktop-file-validate "$share/applications/qivo-dfu.desktop"
appstreamcli validate --no-net "$share/metainfo/"*.metainfo.xml

depends=$(dpkg-deb -f "$deb" Depends)
grep -q "libqt[56]serialport" <<<"$depends" || fail "Depends does not come from the libraries: $depends"

rc=0; findings=$(lintian --fail-on error,warning "$deb" 2>&1) || rc=$?
grep -v "root privileges is not recommended" <<<"$findings" || true
[ "$rc" = 0 ] || fail "lintian has errors or warnings"

echo "check-package: $(basename "$deb") ($(stat -c %s "$deb") bytes) is fine; Depends: $depends"
