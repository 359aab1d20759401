#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks the installed tree:
# both programs, the menu entry (validated), the icon, and the service's
# unit, user and settings folder files; the installed program answers
# --version and --help without a display.
#   check_install.sh BUILD_DIR
set -euo pipefail

BUILD_DIR="$1"
PREFIX="$(mktemp -d)"
trap 'rm -rf "$PREFIX"' EXIT

cmake --install "$BUILD_DIR" --prefix "$PREFIX" >/dev/null

fail() { echo "FAIL: $*" >&2; exit 1; }

for exe in bin/ipcam-recorder bin/ipcam-sim; do
    [ -x "$PREFIX/$exe" ] || fail "$exe missing or not executable"
done
DESKTOP="$PREFIX/share/applications/ipcam-recorder.desktop"
ICON="$PREFIX/share/icons/hicolor/scalable/apps/ipcam-recorder.svg"
[ -f "$DESKTOP" ] || fail "desktop entry missing"
[ -f "$ICON" ] || fail "icon missing"
grep -q '<svg' "$ICON" || fail "icon is not an SVG image"

desktop-file-validate "$DESKTOP" || fail "desktop entry does not validate"
grep -qx 'Exec=ipcam-recorder' "$DESKTOP" || fail "desktop entry does not start ipcam-recorder"
grep -qx 'Icon=ipcam-recorder' "$DESKTOP" || fail "desktop entry does not name our icon"

# The service: its unit runs the installed program; its user and settings folder.
UNIT="$PREFIX/lib/systemd/system/ipcam-recorder.service"
SYSUSERS="$PREFIX/lib/sysusers.d/ipcam-recorder.conf"
TMPFILES="$PREFIX/lib/tmpfiles.d/ipcam-recorder.conf"
[ -f "$UNIT" ] || fail "service unit missing"
[ -f "$SYSUSERS" ] || fail "sysusers file missing"
[ -f "$TMPFILES" ] || fail "tmpfiles file missing"
grep -qx "ExecStart=$PREFIX/bin/ipcam-recorder --headless --settings /etc/ipcam-recorder/ipcam-recorder.INI" "$UNIT" ||
    fail "unit's $(grep '^ExecStart=' "$UNIT" || echo 'ExecStart= missing')"
grep -qx 'User=ipcam-recorder' "$UNIT" || fail "unit does not run as ipcam-recorder"
grep -qE '^u[[:space:]]+ipcam-recorder[[:space:]]' "$SYSUSERS" || fail "sysusers file makes no ipcam-recorder user"
grep -qx 'd /etc/ipcam-recorder 0700 ipcam-recorder ipcam-recorder -' "$TMPFILES" || fail "tmpfiles file: $(cat "$TMPFILES")"

# Nothing but these files (and the documentation) is installed.
unexpected="$(cd "$PREFIX" && find . -type f | sort | grep -v -e '^./bin/ipcam-recorder$' -e '^./bin/ipcam-sim$' \
    -e '^./share/applications/ipcam-recorder.desktop$' \
    -e '^./lib/systemd/system/ipcam-recorder.service$' -e '^./lib/sysusers.d/ipcam-recorder.conf$' \
    -e '^./lib/tmpfiles.d/ipcam-recorder.conf$' \
    -e '^./share/icons/hicolor/scalable/apps/ipcam-recorder.svg$' -e '^./share/doc/' || true)"
[ -z "$unexpected" ] || fail "unexpected files installed: $unexpected"

# The installed program runs without a display for these two.
version="$(env -u DISPLAY -u WAYLAND_DISPLAY "$PREFIX/bin/ipcam-recorder" --version)"
[ "$version" = "IPCam Recorder 1.5" ] || fail "--version printed '$version'"
help="$(cd "$PREFIX" && env -u DISPLAY -u WAYLAND_DISPLAY HOME="$PREFIX/home" "$PREFIX/bin/ipcam-recorder" --help)"
# A prefix the user can write keeps the settings beside the program.
grep -qF "Settings file in use: $PREFIX/bin/ipcam-recorder.INI" <<<"$help" || fail "--help: $help"
if env -u DISPLAY "$PREFIX/bin/ipcam-recorder" --no-such-option 2>/dev/null; then
    fail "an unknown option was accepted"
fi
[ ! -e "$PREFIX/bin/ipcam-recorder.INI" ] || fail "--help wrote a settings file"
echo "install tree OK: $PREFIX"
