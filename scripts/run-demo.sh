#!/usr/bin/env bash
# Installs what is missing, builds, starts the bundled camera simulator on
# 127.0.0.1 and runs the recorder against it.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

install_packages "${BUILD_PACKAGES[@]}" "${DEMO_PACKAGES[@]}"

BUILD_DIR="${BUILD_DIR:-$REPO_ROOT/build-demo}"
# An existing build folder keeps its own configuration.
LAUNCHER=()
command -v ccache >/dev/null 2>&1 && LAUNCHER=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
[ -f "$BUILD_DIR/CMakeCache.txt" ] || cmake -S "$REPO_ROOT" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release -DIPCAM_BUILD_TESTS=OFF \
    "${LAUNCHER[@]}" >/dev/null
cmake --build "$BUILD_DIR" -j "$(nproc)" --target ipcam-recorder ipcam-sim

STREAM_PORT="${STREAM_PORT:-8080}"
RECORDINGS="$REPO_ROOT/recordings"
SETTINGS="$BUILD_DIR/ipcam-recorder.INI"
mkdir -p "$RECORDINGS"

# The settings file sits beside the program. Point it at the simulator on
# loopback before anything starts, so nothing ever looks for a real camera.
if [ ! -f "$SETTINGS" ]; then
    write_loopback_settings "$SETTINGS" 127.0.0.1 "$STREAM_PORT" "$RECORDINGS"
    echo "Wrote $SETTINGS (camera 127.0.0.1:$STREAM_PORT, recordings in $RECORDINGS)"
fi

SIM="$BUILD_DIR/tools/ipcam-sim"
SIM_ARGS=(--port "$STREAM_PORT" --http-port 80 --password pxwqe --name "IPCam Simulator")
allow_port_80 "$SIM"
if [ "$(id -u)" -ne 0 ]; then
    read -r low high </proc/sys/net/ipv4/ping_group_range || true
    if ! [ "$(id -g)" -ge "${low:-1}" ] 2>/dev/null || ! [ "$(id -g)" -le "${high:-0}" ] 2>/dev/null; then
        echo "Note: this system does not let normal users ping (net.ipv4.ping_group_range = $low $high);"
        echo "      the recorder will report the camera off-line. Debian desktops normally allow it."
    fi
fi
"$SIM" "${SIM_ARGS[@]}" &
SIM_PID=$!
trap 'kill $SIM_PID 2>/dev/null || true' EXIT
sleep 1

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No display found: running on Qt's offscreen platform (nothing will be shown)."
    export QT_QPA_PLATFORM=offscreen
fi

echo "Simulator pid $SIM_PID: 'kill -USR1 $SIM_PID' sends a burst of motion, 'kill -USR2 $SIM_PID' toggles a still scene."
"$BUILD_DIR/ipcam-recorder" --settings "$SETTINGS"
