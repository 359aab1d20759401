#pragma once
// FFmpeg's process-wide memory limit. A camera, or a file, declares sizes
// that FFmpeg allocates as they come (an RTSP reply's Content-Length, a
// frame put together from its pieces, a Matroska element); no single
// allocation may pass kFfmpegMaxAlloc, so what a peer declares fails that
// read instead of taking the memory.

#include <cstddef>

namespace ipcam {

// The largest single allocation FFmpeg makes here: 32 MiB. The largest
// legitimate ones stay below it:
// - a decoded plane: 4096x3072 luma at 10 bits is 24 MiB (a 4K 8-bit luma
//   plane 8 MiB; the preview decoder takes no larger picture);
// - the Matroska muxer's cluster: up to 5 MiB of cluster and a 16 MiB packet
//   (RtspSource's largest), grown by halves: at most about 31.5 MiB;
// - the H.264/H.265 parser's frame and a Matroska block on playback: a
//   packet, 16 MiB at most.
inline constexpr size_t kFfmpegMaxAlloc = size_t(32) << 20;

// Sets the limit once. Called before the first use of FFmpeg on every path
// (RTSP reading, Matroska writing and reading), so it is set before any
// thread allocates through FFmpeg.
void applyFfmpegLimits();

}  // namespace ipcam
