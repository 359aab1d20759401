#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <chrono>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "mail/mail_message.h"
#include "mail/smtp_client.h"
#include "support/mail_fake_smtp_server.h"
#include "support/test_certificates.h"

namespace ipcam {
namespace {

using test::FakeSmtpServer;

constexpr int kShortTimeoutMs = 200;

class SmtpClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        attachment = dir.filePath("jpeg_view01.jpg").toStdString();
        std::ofstream(attachment, std::ios::binary) << std::string("\xff\xd8\xff\xe0picture", 11);
    }

    void configure(SmtpClient& c, const FakeSmtpServer& server) {
        c.host = "127.0.0.1";
        c.port = server.port();
        c.localHostName = "testhost";
        c.userName = "user";
        c.password = "secret";
        c.connectTimeoutMs = kShortTimeoutMs;
        c.replyTimeoutMs = kShortTimeoutMs;
    }

    MailMessage message() const {
        MailMessage m;
        m.from = {"Cam", "cam@x.test"};
        m.to = {{"", "boss@x.test"}};
        m.subject = "Alarm Email ";
        m.priority = MailPriority::Highest;
        m.date = {makeDateTime(2024, 3, 5, 14, 3, 9), 60};
        m.charset = "ASCII";
        m.body = {"Hello,\nAttached Jpeg file is captured by IP Camera."};
        m.attachments = {{attachment, "", ""}};
        return m;
    }

    // Connect, send, disconnect; returns whether connect and send worked.
    bool sendOnce(FakeSmtpServer& server, SmtpLoginMethod login, const MailMessage& m) {
        SmtpClient c;
        configure(c, server);
        c.loginMethod = login;
        const bool ok = c.connect() && c.send(m);
        c.disconnect();
        EXPECT_FALSE(c.connected());
        EXPECT_TRUE(server.waitSessionsClosed(1, 5000));
        return ok;
    }

    QTemporaryDir dir;
    std::string attachment;
};

TEST_F(SmtpClientTest, SubmitsWithoutLoginWhenNotAskedFor) {
    FakeSmtpServer server;
    ASSERT_TRUE(sendOnce(server, SmtpLoginMethod::None, message()));
    const std::vector<std::string> expected = {"ehlo testhost", "Rset", "Mail from:<cam@x.test>",
                                               "RCPT to:<boss@x.test>", "Data", "Quit"};
    EXPECT_EQ(server.commands(), expected);

    ASSERT_EQ(server.messages().size(), 1u);
    std::string text;
    for (const auto& l : composeMessageLines(message(), {std::string("\xff\xd8\xff\xe0picture", 11)})) {
        text += l + "\r\n";
    }
    EXPECT_EQ(server.messages()[0], text);
}

TEST_F(SmtpClientTest, LogsInWithBase64CredentialsWhenOffered) {
    FakeSmtpServer server;
    ASSERT_TRUE(sendOnce(server, SmtpLoginMethod::Login, message()));
    const std::vector<std::string> expected = {"ehlo testhost", "Rset", "auth LOGIN", "dXNlcg==", "c2VjcmV0",
                                               "Mail from:<cam@x.test>", "RCPT to:<boss@x.test>", "Data", "Quit"};
    EXPECT_EQ(server.commands(), expected);
    EXPECT_EQ(server.messages().size(), 1u);
}

TEST_F(SmtpClientTest, RefusedLoginFailsTheSend) {
    FakeSmtpServer::Script script;
    script.authReplies = {"334 VXNlcm5hbWU6", "334 UGFzc3dvcmQ6", "535 no"};
    FakeSmtpServer server(script);
    EXPECT_FALSE(sendOnce(server, SmtpLoginMethod::Login, message()));
    EXPECT_TRUE(server.messages().empty());
}

