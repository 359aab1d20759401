#!/usr/bin/env bash
# Installs what is missing, builds, starts the bundled camera simulator on
# 127.0.0.1 and runs the recorder against it.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

install_packages "${BUILD_PACKAGES[@]}"

BUILD_DIR="${BUILD_DIR:-$REPO_ROOT/build-demo}"
cmake -S "$REPO_ROOT" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release -DIPCAM_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD_DIR" -j "$(nproc)" --target ipcam-recorder ipcam-sim

STREAM_PORT="${STREAM_PORT:-8080}"
RECORDINGS="$REPO_ROOT/recordings"
SETTINGS="$BUILD_DIR/ipcam-recorder.INI"
mkdir -p "$RECORDINGS"

# The settings file sits beside the program. Point it at the simulator on
# loopback before anything starts, so nothing ever looks for a real camera.
if [ ! -f "$SETTINGS" ]; then
    umask 077
    {
        echo "[IPCAM_1]"
        echo "Host_Addr=127.0.0.1"
        echo "Host_Port=$STREAM_PORT"
        echo "IPCAM_Password=pxwqe"
        echo "Descriptor="
        echo "AVI_Directory=$RECORDINGS"
        echo "Motion_Detection_Enabled=0"
        echo "Motion_sensitivity=5"
        echo "Resolution=1"
        echo "Frequency=1"
        echo "Quality=1"
        echo "Brightness=1"
        echo "Orientation=0"
    } >"$SETTINGS"
    echo "Wrote $SETTINGS (camera 127.0.0.1:$STREAM_PORT, recordings in $RECORDINGS)"
fi

# The start page must answer on port 80, which needs root.
SIM_ARGS=(--port "$STREAM_PORT" --http-port 80 --password pxwqe --name "IPCam Simulator")
if [ "$(id -u)" -eq 0 ]; then
    "$BUILD_DIR/tools/ipcam-sim" "${SIM_ARGS[@]}" &
else
    as_root "$BUILD_DIR/tools/ipcam-sim" "${SIM_ARGS[@]}" &
fi
SIM_PID=$!
trap 'kill $SIM_PID 2>/dev/null || true' EXIT
sleep 1

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No display found: running on Qt's offscreen platform (nothing will be shown)."
    export QT_QPA_PLATFORM=offscreen
fi

echo "Simulator pid $SIM_PID: 'kill -USR1 $SIM_PID' sends a burst of motion, 'kill -USR2 $SIM_PID' toggles a still scene."
"$BUILD_DIR/ipcam-recorder"
