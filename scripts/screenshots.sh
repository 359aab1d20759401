#!/usr/bin/env bash
# Pictures of the real program on a virtual X display: the main window
# receiving from the bundled camera simulator, the setup dialog opened by its
# Settings button and the alarm e-mail setup dialog opened by "Email Setup";
# then the web page's pages (tests/browser/web_page_screenshots.py).
# Everything runs on loopback; the settings file beside the program copy
# points at the simulator before the program starts.
#
#   scripts/screenshots.sh            # pictures into docs/
#   OUT=/tmp/shots scripts/screenshots.sh
#
# docs/main-window.png is only written when it does not exist yet (or with
# MAIN_WINDOW=1). SKIP_BUILD=1 takes the programs already built in BUILD_DIR.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

install_packages "${BUILD_PACKAGES[@]}" "${SCREENSHOT_PACKAGES[@]}"

BUILD_DIR="${BUILD_DIR:-$REPO_ROOT/build}"
OUT="${OUT:-$REPO_ROOT/docs}"
# A loopback address of its own, so that the start page's port 80 does not
# clash with another simulator on 127.0.0.1.
CAMERA="${CAMERA:-127.0.0.71}"
mkdir -p "$OUT"

if [ ! -f "$BUILD_DIR/CMakeCache.txt" ]; then
    cmake -S "$REPO_ROOT" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
if [ "${SKIP_BUILD:-0}" != 1 ]; then
    cmake --build "$BUILD_DIR" -j 2 --target ipcam-recorder ipcam-sim >/dev/null
fi

WORK="$(mktemp -d)"
PIDS=()
cleanup() {
    local pid
    for pid in "${PIDS[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    wait 2>/dev/null || true
    rm -rf "$WORK"
}
trap cleanup EXIT

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# A free X display number.
DISPLAY_NUMBER=90
while [ -e "/tmp/.X11-unix/X$DISPLAY_NUMBER" ] || [ -e "/tmp/.X$DISPLAY_NUMBER-lock" ]; do
    DISPLAY_NUMBER=$((DISPLAY_NUMBER + 1))
done
Xvfb ":$DISPLAY_NUMBER" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
PIDS+=($!)
export DISPLAY=":$DISPLAY_NUMBER"
export QT_QPA_PLATFORM=xcb
for _ in $(seq 50); do
    xdpyinfo >/dev/null 2>&1 && break
    sleep 0.1
done

STREAM_PORT="$(free_port)"
"$BUILD_DIR/tools/ipcam-sim" --bind "$CAMERA" --port "$STREAM_PORT" --http-port 80 --password pxwqe \
    --name "IPCam Simulator" --still </dev/null >"$WORK/sim.log" 2>&1 &
PIDS+=($!)

# The program reads the settings file beside itself: run a copy.
mkdir -p "$WORK/bin" "$WORK/recordings"
cp "$BUILD_DIR/ipcam-recorder" "$WORK/bin/"
write_loopback_settings "$WORK/bin/ipcam-recorder.INI" "$CAMERA" "$STREAM_PORT" "$WORK/recordings" 1
# A schedule and the alarm e-mail filled in, so the dialogs show every control in use.
{
    echo "TimeBlock3_8=1"
    echo "TimeBlock3_9=1"
    echo "Alarm_Email_Enabled=1"
    echo "SMTP_Server=127.0.0.1"
    echo "SMTP_Sender=camera@example.invalid"
    echo "SMTP_Receiver=me@example.invalid"
    echo "SMTP_EmailAccount=camera"
    echo "SMTP_EmailPassword=secret"
    echo "SMTP_Auth_Enabled=1"
    echo "Motion_Preroll_Seconds=3"
    echo "Keep_Days=30"
} >>"$WORK/bin/ipcam-recorder.INI"
(cd "$WORK" && exec "$WORK/bin/ipcam-recorder") >"$WORK/recorder.log" 2>&1 &
PIDS+=($!)

# Waits for a window named $1 and prints its id.
window_named() {
    local id
    for _ in $(seq 100); do
        id="$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n1)"
        if [ -n "$id" ]; then
            echo "$id"
            return 0
        fi
        sleep 0.1
    done
    echo "error: no window named '$1'" >&2
    return 1
}

# Clicks at ($2, $3) inside window $1.
click_in() {
    local x y
    eval "$(xdotool getwindowgeometry --shell "$1")"
    x=$((X + $2))
    y=$((Y + $3))
    xdotool mousemove "$x" "$y" click 1
}

shoot() {
    import -window "$1" "$2"
    echo "wrote $2"
}

MAIN="$(window_named 'IPCam Recorder, v1.5, 2006/10/12')"
sleep 12  # connected, pictures arriving
if [ ! -e "$OUT/main-window.png" ] || [ "${MAIN_WINDOW:-0}" = 1 ]; then
    shoot "$MAIN" "$OUT/main-window.png"
else
    shoot "$MAIN" "$WORK/main-window.png"
    echo "kept the existing $OUT/main-window.png"
fi

click_in "$MAIN" $((72 + 24)) $((305 + 24))      # Settings
SETUP="$(window_named 'IP CAM Setup')"
sleep 0.5
shoot "$SETUP" "$OUT/setup-dialog.png"

click_in "$SETUP" $((420 + 78 + 42)) $((123 + 20 + 14))  # Email Setup
EMAIL="$(window_named 'Alarm Email Setup')"
sleep 0.5
shoot "$EMAIL" "$OUT/email-dialog.png"

click_in "$EMAIL" $((270 + 45)) $((293 + 14))    # Exit
sleep 0.3
click_in "$SETUP" $((307 + 45)) $((536 + 14))    # Exit
sleep 0.3

# The web page in Chromium at a desktop's and a phone's width, against the
# headless program and the simulator, in a network namespace of its own
# (only its loopback exists). WEB_PAGE=0 leaves it out.
if [ "${WEB_PAGE:-1}" = 1 ]; then
    install_packages chromium chromium-driver python3-selenium
    unshare -rn sh -c 'ip link set lo up && exec /usr/bin/python3 "$0" "$1" "$2" "$3"' \
        "$REPO_ROOT/tests/browser/web_page_screenshots.py" "$BUILD_DIR/ipcam-recorder" "$BUILD_DIR/tools/ipcam-sim" "$OUT"
fi
