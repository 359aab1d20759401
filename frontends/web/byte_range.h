#pragma once
// The byte range a download asks for (the Range header of a request).

#include <cstdint>
#include <string>

namespace ipcam {

// "bytes=a-b", "bytes=a-", "bytes=-n" over a file of `size` bytes: the part
// [first, last], or Unsatisfiable (416). A header of any other form (several
// ranges) is ignored: the whole file is sent.
enum class RangeResult { Whole, Part, Unsatisfiable };
RangeResult parseRange(const std::string& header, uint64_t size, uint64_t& first, uint64_t& last);

}  // namespace ipcam
