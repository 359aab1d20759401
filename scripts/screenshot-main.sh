#!/usr/bin/env bash
# Takes a picture of the real main window against the camera simulator on a
# virtual display (Xvfb) and stores it as docs/main-window.png. A burst of
# motion starts a Motion recording first, so the window shows one running;
# the activity log of the run is printed at the end.
#   BUILD_DIR   build directory (default build-demo)
#   OUT         picture to write (default docs/main-window.png)
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

install_packages "${BUILD_PACKAGES[@]}" "${DEMO_PACKAGES[@]}" "${SCREENSHOT_PACKAGES[@]}"

BUILD_DIR="${BUILD_DIR:-$REPO_ROOT/build-demo}"
OUT="${OUT:-$REPO_ROOT/docs/main-window.png}"
# An existing build folder keeps its own configuration.
[ -f "$BUILD_DIR/CMakeCache.txt" ] || cmake -S "$REPO_ROOT" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release -DIPCAM_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD_DIR" -j "$(nproc)" --target ipcam-recorder ipcam-sim

# A loopback address of its own, so port 80 does not clash with another
# simulator on 127.0.0.1.
HOST="${HOST:-127.0.0.$((RANDOM % 200 + 20))}"
STREAM_PORT="${STREAM_PORT:-8080}"
WORK="$(mktemp -d)"
mkdir -p "$WORK/recordings"
write_loopback_settings "$WORK/ipcam-recorder.INI" "$HOST" "$STREAM_PORT" "$WORK/recordings" 1

SIM="$BUILD_DIR/tools/ipcam-sim"
allow_port_80 "$SIM"
"$SIM" --bind "$HOST" --port "$STREAM_PORT" --http-port 80 --password pxwqe --name "Front Door (simulator)" &
SIM_PID=$!
trap 'kill $SIM_PID 2>/dev/null || true; rm -rf "$WORK"' EXIT

cat >"$WORK/shoot.sh" <<SHOOT
set -eu
cd "$WORK"
"$BUILD_DIR/ipcam-recorder" --settings "$WORK/ipcam-recorder.INI" &
REC=\$!
sleep 12            # start sequence: ping, start page, stream
kill -USR1 $SIM_PID # a burst of motion starts a recording
sleep 4
import -window "IPCam Recorder, v1.5, 2006/10/12" "$OUT"
kill -TERM \$REC    # closes the window as the user would
wait \$REC
SHOOT
unset QT_QPA_PLATFORM
xvfb-run -a -s "-screen 0 800x600x24" bash "$WORK/shoot.sh"
echo "Wrote $OUT"
echo "--- activity log of the run ($WORK/ipcam-recorder.log)"
cat "$WORK/ipcam-recorder.log"
