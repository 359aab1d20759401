#!/usr/bin/env bash
# Soak run of the headless recorder against the camera simulator, faults
# every few minutes, then every recording checked against the pictures sent.
#   scripts/soak.sh [MINUTES] [options of bench/soak/soak.py, e.g. --legacy, --fault-every 240]
#   BUILD_DIR  build directory (default build-test; only the program and the simulator are built)
# Needs root: the recordings go to a small tmpfs it mounts, and the run is
# held in a network namespace of its own where only its loopback exists.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

MINUTES=60
if [ $# -gt 0 ] && [[ "$1" =~ ^[0-9]+([.][0-9]+)?$ ]]; then MINUTES="$1"; shift; fi
[ "$(id -u)" -eq 0 ] || { echo "error: the soak run needs root (tmpfs mount, network namespace)" >&2; exit 1; }
install_packages "${BUILD_PACKAGES[@]}" iproute2 strace python3

BUILD_DIR="${BUILD_DIR:-$REPO_ROOT/build-test}"
LAUNCHER=()
command -v ccache >/dev/null 2>&1 && LAUNCHER=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
if [ ! -f "$BUILD_DIR/CMakeCache.txt" ]; then
    cmake -S "$REPO_ROOT" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DIPCAM_BUILD_TESTS=ON \
        "${LAUNCHER[@]}" >/dev/null
fi
cmake --build "$BUILD_DIR" --target ipcam-recorder ipcam-sim -j "${JOBS:-$(nproc)}"

exec unshare -n sh -c 'ip link set lo up && exec python3 "$0" "$@"' \
    "$REPO_ROOT/bench/soak/soak.py" --build "$BUILD_DIR" --minutes "$MINUTES" "$@"
