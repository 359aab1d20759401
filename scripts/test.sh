#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test through CTest.
#   scripts/test.sh          ordinary build (build-test/)
#   scripts/test.sh --asan   AddressSanitizer + UndefinedBehaviorSanitizer (build-asan/)
#   scripts/test.sh --tsan   ThreadSanitizer (build-tsan/), with tests/tsan.supp
# Further options go to ctest (scripts/test.sh -R settings).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

MODE=plain
case "${1:-}" in
    --asan) MODE=asan; shift ;;
    --tsan) MODE=tsan; shift ;;
    --help) echo "usage: $0 [--asan|--tsan] [ctest options...]"; exit 0 ;;
esac

install_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"

SAN_FLAGS=""
case "$MODE" in
    plain)
        BUILD_DIR="${BUILD_DIR:-$REPO_ROOT/build-test}" ;;
    asan)
        BUILD_DIR="${BUILD_DIR:-$REPO_ROOT/build-asan}"
        SAN_FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
        # strndup is not intercepted: libxkbcommon-x11 (Qt's X11 platform, in
        # the X11 preview's test) hands it buffers that end without a NUL,
        # which the interceptor reads past. Leaks of the system's D-Bus
        # library are suppressed (tests/lsan.supp).
        export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1:intercept_strndup=0"
        export LSAN_OPTIONS="suppressions=$REPO_ROOT/tests/lsan.supp:print_suppressions=0"
        export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
        ;;
    tsan)
        BUILD_DIR="${BUILD_DIR:-$REPO_ROOT/build-tsan}"
        SAN_FLAGS="-fsanitize=thread -fno-omit-frame-pointer"
        # die_after_fork=0: the crash-recovery test records in a forked child, which starts the recording thread.
        export TSAN_OPTIONS="suppressions=$REPO_ROOT/tests/tsan.supp:halt_on_error=1:second_deadlock_stack=1:print_suppressions=0:die_after_fork=0"
        ;;
esac

LAUNCHER=()
if command -v ccache >/dev/null 2>&1; then
    LAUNCHER=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi

cmake -S "$REPO_ROOT" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DIPCAM_BUILD_TESTS=ON \
    "${LAUNCHER[@]}" \
    -DCMAKE_CXX_FLAGS="$SAN_FLAGS" \
    -DCMAKE_EXE_LINKER_FLAGS="$SAN_FLAGS" -DCMAKE_SHARED_LINKER_FLAGS="$SAN_FLAGS" >/dev/null
cmake --build "$BUILD_DIR" -j "${JOBS:-$(nproc)}"
[ "${BUILD_ONLY:-0}" = 1 ] && exit 0
cd "$BUILD_DIR"
QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j "${JOBS:-$(nproc)}" "$@"