TEST_F(SmtpClientTest, EhloRefusedFallsBackToHeloAndNeverLogsIn) {
    FakeSmtpServer::Script script;
    script.ehloReply = {"502 not implemented"};
    FakeSmtpServer server(script);
    ASSERT_TRUE(sendOnce(server, SmtpLoginMethod::Login, message()));
    const auto cmds = server.commands();
    ASSERT_GE(cmds.size(), 3u);
    EXPECT_EQ(cmds[0], "ehlo testhost");
    EXPECT_EQ(cmds[1], "Helo testhost");
    EXPECT_EQ(cmds[2], "Rset");
    for (const auto& c : cmds) EXPECT_NE(c, "auth LOGIN");
}

TEST_F(SmtpClientTest, AuthCapabilityNeedsBlankOrEqualsAfterAuth) {
    struct Case {
        std::string line;
        bool login;
    };
    for (const Case& k : {Case{"250-AUTH=LOGIN", true}, Case{"250-auth login", true}, Case{"250-AUTHX LOGIN", false},
                          Case{"250-AUTH PLAIN CRAM-MD5", false}}) {
        SCOPED_TRACE(k.line);
        FakeSmtpServer::Script script;
        script.ehloReply = {"250-fake.test", k.line, "250 8BITMIME"};
        FakeSmtpServer server(script);
        // The mail goes through either way; only the login differs.
        ASSERT_TRUE(sendOnce(server, SmtpLoginMethod::Login, message()));
        const auto cmds = server.commands();
        EXPECT_EQ(std::count(cmds.begin(), cmds.end(), "auth LOGIN"), k.login ? 1 : 0);
        EXPECT_EQ(server.messages().size(), 1u);
    }
}

TEST_F(SmtpClientTest, CapabilitiesAreCollectedWithoutDuplicates) {
    FakeSmtpServer::Script script;
    script.ehloReply = {"250-fake.test", "250-AUTH LOGIN PLAIN", "250-AUTH=LOGIN", "250 SIZE 10"};
    FakeSmtpServer server(script);
    SmtpClient c;
    configure(c, server);
    ASSERT_TRUE(c.connect());
    EXPECT_EQ(c.capabilities(), (std::vector<std::string>{"LOGIN", "PLAIN"}));
    c.disconnect();
}

TEST_F(SmtpClientTest, RecipientsGoToThenCcThenBcc) {
    FakeSmtpServer server;
    MailMessage m = message();
    m.cc = {{"One", "one@x.test"}, {"", "two@x.test"}};
    m.bcc = {{"", "hidden@x.test"}};
    ASSERT_TRUE(sendOnce(server, SmtpLoginMethod::None, m));
    const auto cmds = server.commands();
    ASSERT_EQ(cmds.size(), 9u);
    EXPECT_EQ(cmds[3], "RCPT to:<boss@x.test>");
    EXPECT_EQ(cmds[4], "RCPT to:<one@x.test>");
    EXPECT_EQ(cmds[5], "RCPT to:<two@x.test>");
    EXPECT_EQ(cmds[6], "RCPT to:<hidden@x.test>");
    EXPECT_EQ(cmds[7], "Data");
}

TEST_F(SmtpClientTest, LineStartingWithDotIsSentWithTheDotDoubled) {
    EXPECT_EQ(smtpDataBlock({"a", ".", ".x", "b.c"}), "a\r\n..\r\n..x\r\nb.c\r\n.\r\n");

    FakeSmtpServer server;
    MailMessage m = message();
    m.body = {"first", ".", ".hidden"};
    ASSERT_TRUE(sendOnce(server, SmtpLoginMethod::None, m));
    ASSERT_EQ(server.messages().size(), 1u);
    // The whole message arrived: the lone "." did not end it early.
    EXPECT_NE(server.messages()[0].find("\r\nfirst\r\n..\r\n..hidden\r\n"), std::string::npos);
    EXPECT_NE(server.messages()[0].find("--=_NextPart_2rfkindysadvnqw3nerasdf--"), std::string::npos);
}

TEST_F(SmtpClientTest, RefusedConnectionFails) {
    SmtpClient c;
    c.host = "127.0.0.1";
    c.port = FakeSmtpServer::unusedPort();
    c.connectTimeoutMs = kShortTimeoutMs;
    EXPECT_FALSE(c.connect());
    EXPECT_FALSE(c.connected());
    EXPECT_FALSE(c.lastError().empty());
}

