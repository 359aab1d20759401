#!/usr/bin/env bash
# Installs what is missing, builds in Release and makes the Debian package
# (CPack; library dependencies found by dpkg-shlibdeps). Prints its name.
#   BUILD_DIR   build directory (default build-package)
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

install_packages "${BUILD_PACKAGES[@]}" "${PACKAGE_PACKAGES[@]}"

BUILD_DIR="${BUILD_DIR:-$REPO_ROOT/build-package}"
# An existing build folder keeps its own configuration.
[ -f "$BUILD_DIR/CMakeCache.txt" ] || cmake -S "$REPO_ROOT" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release -DIPCAM_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD_DIR" -j "$(nproc)" --target ipcam-recorder ipcam-sim
rm -f "$BUILD_DIR"/ipcam-recorder_*.deb
(cd "$BUILD_DIR" && cpack -G DEB >/dev/null)
DEB="$(ls "$BUILD_DIR"/ipcam-recorder_*.deb)"
echo "$DEB"
echo "Install it with:  apt install $DEB   (as root, or with sudo)"
