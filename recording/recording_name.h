#pragma once
// The order of recording names: by start time, and within one second the
// file named without "-N" first, then "-1", "-2", ... (a later recording of
// the same second gets the next number). Between names of the same second
// and number, name order decides, so "A.AVI" comes before "A.MKV", "T.AVI", "T.MKV".

#include <string_view>

namespace ipcam {

// Strict weak order over any file names; names that do not begin with six
// digits are compared as plain names.
bool recordingNameLess(std::string_view a, std::string_view b);

}  // namespace ipcam