TEST_F(SmtpClientTest, UnexpectedGreetingFailsAndQuits) {
    FakeSmtpServer::Script script;
    script.greeting = "554 go away";
    FakeSmtpServer server(script);
    SmtpClient c;
    configure(c, server);
    EXPECT_FALSE(c.connect());
    EXPECT_FALSE(c.connected());
    ASSERT_TRUE(server.waitSessionsClosed(1, 5000));
    EXPECT_EQ(server.commands(), std::vector<std::string>{"Quit"});
}

TEST_F(SmtpClientTest, ServerThatNeverAnswersTimesOut) {
    FakeSmtpServer::Script script;
    script.silent = true;
    FakeSmtpServer server(script);
    SmtpClient c;
    configure(c, server);
    EXPECT_FALSE(c.connect());
    EXPECT_FALSE(c.connected());
}

TEST_F(SmtpClientTest, RecipientRefusedFailsSendAndLeavesConnectionOpen) {
    FakeSmtpServer::Script script;
    script.rcptReplies = {"550 no such user"};
    FakeSmtpServer server(script);
    SmtpClient c;
    configure(c, server);
    ASSERT_TRUE(c.connect());
    EXPECT_FALSE(c.send(message()));
    EXPECT_TRUE(c.connected());
    c.disconnect();
    ASSERT_TRUE(server.waitSessionsClosed(1, 5000));
    const auto cmds = server.commands();
    EXPECT_EQ(std::count(cmds.begin(), cmds.end(), "Data"), 0);
    EXPECT_TRUE(server.messages().empty());
}

TEST_F(SmtpClientTest, MissingAttachmentFailsBeforeAnyMailCommand) {
    FakeSmtpServer server;
    MailMessage m = message();
    m.attachments = {{dir.filePath("missing.jpg").toStdString(), "", ""}};
    EXPECT_FALSE(sendOnce(server, SmtpLoginMethod::None, m));
    EXPECT_EQ(server.commands(), (std::vector<std::string>{"ehlo testhost", "Quit"}));
}

TEST_F(SmtpClientTest, AbortBreaksAWaitAtOnce) {
    FakeSmtpServer::Script script;
    script.silent = true;
    FakeSmtpServer server(script);
    SmtpClient c;
    configure(c, server);
    c.replyTimeoutMs = 100000;  // only abort() can end this wait
    std::thread aborter([&] {
        while (server.sessions() == 0) std::this_thread::yield();
        c.abort();
    });
    EXPECT_FALSE(c.connect());
    aborter.join();
    EXPECT_FALSE(c.connected());
}

TEST_F(SmtpClientTest, RepliesAreBoundedAndEndAtOnceWithTheReason) {
    struct Case {
        FakeSmtpServer::Script script;
        std::string reason;
    };
    FakeSmtpServer::Script endlessLine;
    endlessLine.endlessGreeting = std::string(1000, 'x');
    FakeSmtpServer::Script endlessReply;
    endlessReply.greeting = "220-fake.test";
    endlessReply.greetingTail.assign(500, "220-more");
    FakeSmtpServer::Script longestLine;  // a line at the bound still goes
    longestLine.greeting = "220 " + std::string(kSmtpMaxReplyLine - 6, 'y');
    for (const Case& k : {Case{endlessLine, "reply line from the server longer than 4096 bytes"},
                          Case{endlessReply, "reply from the server longer than 100 lines"}, Case{longestLine, ""}}) {
        SCOPED_TRACE(k.reason);
        FakeSmtpServer server(k.script);
        SmtpClient c;
        configure(c, server);
        c.replyTimeoutMs = 30000;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(c.connect(), k.reason.empty());
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
        EXPECT_EQ(c.lastError(), k.reason);
        c.disconnect();
    }
}

