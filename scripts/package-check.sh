#!/usr/bin/env bash
# Builds the Debian package in the build folder and checks it as a user's system would see it:
# lintian, then the package unpacked into a scratch root: a program runs from there, and the
# desktop entry and the AppStream metadata pass their validators.
source "$(dirname "$0")/common.sh"
BUILD_DIR="${CORVANE_BUILD_DIR:-$CORVANE_ROOT/build}"

CORVANE_PACKAGES+=(lintian desktop-file-utils appstream systemd)
corvane_install_deps
corvane_build "$BUILD_DIR"

(cd "$BUILD_DIR" && cpack -G DEB)
version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$BUILD_DIR/CMakeCache.txt")"
deb="$BUILD_DIR/corvane_${version}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || { echo "No package at $deb" >&2; exit 1; }
echo "=== $deb"
dpkg-deb --info "$deb"

echo "=== lintian"
# Errors and warnings fail; every accepted warning is overridden, with its reason, in
# data/lintian-overrides.
lintian --fail-on error,warning --display-info "$deb"

root="$(mktemp -d)"
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"

echo "=== corvane-logger-sim --help from the package"
"$root/usr/bin/corvane-logger-sim" --help >/dev/null

echo "=== the monitor's service unit, as an instance for /dev/ttyUSB0, with the example options"
# Verified inside the unpacked package, beside the targets it is ordered against.
unit="$root/usr/lib/systemd/system/corvane-monitor@.service"
cp "$unit" "$root/corvane-monitor@ttyUSB0.service"
cp "$root/etc/corvane/monitor-example.conf" "$root/etc/corvane/monitor-ttyUSB0.conf"
for target in sysinit basic multi-user network-online shutdown sockets timers paths slices \
              local-fs swap; do
    cp "/usr/lib/systemd/system/$target.target" "$root/usr/lib/systemd/system/"
done
systemd-analyze verify --man=no --root="$root" "$root/corvane-monitor@ttyUSB0.service"
systemd-analyze security --offline=true --threshold=30 "$root/corvane-monitor@ttyUSB0.service" |
    tail -n 1
# The example's options are ones the program takes.
# shellcheck disable=SC1091
( source "$root/etc/corvane/monitor-ttyUSB0.conf"
  # shellcheck disable=SC2086
  "$root/usr/bin/corvane-cli" monitor $CORVANE_MONITOR_OPTIONS --help >/dev/null )

echo "=== desktop-file-validate"
desktop-file-validate "$root/usr/share/applications/corvane.desktop"

echo "=== appstreamcli validate --no-net"
appstreamcli validate --no-net "$root"/usr/share/metainfo/*.metainfo.xml
echo "Package checks passed: $deb"
