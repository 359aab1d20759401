#pragma once
// The recordings catalog: the one place that knows how a finished recording
// is named, and the listing of the recording folder by that rule.
//
// A recording lies in a date folder "YYYYMMDD" (exactly 8 digits) directly
// in the recording folder, named "HHMMSS" (6 digits), an optional "-N" (a
// later recording of the same second, N one or more digits), "A" (alarm:
// motion) or "T" (timed: manual or daily), then ".AVI" (Motion-JPEG) or
// ".MKV" (Matroska, a coded-video camera's stream copy), in capitals.
// Nothing else is a recording of ours: the writers name their files so, the
// disk guard and retention delete nothing else, and a name given from
// outside ("YYYYMMDD/NAME") is resolved to a file only when it follows the
// rule.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ipcam {

// The two kinds of recording file: Motion-JPEG AVI and Matroska.
enum class RecordingFormat { Avi, Mkv };
// Alarm ("A": a motion recording) or timed ("T": manual or daily).
enum class RecordingMark { Alarm, Timed };

// What a format means on disk. The format also decides the reader that
// opens it (openRecording, playback/recording_source.h): RecordedFile for
// AVI, MkvReader for Matroska.
struct RecordingFormatTraits {
    RecordingFormat format;
    std::string_view extension;  // ".AVI", ".MKV"
};
inline constexpr RecordingFormatTraits kRecordingFormats[] = {
    {RecordingFormat::Avi, ".AVI"},
    {RecordingFormat::Mkv, ".MKV"},
};
const RecordingFormatTraits& traitsOf(RecordingFormat format);
// The letter a kind puts before the extension: 'A' or 'T'.
char markLetter(RecordingMark mark);
RecordingMark markOfLetter(char letter);  // 'A' alarm, anything else timed

// The format a file is opened as, by its name: a name ending ".MKV" in any
// case is Matroska, anything else AVI (the playback window opens whatever
// file it lists; the reader refuses what is not ours).
RecordingFormat formatOfFileName(std::string_view name);

// Exactly 8 digits: a date folder.
bool isDateFolderName(std::string_view name);

class RecordingName {
public:
    std::string date;    // "YYYYMMDD"; empty when only the file name is known
    std::string time;    // "HHMMSS"
    std::string suffix;  // the digits after "-", as written; empty for none
    RecordingMark mark = RecordingMark::Timed;
    RecordingFormat format = RecordingFormat::Avi;

    // "YYYYMMDD/NAME" (one "/", nothing before or after).
    static std::optional<RecordingName> parse(std::string_view relativePath);
    static std::optional<RecordingName> parse(std::string_view dateFolder, std::string_view fileName);
    // A file name alone (date left empty).
    static std::optional<RecordingName> parseFileName(std::string_view fileName);

    bool alarm() const { return mark == RecordingMark::Alarm; }
    // "HHMMSS[-N]{A,T}.{AVI,MKV}".
    std::string fileName() const;
    // "YYYYMMDD/" + fileName().
    std::string relativePath() const;

    // Date, then recordingNameLess over the file names.
    friend bool operator<(const RecordingName& a, const RecordingName& b);
    friend bool operator==(const RecordingName& a, const RecordingName& b) = default;
};

// The order of recording names: by start time, and within one second the
// file named without "-N" first, then "-1", "-2", ... (a later recording of
// the same second gets the next number). Between names of the same second
// and number, name order decides, so "A.AVI" comes before "A.MKV", "T.AVI",
// "T.MKV". A strict weak order over any file names; names that do not begin
// with six digits are compared as plain names.
bool recordingNameLess(std::string_view a, std::string_view b);

// Which recordings a listing shows.
enum class KindFilter { All, Alarm, Timed };
// The playback window's file masks for a filter, AVI first: "*A.AVI",
// "*A.MKV"; "*T.AVI", "*T.MKV"; "*.AVI", "*.MKV".
std::vector<std::string> kindFilterMasks(KindFilter filter);

// The date folders directly in `folder`: real folders (not links) named
// with 8 digits, oldest first.
std::vector<std::string> listDateFolders(const std::string& folder);

// One date folder's recordings: regular files (not links) named by the
// rule, oldest first; `empty` when the folder holds nothing at all,
// `readable` false when it could not be listed (whole).
struct DayListing {
    std::vector<RecordingName> recordings;
    bool empty = true;
    bool readable = false;
};
DayListing listDay(const std::string& folder, const std::string& date);

struct RecordingEntry {
    RecordingName name;
    uint64_t size = 0;  // bytes; the length is the opened source's (secondsAt(frameCount()))
};
struct RecordingDay {
    std::string date;  // "YYYYMMDD"
    std::vector<RecordingEntry> recordings;
};
enum class ListOrder { NewestFirst, OldestFirst };
// Every recording in `folder` of the kinds `filter` lets through, by day;
// days and the recordings within each in `order`. Days without such a
// recording are left out.
std::vector<RecordingDay> listRecordings(const std::string& folder, KindFilter filter = KindFilter::All,
                                         ListOrder order = ListOrder::NewestFirst);

// The path of recording `name` ("YYYYMMDD/NAME") in `folder`: only for a
// name the rule accepts whose date folder is a real folder (not a link) and
// whose file is a regular file (not a link) in it. nullopt otherwise: a
// name off the rule, "..", an absolute path, a link, a file not there.
std::optional<std::string> resolveRecording(const std::string& folder, std::string_view name);

}  // namespace ipcam