TEST(SmtpServerText, HostPortAndBracketedIpv6) {
    struct Case {
        const char* text;
        const char* host;
        int port;  // 0: refused
    };
    for (const Case& k : {Case{"smtp.example.org", "smtp.example.org", 25}, Case{"smtp.example.org:587", "smtp.example.org", 587},
                          Case{"127.0.0.1:465", "127.0.0.1", 465}, Case{"[::1]:2525", "::1", 2525}, Case{"[::1]", "::1", 25},
                          Case{"::1", "::1", 25}, Case{"host:", "", 0}, Case{"host:0", "", 0}, Case{"host:65536", "", 0},
                          Case{"host:25x", "", 0}, Case{"[::1", "", 0}, Case{"[::1]587", "", 0}}) {
        SCOPED_TRACE(k.text);
        const auto a = parseSmtpServer(k.text);
        ASSERT_EQ(a.has_value(), k.port != 0);
        if (!a) continue;
        EXPECT_EQ(a->host, k.host);
        EXPECT_EQ(a->port, k.port);
    }
    EXPECT_EQ(parseSmtpServer("smtp.example.org", 2500)->port, 2500);
}

// TLS against a server of the test's own, with an authority made now and
// trusted by this test only.
class SmtpTlsTest : public SmtpClientTest {
protected:
    void SetUp() override {
        SmtpClientTest::SetUp();
        certificates = std::make_unique<test::TestCertificates>(dir.path().toStdString());
        good = certificates->issue("good", {"localhost", "127.0.0.1"});
    }

    FakeSmtpServer::Script tlsScript(FakeSmtpServer::Script::Tls tls, const test::TestCertificates::Pair& pair) const {
        FakeSmtpServer::Script script;
        script.tls = tls;
        script.certFile = pair.certFile;
        script.keyFile = pair.keyFile;
        return script;
    }

    // Through the server text, as the settings give it.
    void configureTls(SmtpClient& c, const FakeSmtpServer& server, const std::string& host) {
        configure(c, server);
        const auto address = parseSmtpServer(host + ":" + std::to_string(server.port()));
        c.host = address->host;
        c.port = address->port;
        c.trustedCertificatesFile = certificates->authorityFile();
        c.loginMethod = SmtpLoginMethod::Login;
        // Handshakes on a busy machine take longer than plain replies.
        c.connectTimeoutMs = c.replyTimeoutMs = 5000;
    }

    std::unique_ptr<test::TestCertificates> certificates;
    test::TestCertificates::Pair good;
    // Today's dialogue after the greeting and EHLO.
    const std::vector<std::string> submission = {"Rset", "auth LOGIN", "dXNlcg==", "c2VjcmV0", "Mail from:<cam@x.test>",
                                                 "RCPT to:<boss@x.test>", "Data", "Quit"};
};

TEST_F(SmtpTlsTest, StartTlsWhenOfferedThenTodaysDialogue) {
    FakeSmtpServer server(tlsScript(FakeSmtpServer::Script::Tls::StartTls, good));
    SmtpClient c;
    configureTls(c, server, "localhost");
    ASSERT_TRUE(c.connect()) << c.lastError();
    EXPECT_EQ(c.tlsDescription().rfind("TLSv1.", 0), 0u) << c.tlsDescription();
    EXPECT_NE(c.tlsDescription(), "TLSv1.1");
    EXPECT_EQ(c.capabilities(), (std::vector<std::string>{"LOGIN", "PLAIN"}));  // from the second EHLO
    ASSERT_TRUE(c.send(message())) << c.lastError();
    c.disconnect();
    ASSERT_TRUE(server.waitSessionsClosed(1, 5000));
    std::vector<std::string> expected = {"ehlo testhost", "STARTTLS", "ehlo testhost"};
    expected.insert(expected.end(), submission.begin(), submission.end());
    EXPECT_EQ(server.commands(), expected);
    std::string text;
    for (const auto& l : composeMessageLines(message(), {std::string("\xff\xd8\xff\xe0picture", 11)})) text += l + "\r\n";
    ASSERT_EQ(server.messages().size(), 1u);
    EXPECT_EQ(server.messages()[0], text);
    std::cout << "[ transcript ] localhost:" << server.port() << " STARTTLS, " << server.negotiated() << ":";
    for (const auto& l : server.commands()) std::cout << " | " << l;
    std::cout << "\n";
}

