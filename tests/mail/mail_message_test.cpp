#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mail/Unit6.h"
#include "mail/mail_message.h"

namespace ipcam {
namespace {

MailDate fixedDate(int offsetMinutes = 480) {
    return MailDate{makeDateTime(2024, 3, 5, 14, 3, 9), offsetMinutes};
}

CameraSettings mailSettings() {
    CameraSettings s;
    s.smtpServer = "127.0.0.1";
    s.smtpSender = "cam@x.test";
    s.smtpReceiver = "boss@x.test";
    return s;
}

TEST(MailMessageText, AlarmMessageIsLaidOutLineByLine) {
    const MailMessage m = buildAlarmMessage(mailSettings(), "Cam", "/tmp/dir/jpeg_view01.jpg", fixedDate());
    const std::vector<std::string> expected = {
        "From: \"Cam\" <cam@x.test>",
        "Subject: Alarm Email",
        "To: boss@x.test",
        "Content-Type: multipart/mixed;",
        " boundary=\"=_NextPart_2rfkindysadvnqw3nerasdf\";ASCII",
        "MIME-Version: 1.0",
        "Date: Tue, 5 Mar 2024 14:03:09 +0800",
        "X-Priority: 1",
        "X-Library: IPCam Recorder Mail 1.5",
        "",
        "This is a multi-part message in MIME format",
        "",
        "--=_NextPart_2rfkindysadvnqw3nerasdf",
        "Content-Type: text/plain",
        "Content-Transfer-Encoding: 7bit",
        "",
        "Hello,\nAttached Jpeg file is captured by IP Camera.",
        "",
        "--=_NextPart_2rfkindysadvnqw3nerasdf",
        "Content-Type: application/octet-stream;",
        "        name=\"jpeg_view01.jpg\"",
        "Content-Transfer-Encoding: base64",
        "Content-Disposition: attachment;",
        "        filename=\"jpeg_view01.jpg\"",
        "",
        "QUJDRA==",
        "",
        "--=_NextPart_2rfkindysadvnqw3nerasdf--",
    };
    EXPECT_EQ(composeMessageLines(m, {"ABCD"}), expected);
}

TEST(MailMessageText, DateCarriesTheLocalOffsetAsSignedHoursAndMinutes) {
    EXPECT_EQ(formatMailDate(fixedDate(480)), "Tue, 5 Mar 2024 14:03:09 +0800");
    EXPECT_EQ(formatMailDate(fixedDate(-330)), "Tue, 5 Mar 2024 14:03:09 -0530");
    EXPECT_EQ(formatMailDate(fixedDate(0)), "Tue, 5 Mar 2024 14:03:09 +0000");
    EXPECT_EQ(formatMailDate({makeDateTime(1999, 12, 31, 23, 59, 58), 60}), "Fri, 31 Dec 1999 23:59:58 +0100");
}

TEST(MailMessageText, AttachmentIsBase64InLinesOf57InputBytes) {
    EXPECT_EQ(base64Encode("Man"), "TWFu");
    EXPECT_EQ(base64Encode("Ma"), "TWE=");
    EXPECT_EQ(base64Encode("M"), "TQ==");
    EXPECT_EQ(base64Encode(std::string("\xff\xd8\xff", 3)), "/9j/");

    const auto one = base64Lines(std::string(57, 'x'));
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].size(), 76u);

    const auto two = base64Lines(std::string(58, 'x'));
    ASSERT_EQ(two.size(), 2u);
    EXPECT_EQ(two[0].size(), 76u);
    EXPECT_EQ(two[1].size(), 4u);
    EXPECT_EQ(two[1].substr(2), "==");

    EXPECT_TRUE(base64Lines("").empty());
}

TEST(MailAddressRendering, QuotesAndEscapesPrintableNames) {
    EXPECT_EQ(renderAddress({"", "a@b.test"}), "a@b.test");
    EXPECT_EQ(renderAddress({"Front Door", "a@b.test"}), "\"Front Door\" <a@b.test>");
    EXPECT_EQ(renderAddress({"Cam \"A\" \\x", "a@b.test"}), "\"Cam \\\"A\\\" \\\\x\" <a@b.test>");
}

TEST(MailAddressRendering, NamesOutsidePrintableAsciiBecomeEncodedWords) {
    EXPECT_EQ(renderAddress({"Caf\xc3\xa9 Cam", "a@b.test"}), "=?ISO-8859-1?Q?Caf=E9_Cam?= <a@b.test>");
    // Not representable in ISO-8859-1: sent as UTF-8 rather than mangled.
    EXPECT_EQ(encodeWords("\xe6\x91\x84"), "=?UTF-8?Q?=E6=91=84?=");

    const std::string longName(60, '\xe9');  // stray bytes, taken as ISO-8859-1
    const std::string encoded = encodeWords(longName);
    size_t words = 0;
    size_t start = 0;
    while (start <= encoded.size()) {
        const size_t sp = std::min(encoded.find(' ', start), encoded.size());
        const std::string word = encoded.substr(start, sp - start);
        EXPECT_LE(word.size(), 75u);
        EXPECT_EQ(word.rfind("=?ISO-8859-1?Q?", 0), 0u);
        ++words;
        start = sp + 1;
    }
    EXPECT_GT(words, 1u);
}

