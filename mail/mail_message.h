#pragma once
// The alarm e-mail as a value, and the pure rules that turn it into the text
// that goes over the wire after "Data": headers, folding, address rendering,
// encoded words, the multipart body and the base64 attachment.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/clock.h"

namespace ipcam {

struct MailAddress {
    std::string name;     // display name, may be empty; UTF-8
    std::string address;  // the bare address

    bool operator==(const MailAddress&) const = default;
};

enum class MailPriority { Highest = 0, High = 1, Normal = 2, Low = 3, Lowest = 4 };

struct MailAttachment {
    std::string fileName;     // path of the file to send
    std::string contentType;  // empty: "application/octet-stream"
    std::string disposition;  // empty: "attachment"
    // The content is always sent base64-encoded.
};

// A local date and time together with the local offset from UTC.
struct MailDate {
    LocalDateTime local;
    int utcOffsetMinutes = 0;  // east of UTC is positive
};

struct MailMessage {
    MailAddress from;
    std::vector<MailAddress> to;
    std::vector<MailAddress> cc;
    std::vector<MailAddress> bcc;
    std::string subject;
    MailPriority priority = MailPriority::Normal;
    MailDate date;
    std::string charset;
    std::string contentType;
    std::vector<std::string> body;
    std::vector<MailAttachment> attachments;

    void clear() { *this = MailMessage{}; }
};

inline constexpr std::string_view kMailBoundary = "=_NextPart_2rfkindysadvnqw3nerasdf";
inline constexpr std::string_view kMailLibrary = "IPCam Recorder Mail 1.5";
inline constexpr size_t kMailFoldLimit = 78;

// Whether `text` holds a character that may not stand in an SMTP command or
// a header line: CR, LF, NUL, any other control character below 0x20, or DEL.
bool hasControlCharacter(std::string_view text);

// Standard alphabet, "=" padding, no line breaks.
std::string base64Encode(std::string_view data);

// The attachment content: pieces of 57 bytes, each encoded on its own line
// (at most 76 characters, no line ends here).
std::vector<std::string> base64Lines(std::string_view data);

// "Tue, 5 Mar 2024 14:03:09 +0800".
std::string formatMailDate(const MailDate& date);

// The machine's local time and offset from UTC, now.
MailDate currentMailDate();

// Text that may contain characters outside printable ASCII, as one or more
// RFC 2047 encoded words separated by blanks (ISO-8859-1 when every character
// fits, otherwise UTF-8; Q encoding). Text that is printable ASCII is
// returned unchanged.
std::string encodeWords(std::string_view utf8Text);

// One address as it appears in a header.
std::string renderAddress(const MailAddress& a);

// Breaks one header line at the last blank or tab before 78 characters that
// is not inside double quotes; continuation lines begin with one blank;
// trailing blanks and tabs of every line are removed.
std::vector<std::string> foldHeaderLine(const std::string& line);

// The content type that goes on the wire, with the character set appended.
std::string decidedContentType(const MailMessage& m);

// The copy field of the settings: cut at commas outside double quotes, each
// piece trimmed, empty pieces skipped; "Name <addr>", "\"Name\" <addr>" or a
// bare address.
std::vector<MailAddress> parseAddressList(std::string_view text);

// The message text line by line (no line ends, no dot doubling).
// `attachmentContents[i]` is the content of `m.attachments[i]`.
std::vector<std::string> composeMessageLines(const MailMessage& m,
                                             const std::vector<std::string>& attachmentContents);

}  // namespace ipcam