TEST_F(SmtpTlsTest, ImplicitTlsFromTheFirstByteThenTodaysDialogue) {
    FakeSmtpServer server(tlsScript(FakeSmtpServer::Script::Tls::Implicit, good));
    SmtpClient c;
    configureTls(c, server, "127.0.0.1");
    c.implicitTlsPort = server.port();  // stands in for 465
    ASSERT_TRUE(c.connect()) << c.lastError();
    EXPECT_FALSE(c.tlsDescription().empty());
    ASSERT_TRUE(c.send(message())) << c.lastError();
    c.disconnect();
    ASSERT_TRUE(server.waitSessionsClosed(1, 5000));
    std::vector<std::string> expected = {"ehlo testhost"};
    expected.insert(expected.end(), submission.begin(), submission.end());
    EXPECT_EQ(server.commands(), expected);
    EXPECT_EQ(server.messages().size(), 1u);
}

TEST_F(SmtpTlsTest, CertificateFailuresEndTheJobWithTheirReason) {
    struct Case {
        test::TestCertificates::Pair pair;
        bool trustTestAuthority;
        std::string reason;
    };
    const auto wrongName = certificates->issue("wrong", {"mail.other.test", "127.0.0.9"});
    const auto expired = certificates->issue("expired", {"localhost", "127.0.0.1"}, -2 * 86400, -86400);
    const auto selfSigned = certificates->issue("self", {"localhost", "127.0.0.1"}, -3600, 86400, true);
    for (const Case& k : {Case{wrongName, true, "host name does not match the certificate"},
                          Case{expired, true, "certificate has expired"},
                          Case{selfSigned, true, "self-signed certificate, not trusted"},
                          Case{good, false, "certificate is not issued by a trusted authority"}}) {
        for (const auto tls : {FakeSmtpServer::Script::Tls::StartTls, FakeSmtpServer::Script::Tls::Implicit}) {
            SCOPED_TRACE(k.reason);
            FakeSmtpServer server(tlsScript(tls, k.pair));
            SmtpClient c;
            configureTls(c, server, "localhost");
            if (!k.trustTestAuthority) c.trustedCertificatesFile.clear();  // the system's store
            c.implicitTlsPort = tls == FakeSmtpServer::Script::Tls::Implicit ? server.port() : 465;
            EXPECT_FALSE(c.connect());
            EXPECT_EQ(c.lastError(), "the server's certificate is not accepted: " + k.reason);
            EXPECT_FALSE(c.connected());
            ASSERT_TRUE(server.waitSessionsClosed(1, 5000));
            for (const auto& cmd : server.commands()) EXPECT_NE(cmd, "auth LOGIN");
            EXPECT_TRUE(server.messages().empty());
        }
    }
}

TEST_F(SmtpTlsTest, StalledHandshakeEndsAtTheTimeOut) {
    for (const auto tls : {FakeSmtpServer::Script::Tls::StartTls, FakeSmtpServer::Script::Tls::Implicit}) {
        FakeSmtpServer::Script script = tlsScript(tls, good);
        script.stallHandshake = true;
        FakeSmtpServer server(script);
        SmtpClient c;
        configureTls(c, server, "127.0.0.1");
        c.replyTimeoutMs = kShortTimeoutMs;
        c.implicitTlsPort = tls == FakeSmtpServer::Script::Tls::Implicit ? server.port() : 465;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(c.connect());
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(c.lastError(), "time-out in the TLS handshake");
        // Deadlines are kept in whole milliseconds: the wait may end up to one early.
        EXPECT_GE(took, std::chrono::milliseconds(kShortTimeoutMs - 2));
        EXPECT_LT(took, std::chrono::milliseconds(kShortTimeoutMs * 10));
    }
}

}  // namespace
}  // namespace ipcam
