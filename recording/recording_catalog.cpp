#include "recording/recording_catalog.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <tuple>

namespace ipcam {

namespace fs = std::filesystem;

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool allDigits(std::string_view s) { return std::all_of(s.begin(), s.end(), isDigit); }

// Digits as a number, held at UINT64_MAX past it.
uint64_t numberOf(std::string_view digits) {
    uint64_t n = 0;
    for (char c : digits) n = n < UINT64_MAX / 10 ? n * 10 + static_cast<uint64_t>(c - '0') : UINT64_MAX;
    return n;
}

// (six-digit time, number after "-", rest); a name not starting with six
// digits is its own first part.
struct NameKey {
    std::string_view time;
    uint64_t number = 0;
    std::string_view rest;
};

NameKey keyOf(std::string_view name) {
    if (name.size() < 6 || !allDigits(name.substr(0, 6)))
        return {name, 0, {}};
    NameKey key{name.substr(0, 6), 0, name.substr(6)};
    if (name.size() > 7 && name[6] == '-' && isDigit(name[7])) {
        size_t i = 7;
        while (i < name.size() && isDigit(name[i])) ++i;
        key.number = numberOf(name.substr(7, i - 7));
        key.rest = name.substr(i);
    }
    return key;
}

bool isRealDirectory(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

const RecordingFormatTraits& traitsOf(RecordingFormat format) {
    for (const RecordingFormatTraits& t : kRecordingFormats)
        if (t.format == format) return t;
    return kRecordingFormats[0];
}

char markLetter(RecordingMark mark) { return mark == RecordingMark::Alarm ? 'A' : 'T'; }
RecordingMark markOfLetter(char letter) { return letter == 'A' ? RecordingMark::Alarm : RecordingMark::Timed; }

RecordingFormat formatOfFileName(std::string_view name) {
    const std::string_view mkv = traitsOf(RecordingFormat::Mkv).extension;
    if (name.size() < mkv.size()) return RecordingFormat::Avi;
    const std::string_view tail = name.substr(name.size() - mkv.size());
    const bool same = std::equal(tail.begin(), tail.end(), mkv.begin(), [](char a, char b) {
        return (a >= 'a' && a <= 'z' ? static_cast<char>(a - 'a' + 'A') : a) == b;
    });
    return same ? RecordingFormat::Mkv : RecordingFormat::Avi;
}

bool isDateFolderName(std::string_view name) { return name.size() == 8 && allDigits(name); }

std::optional<RecordingName> RecordingName::parseFileName(std::string_view name) {
    // HHMMSS [-N] {A,T} .EXT
    if (name.size() < 6 + 1 + 4 || !allDigits(name.substr(0, 6))) return std::nullopt;
    RecordingName r;
    const std::string_view ext = name.substr(name.size() - 4);
    const auto format = std::find_if(std::begin(kRecordingFormats), std::end(kRecordingFormats),
                                     [&](const RecordingFormatTraits& t) { return t.extension == ext; });
    if (format == std::end(kRecordingFormats)) return std::nullopt;
    const char letter = name[name.size() - 5];
    if (letter != 'A' && letter != 'T') return std::nullopt;
    const std::string_view middle = name.substr(6, name.size() - 11);
    if (!middle.empty() && (middle.size() < 2 || middle[0] != '-' || !allDigits(middle.substr(1))))
        return std::nullopt;
    r.time = std::string(name.substr(0, 6));
    r.suffix = middle.empty() ? std::string() : std::string(middle.substr(1));
    r.mark = markOfLetter(letter);
    r.format = format->format;
    return r;
}

std::optional<RecordingName> RecordingName::parse(std::string_view dateFolder, std::string_view fileName) {
    if (!isDateFolderName(dateFolder)) return std::nullopt;
    auto r = parseFileName(fileName);
    if (r) r->date = std::string(dateFolder);
    return r;
}

std::optional<RecordingName> RecordingName::parse(std::string_view relativePath) {
    const size_t slash = relativePath.find('/');
    if (slash == std::string_view::npos) return std::nullopt;
    // A second "/" fails the file name's own rule.
    return parse(relativePath.substr(0, slash), relativePath.substr(slash + 1));
}

std::string RecordingName::fileName() const {
    std::string name = time;
    if (!suffix.empty()) name += '-' + suffix;
    name += markLetter(mark);
    name += traitsOf(format).extension;
    return name;
}

std::string RecordingName::relativePath() const { return date + '/' + fileName(); }

bool operator<(const RecordingName& a, const RecordingName& b) {
    // recordingNameLess by the fields, without composing the names.
    if (a.date != b.date) return a.date < b.date;
    if (a.time != b.time) return a.time < b.time;
    const uint64_t na = numberOf(a.suffix), nb = numberOf(b.suffix);
    if (na != nb) return na < nb;
    if (a.mark != b.mark) return markLetter(a.mark) < markLetter(b.mark);
    if (a.format != b.format) return traitsOf(a.format).extension < traitsOf(b.format).extension;
    return a.fileName() < b.fileName();  // "-0" and "-00" and none: as written
}

bool recordingNameLess(std::string_view a, std::string_view b) {
    const NameKey ka = keyOf(a), kb = keyOf(b);
    return std::tie(ka.time, ka.number, ka.rest, a) < std::tie(kb.time, kb.number, kb.rest, b);
}

std::vector<std::string> kindFilterMasks(KindFilter filter) {
    const std::string letter = filter == KindFilter::Alarm   ? "A"
                               : filter == KindFilter::Timed ? "T"
                                                             : "";
    std::vector<std::string> masks;
    for (const RecordingFormatTraits& t : kRecordingFormats)
        masks.push_back("*" + letter + std::string(t.extension));
    return masks;
}

std::vector<std::string> listDateFolders(const std::string& folder) {
    std::vector<std::string> dates;
    if (folder.empty()) return dates;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code sec;
        const std::string name = it->path().filename().string();
        if (isDateFolderName(name) && it->symlink_status(sec).type() == fs::file_type::directory && !sec)
            dates.push_back(name);
    }
    std::sort(dates.begin(), dates.end());  // 8 digits each: name order is date order
    return dates;
}

DayListing listDay(const std::string& folder, const std::string& date) {
    DayListing out;
    std::error_code ec;
    fs::directory_iterator it(fs::path(folder) / date, ec);
    if (ec) return out;
    out.readable = true;
    for (fs::directory_iterator end; !ec && it != end; it.increment(ec)) {
        out.empty = false;
        std::error_code sec;
        const auto type = it->symlink_status(sec).type();
        if (sec || type != fs::file_type::regular) continue;
        if (auto name = RecordingName::parse(date, it->path().filename().string()))
            out.recordings.push_back(std::move(*name));
    }
    if (ec) out.readable = false;
    std::sort(out.recordings.begin(), out.recordings.end());
    return out;
}

std::vector<RecordingDay> listRecordings(const std::string& folder, KindFilter filter, ListOrder order) {
    std::vector<RecordingDay> days;
    for (const std::string& date : listDateFolders(folder)) {
        RecordingDay day{date, {}};
        for (RecordingName& name : listDay(folder, date).recordings) {
            if (filter == KindFilter::Alarm && !name.alarm()) continue;
            if (filter == KindFilter::Timed && name.alarm()) continue;
            struct stat st {};
            const std::string path = folder + '/' + name.relativePath();
            if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;  // gone meanwhile
            day.recordings.push_back({std::move(name), static_cast<uint64_t>(st.st_size)});
        }
        if (day.recordings.empty()) continue;
        if (order == ListOrder::NewestFirst) std::reverse(day.recordings.begin(), day.recordings.end());
        days.push_back(std::move(day));
    }
    if (order == ListOrder::NewestFirst) std::reverse(days.begin(), days.end());
    return days;
}

std::optional<std::string> resolveRecording(const std::string& folder, std::string_view name) {
    const auto parsed = RecordingName::parse(name);
    if (!parsed || folder.empty()) return std::nullopt;
    const std::string day = folder + '/' + parsed->date;
    if (!isRealDirectory(day)) return std::nullopt;
    const std::string path = day + '/' + parsed->fileName();
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return path;
}

}  // namespace ipcam