TEST(MailAddressRendering, SubjectEncodesOnlyTheWordsThatNeedIt) {
    MailMessage m;
    m.subject = "Alarm Caf\xc3\xa9 now";
    const auto lines = composeMessageLines(m, {});
    EXPECT_EQ(lines.at(0), "Subject: Alarm =?ISO-8859-1?Q?Caf=E9?= now");
}

TEST(MailHeaderFolding, BreaksOutsideQuotesAndTrimsTrailingBlanks) {
    EXPECT_EQ(foldHeaderLine("Subject: Alarm Email "), std::vector<std::string>{"Subject: Alarm Email"});

    // The blank inside the quoted name stands before the limit but must not
    // be used: the break comes before the opening quote.
    const std::string line = "To: " + std::string(60, 'a') + "@x.test, \"Some Body\" <" + std::string(20, 'b') + "@y.test>";
    const auto folded = foldHeaderLine(line);
    ASSERT_EQ(folded.size(), 2u);
    EXPECT_EQ(folded[0], "To: " + std::string(60, 'a') + "@x.test,");
    EXPECT_EQ(folded[1], " \"Some Body\" <" + std::string(20, 'b') + "@y.test>");

    // Many addresses: every line fits and continuation lines begin with one blank.
    std::string many = "Cc: ";
    for (int i = 0; i < 12; ++i) many += (i ? ", " : "") + std::string("person") + std::to_string(i) + "@x.test";
    const auto lines = foldHeaderLine(many);
    ASSERT_GT(lines.size(), 1u);
    std::string joined;
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_LE(lines[i].size(), 78u);
        if (i > 0) {
            EXPECT_EQ(lines[i][0], ' ');
            EXPECT_NE(lines[i][1], ' ');
        }
        joined += lines[i];
    }
    EXPECT_EQ(joined, many);
}

TEST(MailHeaderFolding, ContentTypeAppendsTheCharacterSet) {
    MailMessage m;
    m.charset = "ASCII";
    EXPECT_EQ(decidedContentType(m), "ASCII");
    m.contentType = "text/plain";
    EXPECT_EQ(decidedContentType(m), "text/plain;ASCII");
    m.attachments.push_back({"f.jpg", "", ""});
    EXPECT_EQ(decidedContentType(m), "multipart/mixed; boundary=\"=_NextPart_2rfkindysadvnqw3nerasdf\";ASCII");
}

TEST(MailCopyList, CutAtCommasOutsideQuotes) {
    const auto list = parseAddressList("\"Doe, John\" <j@x.test>, b@y.test ,  , Ann Lee <a@z.test>,");
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0], (MailAddress{"Doe, John", "j@x.test"}));
    EXPECT_EQ(list[1], (MailAddress{"", "b@y.test"}));
    EXPECT_EQ(list[2], (MailAddress{"Ann Lee", "a@z.test"}));
    EXPECT_EQ(parseAddressList("\"Say \\\"Hi\\\"\" <h@x.test>").at(0).name, "Say \"Hi\"");
    EXPECT_TRUE(parseAddressList("").empty());
}

TEST(MailCopyList, AlarmMessageTakesCopiesButNotASingleBlank) {
    CameraSettings s = mailSettings();
    s.smtpCopy = " ";
    EXPECT_TRUE(buildAlarmMessage(s, "", "jpeg_view01.jpg", fixedDate()).cc.empty());
    s.smtpCopy = "";
    MailMessage m = buildAlarmMessage(s, "", "jpeg_view01.jpg", fixedDate());
    EXPECT_TRUE(m.cc.empty());
    // No title: the sender is the bare address; no Cc header at all.
    const auto lines = composeMessageLines(m, {""});
    EXPECT_EQ(lines.at(0), "From: cam@x.test");
    for (const auto& l : lines) EXPECT_NE(l.rfind("Cc:", 0), 0u) << l;

    s.smtpCopy = "one@x.test, Two <two@x.test>";
    m = buildAlarmMessage(s, "Cam", "jpeg_view01.jpg", fixedDate());
    ASSERT_EQ(m.cc.size(), 2u);
    EXPECT_EQ(composeMessageLines(m, {""}).at(3), "Cc: one@x.test, \"Two\" <two@x.test>");
    // The receiver text is one address, never parsed.
    s.smtpReceiver = "a@x.test, b@x.test";
    m = buildAlarmMessage(s, "Cam", "jpeg_view01.jpg", fixedDate());
    ASSERT_EQ(m.to.size(), 1u);
    EXPECT_EQ(m.to[0].address, "a@x.test, b@x.test");
}

}  // namespace
}  // namespace ipcam
