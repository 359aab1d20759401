#include <gtest/gtest.h>

#include <QByteArray>
#include <QCoreApplication>
#include <QObject>
#include <QTemporaryDir>
#include <QThread>

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "mail/Unit6.h"
#include "support/log_capture.h"
#include "support/mail_fake_smtp_server.h"
#include "support/test_certificates.h"

namespace ipcam {
namespace {

using test::FakeSmtpServer;

constexpr int kWaitMs = 5000;

std::vector<uint8_t> picture(char tag, size_t size = 200) {
    std::vector<uint8_t> p = {0xFF, 0xD8, 0xFF, 0xE0};
    while (p.size() < size) p.push_back(static_cast<uint8_t>(tag + p.size() % 7));
    return p;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The attachment of a received message, decoded.
std::string attachmentOf(const std::string& message) {
    const std::string marker = "filename=\"jpeg_view01.jpg\"\r\n\r\n";
    const size_t start = message.find(marker);
    if (start == std::string::npos) return {};
    const size_t from = start + marker.size();
    const size_t end = message.find("\r\n\r\n", from);
    std::string b64 = message.substr(from, end - from);
    return QByteArray::fromBase64(QByteArray::fromStdString(b64)).toStdString();
}

class EmailThreadTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        snapshot = dir.filePath("jpeg_view01.jpg").toStdString();
        CameraSettings s;
        s.alarmEmailEnabled = 1;
        s.smtpServer = "127.0.0.1";
        s.smtpSender = "cam@x.test";
        s.smtpReceiver = "boss@x.test";
        s.smtpEmailAccount = "user";
        s.smtpEmailPassword = "secret";
        shared.publishSettings(s);
        shared.setCameraTitle("Front Door");
        shared.alarmEmailArmed = true;
    }

    std::unique_ptr<TEmailThread> makeWorker(uint16_t port, int timeoutMs = 200) {
        auto w = std::make_unique<TEmailThread>(
            shared,
            [this](const std::string& text, const std::string& reason) {
                std::lock_guard lock(mutex);
                warnings.push_back(text);
                reasons.push_back(reason);
            },
            snapshot);
        w->setSmtpPort(port);
        w->setTimeouts(timeoutMs, timeoutMs);
        return w;
    }

    void changeSettings(const std::function<void(CameraSettings&)>& change) {
        CameraSettings s = shared.settings();
        change(s);
        shared.publishSettings(s);
    }

    std::vector<std::string> warningsSeen() {
        std::lock_guard lock(mutex);
        return warnings;
    }

