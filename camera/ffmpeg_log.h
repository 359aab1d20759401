#pragma once
// FFmpeg's own messages ("[tcp @ 0x...] Connection to tcp://... failed")
// go to the activity log like ours, in the category ipcam.ffmpeg: FFmpeg's
// error and worse as critical, warning as warning, info as info, anything
// more verbose as debug. Addresses and passwords in them are masked, control
// characters dropped, and a line longer than kFfmpegLogLineLimit bytes is
// cut. FFmpeg calls the callback on whatever thread logs (the RTSP reader's):
// it keeps no state shared between threads.

#include <cstddef>

namespace ipcam {

inline constexpr size_t kFfmpegLogLineLimit = 1024;

// Installs the callback; once is enough, further calls do nothing. To be
// called before FFmpeg is first used.
void installFfmpegLog();

}  // namespace ipcam
