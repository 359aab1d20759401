#!/usr/bin/env bash
# Installs what is missing, builds the benchmarks in Release and runs them:
# peak memory first (a process of its own, then the full pre-roll in
# another), then the picture path,
# recording (with the user-interface thread's longest stall while every disk
# sync takes 1.5 s), playback and disk guard beside their floors, then the idle cost
# against the camera simulator on 127.0.0.1, then the whole program shown on
# Xvfb (its simulator's start page listens on port 80: as a normal user the
# benchmark gets that one capability through sudo, once), then on standard
# MJPEG streams (640x480, 1280x720, 1920x1080 at 30/s) the program shown and
# recording beside a gst-launch-1.0 pipeline that shows and records the same
# stream on the same display; the headless program on a standard MJPEG stream (motion detection
# with the preview not wanted beside it decoded, 1920x1080; peak memory recording 3840x2160).
# Ends with one table of every figure and its goal.
#   BUILD_DIR     build directory (default build-bench)
#   IDLE_SECONDS  length of the idle measurement (default 15)
#   SHOWN_SECONDS length of each window of the shown program (default 8;
#                 BENCH_SHOWN_REPEATS windows per case, default 3)
#   BENCH_ARGS    Google Benchmark flags for bench_ipcam (default: five
#                 repetitions in random order, so the table shows medians
#                 rather than one run's noise)
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

install_packages "${BUILD_PACKAGES[@]}" "${BENCH_PACKAGES[@]}"

BUILD_DIR="${BUILD_DIR:-$REPO_ROOT/build-bench}"
IDLE_SECONDS="${IDLE_SECONDS:-15}"
SHOWN_SECONDS="${SHOWN_SECONDS:-8}"
cmake -S "$REPO_ROOT" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release -DIPCAM_BUILD_BENCH=ON -DIPCAM_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD_DIR" --target bench_ipcam bench_memory bench_idle bench_shown bench_receive bench_headless ipcam-recorder ipcam-rtsp-sim -j "$(nproc)"

export QT_QPA_PLATFORM=offscreen
OUT="$(mktemp -d)"
trap 'rm -rf "$OUT"' EXIT

echo
echo "== Peak memory over a 600-second recording =="
"$BUILD_DIR/bench/bench_memory" | tee "$OUT/memory.txt"

echo
echo "== Peak memory of a 1920x1080 recording, no pre-roll =="
"$BUILD_DIR/bench/bench_memory" 1080p | tee "$OUT/memory1080.txt"

echo
echo "== Peak memory of a full 10-second pre-roll at 1920x1080, then a Motion file =="
"$BUILD_DIR/bench/bench_memory" preroll | tee "$OUT/preroll.txt"

echo
echo "== Picture path, recording, playback, disk guard =="
"$BUILD_DIR/bench/bench_ipcam" --benchmark_format=console ${BENCH_ARGS:---benchmark_repetitions=5 --benchmark_enable_random_interleaving=true} | tee "$OUT/ipcam.txt"

echo
echo "== Idle cost against the simulator (${IDLE_SECONDS} s) =="
"$BUILD_DIR/bench/bench_idle" "$IDLE_SECONDS" | tee "$OUT/idle.txt"

echo
echo "== The headless program: motion detection with the preview not wanted, peak memory at 3840x2160 =="
"$BUILD_DIR/bench/bench_headless" --benchmark_counters_tabular=true | tee "$OUT/headless.txt"

echo
echo "== The whole program shown on Xvfb, per picture beside its decode alone =="
allow_port_80 "$BUILD_DIR/bench/bench_shown"
# Its own X server; the window is really mapped, not Qt's offscreen platform.
env -u QT_QPA_PLATFORM "$BUILD_DIR/bench/bench_shown" "$BUILD_DIR/ipcam-recorder" "$SHOWN_SECONDS" | tee "$OUT/shown.txt" ||
    echo "(some cases of the shown program could not be measured)"

echo
echo "== Results =="
grep -m1 '^Machine:' "$OUT/ipcam.txt" || true
echo
grep '^| ' "$OUT/ipcam.txt" | head -1
grep '^|-' "$OUT/ipcam.txt" | head -1
grep '^| ' "$OUT/ipcam.txt" | tail -n +2
sed -n 's/^RESULT //p' "$OUT/memory.txt" "$OUT/memory1080.txt" "$OUT/preroll.txt" "$OUT/idle.txt" "$OUT/headless.txt" "$OUT/shown.txt"
echo
echo "In-process: every row without \"(whole)\" (the program's code run inside the benchmark,"
echo "its own thread's or loop's time). Whole program: rows marked \"(whole)\" are the CPU time of"
echo "the running ipcam-recorder process (all threads, its CPU-time clock) with its window shown on"
echo "Xvfb, per picture received; their floor is the decode alone of the same pictures, in-process."
echo "MJPEG rows: the program shown and recording beside gst-launch-1.0 (souphttpsrc ! multipartdemux !"
echo "jpegparse ! capssetter ! tee, one branch jpegdec ! videoconvert ! ximagesink, the other avimux !"
echo "filesink), whole process each, on the same stream and display; the floor column is the pipeline."