    QTemporaryDir dir;
    std::string snapshot;
    WorkerShared shared;
    std::mutex mutex;
    std::vector<std::string> warnings;
    std::vector<std::string> reasons;
};

TEST_F(EmailThreadTest, AlarmSendsOneMailWithTheExactPicture) {
    FakeSmtpServer server;
    auto worker = makeWorker(server.port());
    const auto pic = picture('a', 1000);
    ASSERT_TRUE(worker->raiseAlarm(pic));
    ASSERT_TRUE(worker->waitIdle(kWaitMs));
    ASSERT_TRUE(server.waitSessionsClosed(1, kWaitMs));

    ASSERT_EQ(server.messages().size(), 1u);
    const std::string msg = server.messages()[0];
    EXPECT_EQ(attachmentOf(msg), std::string(pic.begin(), pic.end()));
    EXPECT_NE(msg.find("From: \"Front Door\" <cam@x.test>\r\n"), std::string::npos);
    EXPECT_NE(msg.find("Subject: Alarm Email\r\n"), std::string::npos);
    EXPECT_EQ(readFile(snapshot), std::string(pic.begin(), pic.end()));
    EXPECT_EQ(worker->sentCount(), 1);
    EXPECT_TRUE(warningsSeen().empty());
    EXPECT_TRUE(shared.alarmEmailArmed);
    // No login unless authentication is enabled.
    const auto cmds = server.commands();
    EXPECT_EQ(std::count(cmds.begin(), cmds.end(), "auth LOGIN"), 0);
}

TEST_F(EmailThreadTest, AuthenticationAndCopiesComeFromTheSettings) {
    changeSettings([](CameraSettings& s) {
        s.smtpAuthEnabled = 1;
        s.smtpCopy = "\"Guard, Night\" <night@x.test>, day@x.test";
    });
    FakeSmtpServer server;
    auto worker = makeWorker(server.port());
    ASSERT_TRUE(worker->raiseAlarm(picture('b')));
    ASSERT_TRUE(worker->waitIdle(kWaitMs));
    ASSERT_TRUE(server.waitSessionsClosed(1, kWaitMs));
    const auto cmds = server.commands();
    const std::vector<std::string> expected = {"Rset", "auth LOGIN", "dXNlcg==", "c2VjcmV0", "Mail from:<cam@x.test>",
                                               "RCPT to:<boss@x.test>", "RCPT to:<night@x.test>",
                                               "RCPT to:<day@x.test>", "Data", "Quit"};
    ASSERT_EQ(cmds.size(), expected.size() + 1);
    EXPECT_EQ(std::vector<std::string>(cmds.begin() + 1, cmds.end()), expected);
    ASSERT_EQ(server.messages().size(), 1u);
    EXPECT_NE(server.messages()[0].find("Cc: \"Guard, Night\" <night@x.test>, day@x.test\r\n"), std::string::npos);
}

TEST_F(EmailThreadTest, NothingHappensUnlessEnabledAndArmed) {
    FakeSmtpServer server;
    auto worker = makeWorker(server.port());
    changeSettings([](CameraSettings& s) { s.alarmEmailEnabled = 0; });
    EXPECT_FALSE(worker->raiseAlarm(picture('c')));
    changeSettings([](CameraSettings& s) { s.alarmEmailEnabled = 1; });
    shared.alarmEmailArmed = false;
    EXPECT_FALSE(worker->raiseAlarm(picture('c')));
    EXPECT_TRUE(worker->waitIdle(kWaitMs));
    EXPECT_FALSE(QFile::exists(QString::fromStdString(snapshot)));
    EXPECT_EQ(server.sessions(), 0);
}

// Each failure: exactly one warning, alarms disarmed, and later alarms do
// nothing until re-armed.
class EmailThreadFailureTest : public EmailThreadTest {
protected:
    void expectOneFailure(uint16_t port) {
        auto worker = makeWorker(port);
        ASSERT_TRUE(worker->raiseAlarm(picture('d')));
        ASSERT_TRUE(worker->waitIdle(kWaitMs));
        EXPECT_EQ(warningsSeen(), std::vector<std::string>{
                                      "Fail to send alarm email. Please check the setting of \"Alarm Email Setup\""});
        EXPECT_FALSE(shared.alarmEmailArmed);
        EXPECT_EQ(worker->sentCount(), 0);

        // More motion: no snapshot, no mail, no second warning.
        std::remove(snapshot.c_str());
        EXPECT_FALSE(worker->raiseAlarm(picture('e')));
        EXPECT_FALSE(worker->raiseAlarm(picture('f')));
        ASSERT_TRUE(worker->waitIdle(kWaitMs));
        EXPECT_EQ(warningsSeen().size(), 1u);
        EXPECT_FALSE(QFile::exists(QString::fromStdString(snapshot)));

        // Re-armed (setup saved or window activated): alarms go out again.
        shared.alarmEmailArmed = true;
        EXPECT_TRUE(worker->raiseAlarm(picture('g')));
        ASSERT_TRUE(worker->waitIdle(kWaitMs));
        EXPECT_EQ(warningsSeen().size(), 2u);
    }
};

TEST_F(EmailThreadFailureTest, RefusedConnection) { expectOneFailure(FakeSmtpServer::unusedPort()); }

TEST_F(EmailThreadFailureTest, RecipientRefused) {
    test::LogCapture log;
    changeSettings([](CameraSettings& s) { s.smtpAuthEnabled = 1; });
    FakeSmtpServer::Script script;
    script.rcptReplies = {"550 no such user"};
    FakeSmtpServer server(script);
    expectOneFailure(server.port());
    EXPECT_TRUE(server.messages().empty());
    // Each failure is logged with its reason, never with the password.
    const std::string text = log.text();
    EXPECT_NE(text.find("WARN  ipcam.mail: Alarm mail to boss@x.test via 127.0.0.1 failed: unexpected reply: 550 no such user\n"),
              std::string::npos) << text;
    EXPECT_EQ(text.find("secret"), std::string::npos);
    EXPECT_EQ(text.find("c2VjcmV0"), std::string::npos);  // nor in base64
}

TEST_F(EmailThreadFailureTest, ServerNeverAnswers) {
    FakeSmtpServer::Script script;
    script.silent = true;
    FakeSmtpServer server(script);
    expectOneFailure(server.port());
}

TEST_F(EmailThreadFailureTest, SettingWithAControlCharacterIsNeverSent) {
    // As a hand-edited settings file may hold it: nothing reaches the server.
    changeSettings([](CameraSettings& s) { s.smtpCopy = std::string("c@x.test\0RCPT to:<evil@x>", 25); });
    FakeSmtpServer server;
    expectOneFailure(server.port());
    EXPECT_EQ(server.sessions(), 0);
    std::lock_guard lock(mutex);
    ASSERT_FALSE(reasons.empty());
    EXPECT_EQ(reasons[0], "SMTP_Copy holds a control character (such as a line break)");
}

TEST_F(EmailThreadFailureTest, SnapshotCannotBeWritten) {
    // An older picture must never go out as this alarm's.
    FakeSmtpServer server;
    snapshot = dir.filePath("missing-folder/jpeg_view01.jpg").toStdString();
    expectOneFailure(server.port());
    EXPECT_TRUE(server.messages().empty());
}

TEST_F(EmailThreadTest, HostPortFromTheSettingsWithTlsAndTheFailureReason) {
    test::TestCertificates certificates(dir.path().toStdString());
    using Tls = FakeSmtpServer::Script::Tls;
    struct Case {
        Tls tls;
        test::TestCertificates::Pair pair;
        std::string host;
        std::string failure;
    };
    const auto good = certificates.issue("good", {"localhost", "127.0.0.1"});
    const auto expired = certificates.issue("expired", {"localhost"}, -2 * 86400, -86400);
    for (const Case& k : {Case{Tls::StartTls, good, "localhost", ""}, Case{Tls::Implicit, good, "127.0.0.1", ""},
                          Case{Tls::StartTls, expired, "localhost",
                               "the server's certificate is not accepted: certificate has expired"}}) {
        SCOPED_TRACE(k.host + " " + k.failure);
        FakeSmtpServer::Script script;
        script.tls = k.tls;
        script.certFile = k.pair.certFile;
        script.keyFile = k.pair.keyFile;
        FakeSmtpServer server(script);
        changeSettings([&](CameraSettings& s) { s.smtpServer = k.host + ":" + std::to_string(server.port()); });
        shared.alarmEmailArmed = true;
        auto worker = makeWorker(FakeSmtpServer::unusedPort(), kWaitMs);  // the port in the text wins
        worker->setTls(k.tls == Tls::Implicit ? server.port() : 465, certificates.authorityFile());
        ASSERT_TRUE(worker->raiseAlarm(picture('t')));
        ASSERT_TRUE(worker->waitIdle(kWaitMs));
        ASSERT_TRUE(server.waitSessionsClosed(1, kWaitMs));
        EXPECT_EQ(worker->lastFailure(), k.failure);
        EXPECT_EQ(server.messages().size(), k.failure.empty() ? 1u : 0u);
        const auto cmds = server.commands();
        EXPECT_EQ(std::count(cmds.begin(), cmds.end(), "STARTTLS"), k.tls == Tls::StartTls ? 1 : 0);
    }
}

TEST_F(EmailThreadTest, SecondAlarmDuringAJobIsDroppedAndLeavesTheSnapshotAlone) {
    FakeSmtpServer::Script script;
    script.holdGreeting = true;
    FakeSmtpServer server(script);
    auto worker = makeWorker(server.port(), kWaitMs);
    const auto first = picture('h', 500);
    const auto second = picture('i', 700);
    ASSERT_TRUE(worker->raiseAlarm(first));
    EXPECT_TRUE(worker->busy());
    EXPECT_FALSE(worker->raiseAlarm(second));
    EXPECT_EQ(readFile(snapshot), std::string(first.begin(), first.end()));

    server.release();
    ASSERT_TRUE(worker->waitIdle(kWaitMs));
    ASSERT_TRUE(server.waitSessionsClosed(1, kWaitMs));
    ASSERT_EQ(server.messages().size(), 1u);
    EXPECT_EQ(attachmentOf(server.messages()[0]), std::string(first.begin(), first.end()));
    EXPECT_EQ(server.sessions(), 1);
    EXPECT_TRUE(warningsSeen().empty());
}

TEST_F(EmailThreadTest, EachJobReadsTheSettingsAnew) {
    FakeSmtpServer server;
    auto worker = makeWorker(server.port());
    ASSERT_TRUE(worker->raiseAlarm(picture('j')));
    ASSERT_TRUE(worker->waitIdle(kWaitMs));
    changeSettings([](CameraSettings& s) { s.smtpReceiver = "other@x.test"; });
    shared.setCameraTitle("");
    ASSERT_TRUE(worker->raiseAlarm(picture('k')));
    ASSERT_TRUE(worker->waitIdle(kWaitMs));
    ASSERT_TRUE(server.waitSessionsClosed(2, kWaitMs));
    const auto cmds = server.commands();
    EXPECT_EQ(std::count(cmds.begin(), cmds.end(), "RCPT to:<other@x.test>"), 1);
    ASSERT_EQ(server.messages().size(), 2u);
    EXPECT_NE(server.messages()[1].find("From: cam@x.test\r\n"), std::string::npos);
    EXPECT_EQ(worker->sentCount(), 2);
}

TEST_F(EmailThreadTest, TerminateBreaksASendWithoutWarningOrDisarming) {
    FakeSmtpServer::Script script;
    script.silent = true;
    FakeSmtpServer server(script);
    auto worker = makeWorker(server.port(), 100000);  // only terminate() can end the wait
    ASSERT_TRUE(worker->raiseAlarm(picture('l')));
    while (server.sessions() == 0) QThread::yieldCurrentThread();
    worker->terminate();
    EXPECT_TRUE(worker->waitIdle(kWaitMs));
    EXPECT_TRUE(warningsSeen().empty());
    EXPECT_TRUE(shared.alarmEmailArmed);
    worker->wake();
    EXPECT_FALSE(worker->busy());
}

}  // namespace
}  // namespace ipcam
