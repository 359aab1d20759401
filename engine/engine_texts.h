#pragma once
// The words for the engine's state and codes, as the program has always
// shown them. Every front end uses these; none makes its own.

#include <string>

#include "engine/engine_state.h"

namespace ipcam {

// The program's name and version, as its window's title shows it.
inline constexpr const char* kVersionLine = "IPCam Recorder, v1.5, 2006/10/12";

// The line above the preview: the camera's name, or what the link is doing.
std::string linkLineText(const EngineState& s);
// The line under the preview: the rate, or what ended the link.
std::string statusLineText(const EngineState& s);
// "Free Space :N M Bytes." (megabytes of 2^20 bytes); "" while not known.
std::string freeSpaceLineText(const EngineState& s);
// What the please-wait notice says (a front end blinks the waiting one).
std::string waitText(LinkWait wait);
// What an event tells a person (a box's text, a log line's).
std::string eventText(const EngineEvent& e);
// The link's state in a few words, for a status line of the service or a page.
std::string linkSummary(const EngineState& s);

}  // namespace ipcam
