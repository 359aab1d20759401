#!/usr/bin/env bash
# Builds the fuzz targets (tests/fuzz/fuzz_*.cpp) with clang, libFuzzer,
# AddressSanitizer and UndefinedBehaviorSanitizer, and runs each for SECONDS
# (default 60) starting from its stored corpus.
#   scripts/fuzz.sh [SECONDS] [TARGET...]
# New inputs go to a scratch folder, never into the repository:
#   $FUZZ_OUT/<target>/corpus     grown corpus
#   $FUZZ_OUT/<target>/crash-*    findings (also leak-*, timeout-*, oom-*)
#   $FUZZ_OUT/<target>/log        libFuzzer's output
# FUZZ_OUT defaults to /tmp/ipcam-fuzz; SKIP_BUILD=1 reuses the last build.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

RUN_SECONDS="${1:-60}"
[ $# -gt 0 ] && shift
if ! [[ "$RUN_SECONDS" =~ ^[0-9]+$ ]]; then
    echo "usage: $0 [SECONDS] [TARGET...]" >&2
    exit 2
fi

BUILD_DIR="${BUILD_DIR:-$REPO_ROOT/build-fuzz}"
FUZZ_OUT="${FUZZ_OUT:-${TMPDIR:-/tmp}/ipcam-fuzz}"
CORPUS_ROOT="$REPO_ROOT/tests/fuzz/corpus"

if [ "${SKIP_BUILD:-0}" != 1 ]; then
    install_packages "${BUILD_PACKAGES[@]}" "${FUZZ_PACKAGES[@]}"
    FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
    LAUNCHER=()
    if command -v ccache >/dev/null 2>&1; then
        LAUNCHER=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    fi
    cmake -S "$REPO_ROOT" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_CXX_COMPILER=clang++ "${LAUNCHER[@]}" \
        -DIPCAM_BUILD_TESTS=ON -DIPCAM_FUZZ=ON \
        -DCMAKE_CXX_FLAGS="$FLAGS" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
    cmake --build "$BUILD_DIR" --target fuzz_targets -j "${JOBS:-$(nproc)}"
fi

if [ $# -gt 0 ]; then
    TARGETS=("$@")
else
    TARGETS=()
    for dir in "$CORPUS_ROOT"/*/; do
        TARGETS+=("$(basename "$dir")")
    done
fi

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export QT_QPA_PLATFORM=offscreen

status=0
for target in "${TARGETS[@]}"; do
    exe="$BUILD_DIR/tests/fuzz/fuzz_$target"
    out="$FUZZ_OUT/$target"
    mkdir -p "$out/corpus"
    echo "== $target: ${RUN_SECONDS}s"
    # The scratch folder comes first: libFuzzer writes new inputs there.
    if "$exe" -max_total_time="$RUN_SECONDS" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$out/" "$out/corpus" "$CORPUS_ROOT/$target" >"$out/log" 2>&1; then
        result=ok
    else
        result="FOUND SOMETHING (see $out/log and $out/)"
        status=1
    fi
    execs="$(grep -m1 'stat::number_of_executed_units' "$out/log" | awk '{print $2}' || true)"
    cov="$(grep -E '^#[0-9]+' "$out/log" | tail -n 1 | grep -oE 'cov: [0-9]+' || true)"
    echo "   $result; executions: ${execs:-?}; ${cov:-cov: ?}; corpus: $(ls "$out/corpus" | wc -l) new"
done
exit "$status"
