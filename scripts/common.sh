# Shared by the scripts: install what is missing (Debian packages only).
set -euo pipefail

REPO_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

as_root() {
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    elif command -v sudo >/dev/null 2>&1; then
        sudo "$@"
    else
        echo "error: this step needs root (or sudo): $*" >&2
        exit 1
    fi
}

install_packages() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$pkg")
        fi
    done
    if [ "${#missing[@]}" -gt 0 ]; then
        echo "Installing: ${missing[*]}"
        as_root apt-get update -qq
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
    fi
}

BUILD_PACKAGES=(cmake ninja-build g++ pkg-config qt6-base-dev libjpeg62-turbo-dev libgl-dev libssl-dev libsystemd-dev libavformat-dev libavcodec-dev libavutil-dev libswscale-dev libxcb1-dev libxcb-shm0-dev libmicrohttpd-dev ca-certificates)
# systemd: systemd-analyze checks the service unit (missing from a minimal Debian 12).
# iproute2: the headless end-to-end test brings up loopback in a network namespace of its own.
# ffmpeg: ffprobe reads the recordings of the standard-camera end-to-end test, as another player would.
# The RTSP test camera: GStreamer's RTSP server with H.264, H.265 and audio encoders.
# The web page's browser test: Chromium driven by Selenium, on loopback in a network namespace.
TEST_PACKAGES=(libgtest-dev libgmock-dev desktop-file-utils systemd iproute2 ffmpeg xvfb
               libgstrtspserver-1.0-dev libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev
               gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad
               gstreamer1.0-plugins-ugly chromium chromium-driver python3-selenium)
BENCH_PACKAGES=(libbenchmark-dev xvfb libcap2-bin gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad gstreamer1.0-x gstreamer1.0-libav
                libgstrtspserver-1.0-dev gstreamer1.0-plugins-ugly)
# The Debian package: dpkg-shlibdeps (dpkg-dev) and file(1) find its library dependencies.
PACKAGE_PACKAGES=(dpkg-dev file)
# The simulator's start page on port 80 without running it as root.
DEMO_PACKAGES=(libcap2-bin)
# Screenshots of the real program on a virtual display.
SCREENSHOT_PACKAGES=(xvfb xauth x11-utils imagemagick xdotool)
# scripts/fuzz.sh: clang with libFuzzer and the sanitizer runtimes.
FUZZ_PACKAGES=(clang libclang-rt-14-dev)

# The recorder looks for the camera's start page on port 80, a privileged
# port. For a normal user the simulator gets just that one capability
# (granted once through sudo) instead of running as root.
allow_port_80() {
    local sim="$1"
    # getcap lives in /usr/sbin, which is not on a normal user's PATH.
    local getcap
    getcap="$(command -v getcap || echo /usr/sbin/getcap)"
    if [ "$(id -u)" -ne 0 ] && ! "$getcap" "$sim" 2>/dev/null | grep -q cap_net_bind_service; then
        echo "Allowing $(basename "$sim") to open port 80 (setcap cap_net_bind_service)"
        as_root setcap cap_net_bind_service=+ep "$sim"
    fi
}

# Writes a settings file that points at the simulator on loopback, so nothing
# ever looks for a real camera.
#   write_loopback_settings FILE HOST PORT RECORDINGS [MOTION 0|1]
write_loopback_settings() {
    local file="$1" host="$2" port="$3" recordings="$4" motion="${5:-0}"
    (
        umask 077
        {
            echo "[IPCAM_1]"
            echo "Host_Addr=$host"
            echo "Host_Port=$port"
            echo "IPCAM_Password=pxwqe"
            echo "Descriptor="
            echo "AVI_Directory=$recordings"
            echo "Motion_Detection_Enabled=$motion"
            echo "Motion_sensitivity=5"
            echo "Resolution=1"
            echo "Frequency=1"
            echo "Quality=1"
            echo "Brightness=1"
            echo "Orientation=0"
        } >"$file"
    )
}
