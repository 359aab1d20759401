// The alarm e-mail, the two setup dialogs and the playback window wired to
// the main window, against the camera simulator and a fake SMTP server, all
// on loopback. Timers run 50 times faster than in the program.

#include <gtest/gtest.h>

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSlider>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "frontends/window/Unit1.h"
#include "e2e_support.h"
#include "ipcam_sim/camera_simulator.h"
#include "ipcam_sim/scene.h"
#include "ipcam_sim/simulator_thread.h"
#include "mail/Unit6.h"
#include "support/mail_fake_smtp_server.h"
#include "frontends/window/Unit4.h"
#include "frontends/window/Unit3.h"
#include "frontends/window/Unit5.h"
#include "settings/settings_store.h"
#include "frontends/window/setup_context.h"

namespace ipcam {
namespace {

using e2e::freePort;
using e2e::waitUntil;

using test::FakeSmtpServer;

constexpr char kBoundary[] = "=_NextPart_2rfkindysadvnqw3nerasdf";

void spin(int ms) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

// ---------------------------------------------------------------- a small MIME reader of our own

struct MimeEntity {
    std::map<std::string, std::string> headers;  // lower-case names, unfolded values
    std::string body;
    std::string header(const std::string& name) const {
        auto it = headers.find(name);
        return it == headers.end() ? std::string() : it->second;
    }
};

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// Headers up to the first empty line, folded lines joined; the rest is the body.
bool parseEntity(const std::string& text, MimeEntity& out, std::string* error) {
    const size_t end = text.find("\r\n\r\n");
    if (end == std::string::npos) {
        *error = "no empty line after the headers";
        return false;
    }
    std::vector<std::string> lines;
    size_t pos = 0;
    const std::string head = text.substr(0, end);
    while (pos <= head.size()) {
        size_t eol = head.find("\r\n", pos);
        if (eol == std::string::npos) eol = head.size();
        std::string line = head.substr(pos, eol - pos);
        if (!line.empty() && (line[0] == ' ' || line[0] == '\t')) {
            if (lines.empty()) {
                *error = "continuation line first";
                return false;
            }
            lines.back() += line;
        } else {
            lines.push_back(line);
        }
        pos = eol + 2;
    }
    for (const std::string& line : lines) {
        const size_t colon = line.find(':');
        if (colon == std::string::npos || colon == 0) {
            *error = "not a header line: " + line;
            return false;
        }
        std::string value = line.substr(colon + 1);
        while (!value.empty() && value.front() == ' ') value.erase(0, 1);
        out.headers[lower(line.substr(0, colon))] = value;
    }
    out.body = text.substr(end + 4);
    return true;
}

// The parameter `name` of a structured header value (quoted or not).
std::string parameter(const std::string& value, const std::string& name) {
    const std::string lowValue = lower(value);
    size_t at = lowValue.find(name + "=");
    if (at == std::string::npos) return {};
    at += name.size() + 1;
    if (at < value.size() && value[at] == '"') {
        const size_t close = value.find('"', at + 1);
        return value.substr(at + 1, close - at - 1);
    }
    size_t stop = value.find_first_of("; \t", at);
    return value.substr(at, stop == std::string::npos ? std::string::npos : stop - at);
}

// The body parts of a multipart body (RFC 2046 delimiters).
bool splitMultipart(const std::string& body, const std::string& boundary, std::vector<std::string>& parts,
                    std::string* error) {
    const std::string delimiter = "--" + boundary;
    std::string text = "\r\n" + body;
    size_t at = text.find("\r\n" + delimiter);
    if (at == std::string::npos) {
        *error = "no first delimiter";
        return false;
    }
    while (true) {
        size_t lineEnd = text.find("\r\n", at + 2);
        if (lineEnd == std::string::npos) {
            *error = "delimiter line without an end";
            return false;
        }
        const std::string delimiterLine = text.substr(at + 2, lineEnd - at - 2);
        if (delimiterLine == delimiter + "--") return true;
        if (delimiterLine != delimiter) {
            *error = "bad delimiter line: " + delimiterLine;
            return false;
        }
        const size_t next = text.find("\r\n" + delimiter, lineEnd);
        if (next == std::string::npos) {
            *error = "no closing delimiter";
            return false;
        }
        parts.push_back(text.substr(lineEnd + 2, next - lineEnd - 2));
        at = next;
    }
}

// ---------------------------------------------------------------- fixture

struct MailAndWindows : ::testing::Test {
    QTemporaryDir dir;
    sim::SimulatorOptions simOptions;
    std::unique_ptr<sim::SimulatorThread> simulator;
    std::vector<std::string> warnings;
    std::unique_ptr<TForm1> form;
    bool useWarningHook = true;
    std::function<void()> setupDialogHook = [] {};

    void SetUp() override {
        simOptions.streamPort = freePort();
        simOptions.httpPort = freePort();
        simOptions.fps = 25;
        simOptions.name = "Front Door";
        simOptions.still = true;
        simulator = std::make_unique<sim::SimulatorThread>(simOptions);
        QString error;
        ASSERT_TRUE(simulator->start(&error)) << error.toStdString();
    }

    void TearDown() override {
        form.reset();
        simulator.reset();
    }

    std::string settingsPath() const { return dir.filePath("ipcam-recorder.INI").toStdString(); }
    std::string snapshotPath() const { return dir.filePath("jpeg_view01.jpg").toStdString(); }

    CameraSettings baseSettings() const { return e2e::loopbackSettings(dir, simOptions.streamPort); }

    CameraSettings alarmSettings() const {
        CameraSettings s = baseSettings();
        s.motionDetectionEnabled = 1;
        s.motionSensitivity = 5;
        s.alarmEmailEnabled = 1;
        s.smtpServer = "127.0.0.1";
        s.smtpSender = "camera@cam.test";
        s.smtpReceiver = "owner@home.test";
        s.smtpCopy = "neighbour@home.test, \"Guard, Night\" <guard@home.test>";
        s.smtpEmailAccount = "camuser";
        s.smtpEmailPassword = "s3cret";
        s.smtpAuthEnabled = 1;
        return s;
    }

    void start(const CameraSettings& s, uint16_t smtpPort) {
        SettingsStore store(settingsPath());
        store.save(s);
        TForm1::Options o = e2e::loopbackOptions(dir, simOptions.httpPort);
        if (useWarningHook) o.warningHook = [this](const std::string& t) { warnings.push_back(t); };
        if (setupDialogHook) o.setupDialogHook = setupDialogHook;
        form = std::make_unique<TForm1>(o);
        form->engine().emailThread().setSmtpPort(smtpPort);
        form->engine().emailThread().setTimeouts(2000, 2000);
        form->activateFirstTime();
    }

    const EngineState& state() { return form->engine().state(); }
    const LinkSession& link() { return form->engine().controller().link(); }
    const RecordingSession& rec() { return form->engine().controller().recorder().session(); }

    bool waitLive() {
        return waitUntil([&] { return form->PreviewInfo->text().startsWith("Preview: "); });
    }
    // Waits until the motion detector holds a reference of the still scene.
    bool waitReference() {
        return waitLive() && waitUntil([&] { return rec().MotionPhase >= 2; });
    }
    void triggerMotion() {
        simulator->invoke([](sim::CameraSimulator& s) { s.triggerMotion(6); });
    }
    bool stopRecording() {
        // A burst still running when Stop is pressed starts the next Motion
        // recording at once (within one wait): press Stop again, as a user
        // would, until the burst is over and nothing records.
        bool stopped = false;
        for (int i = 0; i < 5 && !stopped; ++i) {
            form->engine().stop();
            stopped = waitUntil([&] { return state().recordingKind == kNotRecording; }, 3000);
        }
        form->engine().controller().recorder().settle();  // the file is written on the recording's thread
        return stopped;
    }

    std::string diagnostics() {
        return "status \"" + form->PreviewInfo->text().toStdString() + "\", link \"" +
               form->LinkInfo->text().toStdString() + "\", warnings " + std::to_string(warnings.size()) +
               (warnings.empty() ? "" : " (" + warnings.back() + ")");
    }
};

// The pictures the simulator sends while motion is shown, each followed by
// its boundary line, exactly as the stream carries them.
std::vector<QByteArray> burstPictures(QSize size) {
    std::vector<QByteArray> out;
    for (uint64_t n : {0, 1}) {
        out.push_back(sim::encodeJpeg(sim::renderScene(size, sim::SceneKind::Burst, n, {}), size) +
                      sim::kBoundaryLine);
    }
    return out;
}

// ---------------------------------------------------------------- alarm e-mail

TEST_F(MailAndWindows, MotionSendsOneMimeMailWithThePictureThatShowedIt) {
    FakeSmtpServer server;
    start(alarmSettings(), server.port());
    ASSERT_TRUE(waitReference()) << diagnostics();
    const std::vector<uint8_t> stillPicture = link().FrameBuffer;

    triggerMotion();
    ASSERT_TRUE(waitUntil([&] { return server.messages().size() == 1 && server.waitSessionsClosed(1, 0); }))
        << diagnostics();
    ASSERT_TRUE(form->engine().emailThread().waitIdle(5000));
    EXPECT_EQ(state().recordingKind, kMotion);
    spin(300);  // the rest of the burst: no second mail while the Motion recording runs
    EXPECT_EQ(server.messages().size(), 1u);
    EXPECT_TRUE(warnings.empty()) << warnings.front();

    // The dialogue: login, then the receiver and both copy addresses.
    const std::vector<std::string> cmds = server.commands();
    auto pos = [&](const std::string& c) {
        return std::find(cmds.begin(), cmds.end(), c) - cmds.begin();
    };
    ASSERT_LT(pos("auth LOGIN"), static_cast<long>(cmds.size()));
    EXPECT_EQ(cmds[pos("auth LOGIN") + 1], QByteArray("camuser").toBase64().toStdString());
    EXPECT_EQ(cmds[pos("auth LOGIN") + 2], QByteArray("s3cret").toBase64().toStdString());
    std::vector<std::string> rcpts;
    for (const auto& c : cmds)
        if (c.rfind("RCPT to:", 0) == 0) rcpts.push_back(c);
    EXPECT_EQ(rcpts, (std::vector<std::string>{"RCPT to:<owner@home.test>", "RCPT to:<neighbour@home.test>",
                                               "RCPT to:<guard@home.test>"}));
    EXPECT_LT(pos("Mail from:<camera@cam.test>"), pos("RCPT to:<owner@home.test>"));
    EXPECT_EQ(cmds.back(), "Quit");

    // The message is MIME multipart with the boundary it announces.
    const std::string text = server.messages().front();
    MimeEntity mail;
    std::string error;
    ASSERT_TRUE(parseEntity(text, mail, &error)) << error;
    EXPECT_EQ(mail.header("from"), "\"Front Door\" <camera@cam.test>");
    EXPECT_EQ(mail.header("to"), "owner@home.test");
    EXPECT_EQ(mail.header("cc"), "neighbour@home.test, \"Guard, Night\" <guard@home.test>");
    EXPECT_EQ(mail.header("subject"), "Alarm Email");
    EXPECT_EQ(mail.header("mime-version"), "1.0");
    EXPECT_EQ(mail.header("x-priority"), "1");
    EXPECT_TRUE(QRegularExpression("^(Mon|Tue|Wed|Thu|Fri|Sat|Sun), \\d{1,2} "
                                   "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \\d{4} "
                                   "\\d\\d:\\d\\d:\\d\\d [+-]\\d{4}$")
                    .match(QString::fromStdString(mail.header("date")))
                    .hasMatch())
        << mail.header("date");
    const std::string contentType = mail.header("content-type");
    EXPECT_EQ(lower(contentType).rfind("multipart/mixed;", 0), 0u) << contentType;
    ASSERT_EQ(parameter(contentType, "boundary"), kBoundary);
    // Folded after "multipart/mixed;": no raw header line is over 78 characters.
    for (size_t at = 0, eol; (eol = text.find("\r\n", at)) != std::string::npos && at < text.find("\r\n\r\n");
         at = eol + 2) {
        EXPECT_LE(eol - at, 78u) << text.substr(at, eol - at);
    }

    std::vector<std::string> parts;
    ASSERT_TRUE(splitMultipart(mail.body, kBoundary, parts, &error)) << error;
    ASSERT_EQ(parts.size(), 2u);
    MimeEntity textPart, attachment;
    ASSERT_TRUE(parseEntity(parts[0], textPart, &error)) << error;
    EXPECT_EQ(textPart.header("content-type"), "text/plain");
    EXPECT_EQ(textPart.body, "Hello,\nAttached Jpeg file is captured by IP Camera.\r\n");
    ASSERT_TRUE(parseEntity(parts[1], attachment, &error)) << error;
    EXPECT_EQ(lower(attachment.header("content-transfer-encoding")), "base64");
    EXPECT_EQ(lower(attachment.header("content-type")).rfind("application/octet-stream;", 0), 0u);
    EXPECT_EQ(parameter(attachment.header("content-type"), "name"), "jpeg_view01.jpg");
    EXPECT_EQ(lower(attachment.header("content-disposition")).rfind("attachment;", 0), 0u);
    EXPECT_EQ(parameter(attachment.header("content-disposition"), "filename"), "jpeg_view01.jpg");

    std::string encoded;
    for (size_t at = 0, eol; (eol = attachment.body.find("\r\n", at)) != std::string::npos; at = eol + 2) {
        const std::string line = attachment.body.substr(at, eol - at);
        EXPECT_LE(line.size(), 76u);
        encoded += line;
    }
    const auto decoded = QByteArray::fromBase64Encoding(QByteArray::fromStdString(encoded),
                                                        QByteArray::AbortOnBase64DecodingErrors);
    ASSERT_TRUE(decoded) << "attachment is not clean base64";
    const QByteArray picture = *decoded;

    // Exactly the snapshot, and that is a picture of the motion burst (with
    // the bytes that followed it in the stream), not the still scene.
    QFile snapshot(QString::fromStdString(snapshotPath()));
    ASSERT_TRUE(snapshot.open(QIODevice::ReadOnly));
    EXPECT_EQ(picture, snapshot.readAll());
    EXPECT_NE(picture, QByteArray(reinterpret_cast<const char*>(stillPicture.data()),
                                  static_cast<qsizetype>(stillPicture.size())));
    const std::vector<QByteArray> burst = burstPictures(QSize(160, 120));
    EXPECT_TRUE(picture == burst[0] || picture == burst[1]) << "attachment of " << picture.size() << " bytes";
    EXPECT_FALSE(QFile::exists(QString::fromStdString(snapshotPath() + ".part")));
}

TEST_F(MailAndWindows, AFailedSendWarnsOnceDisarmsAndActivationRearms) {
    FakeSmtpServer server;
    start(alarmSettings(), FakeSmtpServer::unusedPort());
    ASSERT_TRUE(waitReference()) << diagnostics();

    triggerMotion();
    ASSERT_TRUE(waitUntil([&] { return !warnings.empty(); })) << diagnostics();
    ASSERT_TRUE(form->engine().emailThread().waitIdle(5000));
    EXPECT_EQ(warnings, std::vector<std::string>{
                            "Fail to send alarm email. Please check the setting of \"Alarm Email Setup\""});
    EXPECT_FALSE(form->engine().shared().alarmEmailArmed);

    // More motion while disarmed: recorded, but no snapshot, no mail, no box.
    ASSERT_TRUE(stopRecording());
    ASSERT_TRUE(waitUntil([&] { return rec().MotionPhase >= 2; }));
    QFile::remove(QString::fromStdString(snapshotPath()));
    triggerMotion();
    ASSERT_TRUE(waitUntil([&] { return state().recordingKind == kMotion; })) << diagnostics();
    spin(300);
    EXPECT_FALSE(form->engine().emailThread().busy());
    EXPECT_EQ(warnings.size(), 1u);
    EXPECT_FALSE(QFile::exists(QString::fromStdString(snapshotPath())));
    EXPECT_EQ(server.sessions(), 0);

    // Activation of the main window arms alarm e-mails again.
    ASSERT_TRUE(stopRecording());
    form->engine().emailThread().setSmtpPort(server.port());
    form->activate();
    EXPECT_TRUE(form->engine().shared().alarmEmailArmed);
    ASSERT_TRUE(waitReference()) << diagnostics();
    triggerMotion();
    ASSERT_TRUE(waitUntil([&] { return server.messages().size() == 1; })) << diagnostics();
    ASSERT_TRUE(form->engine().emailThread().waitIdle(5000));
    EXPECT_EQ(warnings.size(), 1u);
    EXPECT_TRUE(QFile::exists(QString::fromStdString(snapshotPath())));
}

TEST_F(MailAndWindows, TheFailureBoxIsAWarningThatHoldsUpNeitherTheWorkerNorTheWindows) {
    useWarningHook = false;
    start(alarmSettings(), FakeSmtpServer::unusedPort());
    form->show();
    ASSERT_TRUE(waitReference()) << diagnostics();

    QMessageBox* box = nullptr;
    bool uiThread = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* b = qobject_cast<QMessageBox*>(w);
            if (!box && b && b->isVisible()) {
                box = b;
                uiThread = QThread::currentThread() == qApp->thread();
            }
        }
    });
    poll.start(10);
    triggerMotion();
    ASSERT_TRUE(waitUntil([&] { return box != nullptr; })) << diagnostics();
    poll.stop();
    EXPECT_EQ(box->windowTitle(), "Warning!");
    EXPECT_EQ(box->text(), "Fail to send alarm email. Please check the setting of \"Alarm Email Setup\"");
    EXPECT_EQ(box->icon(), QMessageBox::Critical);
    EXPECT_TRUE(box->informativeText().contains("cannot connect")) << box->informativeText().toStdString();
    EXPECT_TRUE(uiThread);
    EXPECT_FALSE(form->engine().shared().alarmEmailArmed);

    // The worker does not wait for the box, and while it is open the main
    // window takes clicks that come through the window system (where
    // modality blocks).
    ASSERT_TRUE(form->engine().emailThread().waitIdle(5000));
    EXPECT_TRUE(box->isVisible());
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_EQ(QGuiApplication::modalWindow(), nullptr);
    for (int i = 0; i < 2; ++i) {
        const int before = state().recordingKind;
        QTest::mouseClick(form->windowHandle(), Qt::LeftButton, {}, QPoint(48, 329));  // Record / Stop
        ASSERT_TRUE(waitUntil([&] { return state().recordingKind != before; })) << "click " << i;
        EXPECT_TRUE(box->isVisible());
    }
    box->done(QMessageBox::Ok);
}

// ---------------------------------------------------------------- setup dialogs

// The real dialogs as the program entry wires them.
struct WiredDialogs {
    SetupContext context;
    TForm3 form3;
    TForm2 form2;
    TForm4 form4;
    static SetupContext contextFor(TForm1& form1) { return form1.setupContext(); }
    explicit WiredDialogs(TForm1& form1)
        : context(contextFor(form1)),
          form3(context, &form1),
          form2(context, &form3),
          form4([&form1] { return form1.engine().state().folder.inUse; },
                [&form1] { form1.spareNextActivation(); }) {
        form3.setEmailDialog(&form2);
        form1.setForms(&form3, &form4);
    }
};

TEST_F(MailAndWindows, SetupDialogSaveRelaysOutTheWindowAndTheEmailSetupRearms) {
    setupDialogHook = nullptr;  // the real setup dialog
    FakeSmtpServer server;
    CameraSettings s = baseSettings();
    s.resolution = 1;
    start(s, server.port());
    WiredDialogs dialogs(*form);
    ASSERT_TRUE(waitLive()) << diagnostics();
    ASSERT_TRUE(waitUntil([&] { return !form->engine().preview().isNull(); })) << diagnostics();
    EXPECT_EQ(form->engine().preview().size(), QSize(320, 240));
    EXPECT_EQ(form->size(), QSize(382, 362));
    form->engine().shared().alarmEmailArmed = false;  // as after a failed alarm e-mail

    bool emailDialogShown = false;
    bool layoutWhileOpen = false;
    QTimer::singleShot(50, [&] {
        ASSERT_TRUE(dialogs.form3.isVisible());
        EXPECT_EQ(dialogs.form3.windowTitle(), "IP CAM Setup");
        dialogs.form3.resolutionGroup()->button(0)->setChecked(true);
        dialogs.form3.motionSwitch()->setChecked(true);
        dialogs.form3.alarmSwitch()->setChecked(true);
        QTimer::singleShot(50, [&] {
            emailDialogShown = dialogs.form2.isVisible();
            auto* server = dialogs.form2.findChild<QLineEdit*>("SMTP_Server_Edit");
            auto* receiver = dialogs.form2.findChild<QLineEdit*>("SMTP_Receiver_Edit");
            ASSERT_TRUE(server && receiver);
            server->setText("127.0.0.1");
            receiver->setText("owner@home.test");
            dialogs.form2.findChild<QPushButton*>("SMTP_Save_Button")->click();
        });
        dialogs.form3.emailSetupButton()->click();  // modal: returns when saved
        // Saving the e-mail dialog did not yet re-lay the window for the
        // resolution ticked here: that belongs to this dialog's Save.
        layoutWhileOpen = form->size() == QSize(382, 362);
        dialogs.form3.saveButton()->click();
    });
    ASSERT_TRUE(state().settingsAllowed);
    form->Settings1->click();  // returns when the dialog has closed

    EXPECT_TRUE(emailDialogShown);
    EXPECT_TRUE(form->engine().shared().alarmEmailArmed);
    EXPECT_FALSE(dialogs.form3.isVisible());
    EXPECT_TRUE(layoutWhileOpen);
    EXPECT_EQ(form->size(), QSize(702, 602));
    EXPECT_EQ(form->PreviewImage1->geometry(), QRect(8, 16, 641, 481));

    SettingsStore store(settingsPath());
    CameraSettings saved;
    store.load(saved);
    EXPECT_EQ(saved.resolution, 0);
    EXPECT_EQ(saved.alarmEmailEnabled, 1);
    EXPECT_EQ(saved.smtpServer, "127.0.0.1");
    EXPECT_EQ(saved.smtpReceiver, "owner@home.test");
    EXPECT_EQ(form->engine().settings().smtpReceiver, "owner@home.test");
    EXPECT_EQ(form->engine().shared().settings().smtpReceiver, "owner@home.test");

    // The reconnection asks the camera for the large pictures.
    ASSERT_TRUE(waitUntil([&] { return form->engine().preview().size() == QSize(640, 480); }))
        << diagnostics();
    EXPECT_TRUE(warnings.empty());
}

// A rejected password opens the real setup dialog; a password typed there
// and left with Exit is used for the next attempt without being saved.
TEST_F(MailAndWindows, AfterARejectedPasswordTheDialogsUnsavedPasswordIsUsed) {
    setupDialogHook = nullptr;
    CameraSettings s = baseSettings();
    s.cameraPassword = "wrong";
    start(s, FakeSmtpServer::unusedPort());
    WiredDialogs dialogs(*form);

    int opened = 0;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (!dialogs.form3.isVisible()) return;
        ++opened;
        dialogs.form3.passwordEdit()->setText("pxwqe");
        dialogs.form3.exitButton()->click();
    });
    poll.start(10);
    ASSERT_TRUE(waitLive()) << diagnostics();
    ASSERT_TRUE(waitUntil([&] { return !form->engine().preview().isNull(); })) << diagnostics();
    poll.stop();
    EXPECT_EQ(opened, 1);
    EXPECT_EQ(warnings, std::vector<std::string>{"Please enter correct password!!"});
    EXPECT_EQ(form->engine().settings().cameraPassword, "pxwqe");

    SettingsStore store(settingsPath());
    CameraSettings saved;
    store.load(saved);
    EXPECT_EQ(saved.cameraPassword, "wrong");
}

// ---------------------------------------------------------------- playback of our own recording

TEST_F(MailAndWindows, ThePlaybackWindowPlaysARecordingTheProgramMade) {
    start(baseSettings(), FakeSmtpServer::unusedPort());
    WiredDialogs dialogs(*form);
    ASSERT_TRUE(waitLive()) << diagnostics();
    form->Record1->click();
    ASSERT_TRUE(waitUntil([&] { return state().recordingPictures >= 12; })) << diagnostics();
    ASSERT_TRUE(stopRecording());

    // The PlayBack button shows the window at the recording directory.
    form->PlayBack1->click();
    TForm4& window = dialogs.form4;
    ASSERT_TRUE(waitUntil([&] { return window.isVisible(); }));
    EXPECT_TRUE(form->activationSpared());
    window.formActivate();
    EXPECT_EQ(window.windowTitle(), "AVI Playback");
    EXPECT_EQ(QDir(window.directory()), QDir(dir.path()));
    EXPECT_FALSE(window.playButton()->isEnabled());

    const QStringList days = QDir(dir.path()).entryList({"????????"}, QDir::Dirs);
    ASSERT_EQ(days.size(), 1);
    window.setDirectory(QDir(dir.path()).filePath(days[0]));
    ASSERT_EQ(window.listedFiles().size(), 1);
    const QString name = window.listedFiles().front();
    EXPECT_TRUE(name.endsWith("T.AVI")) << name.toStdString();
    window.selectAlarmClick();
    EXPECT_TRUE(window.listedFiles().isEmpty());
    window.selectTimeClick();
    ASSERT_EQ(window.listedFiles(), QStringList{name});

    window.fileList()->setCurrentRow(0);
    window.aviFileListBoxDblClick();
    ASSERT_TRUE(window.playButton()->isEnabled());
    EXPECT_TRUE(window.stopButton()->isEnabled());
    EXPECT_TRUE(window.trackBar()->isEnabled());
    EXPECT_EQ(window.layoutClass(), 2);
    EXPECT_EQ(window.imagePanel()->geometry(), QRect(64, 84, 161, 121));
    const int frames = window.reader().frameCount();
    EXPECT_GE(frames, 12);
    EXPECT_EQ(window.trackBar()->maximum(), frames - 1);
    EXPECT_EQ(window.shownImage().size(), QSize(160, 120));
    EXPECT_EQ(window.totalTimeLabel()->text().toStdString(),
              formatClock(frameSeconds(static_cast<uint64_t>(frames), window.reader().frameDuration())));
    // Paced at the recorded frame duration (the test's fast status timer
    // makes the recording's seconds short, so the pace is not 40 ms).
    EXPECT_EQ(window.timer()->interval(), frameInterval(window.reader().frameDuration()));

    // Play a few ticks, then pause and stop.
    window.aviPlayClick();
    EXPECT_TRUE(window.timer()->isActive());
    EXPECT_TRUE(window.pauseButton()->isVisibleTo(&window));
    EXPECT_FALSE(window.playButton()->isVisibleTo(&window));
    EXPECT_FALSE(window.fileList()->isEnabled());
    for (int tick = 1; tick <= 3; ++tick) {
        window.timer1Timer();
        EXPECT_EQ(window.currentFrame(), tick);
        EXPECT_EQ(window.trackBar()->value(), tick);
        EXPECT_EQ(window.playbackTimeLabel()->text().toStdString(),
                  formatClock(frameSeconds(static_cast<uint64_t>(tick), window.reader().frameDuration())));
    }
    EXPECT_EQ(window.shownImage().size(), QSize(160, 120));
    window.aviPauseClick();
    EXPECT_FALSE(window.timer()->isActive());
    EXPECT_EQ(window.currentFrame(), 3);
    // Seeking while paused shows that picture; Play continues after it.
    window.trackBar()->setValue(frames - 2);
    EXPECT_EQ(window.currentFrame(), frames - 2);
    window.aviPlayClick();
    window.timer1Timer();
    EXPECT_EQ(window.currentFrame(), frames - 1);
    window.timer1Timer();  // the end: back to the first picture, stopped
    EXPECT_EQ(window.currentFrame(), 0);
    EXPECT_EQ(window.trackBar()->value(), 0);
    EXPECT_FALSE(window.timer()->isActive());
    EXPECT_TRUE(window.playButton()->isEnabled());
    window.aviPlayClick();
    window.timer1Timer();
    window.aviStopClick();
    EXPECT_EQ(window.currentFrame(), 0);
    EXPECT_EQ(window.playbackTimeLabel()->text(), "00:00:00");
    EXPECT_TRUE(window.playButton()->isEnabled());

    // The main window went on previewing all along.
    EXPECT_EQ(state().link, LinkState::Up);

    // Closing the window spares the main window's next activation.
    form->activate();  // the spared one: alarm e-mails armed, nothing restarted
    EXPECT_FALSE(form->activationSpared());
    EXPECT_EQ(state().link, LinkState::Up);
    window.close();
    EXPECT_TRUE(form->activationSpared());
    EXPECT_TRUE(window.shownImage().isNull());
}

// A later activation (the user comes back from the playback window a second
// time) restarts the connection; the recording that was running is written
// as a whole file, not dropped.
TEST_F(MailAndWindows, AnActivationWhileRecordingKeepsTheRecording) {
    start(baseSettings(), FakeSmtpServer::unusedPort());
    ASSERT_TRUE(waitLive()) << diagnostics();
    form->Record1->click();
    ASSERT_TRUE(waitUntil([&] { return state().recordingPictures >= 8; })) << diagnostics();
    const int recorded = static_cast<int>(state().recordingPictures);

    form->activate();
    EXPECT_EQ(state().recordingKind, kNotRecording);
    form->engine().controller().recorder().settle();

    const QStringList days = QDir(dir.path()).entryList({"????????"}, QDir::Dirs);
    ASSERT_EQ(days.size(), 1);
    const QDir day(QDir(dir.path()).filePath(days[0]));
    const QStringList files = day.entryList(QDir::Files);
    ASSERT_EQ(files.size(), 1) << files.join(' ').toStdString();
    EXPECT_TRUE(files[0].endsWith("T.AVI")) << files[0].toStdString();
    RecordedFile file;
    ASSERT_EQ(file.openRecordedFile(day.filePath(files[0])), RecordedFile::OpenStatus::Opened);
    EXPECT_GE(file.frameCount(), recorded);
    ASSERT_TRUE(waitLive()) << diagnostics();
}

// ---------------------------------------------------------------- screenshot

TEST_F(MailAndWindows, TheMainWindowShowsLivePictures) {
    start(baseSettings(), FakeSmtpServer::unusedPort());
    form->show();
    ASSERT_TRUE(waitLive()) << diagnostics();
    spin(100);
    const QImage shot = form->grab().toImage();
    ASSERT_EQ(shot.size(), QSize(389, 362) * shot.devicePixelRatio());
    // The 160 x 120 picture stands at left 88, top 76 inside the picture box.
    const QPoint origin = form->PreviewImage1->mapTo(form.get(), QPoint(0, 0));
    EXPECT_EQ(origin, QPoint(24 + 88, 40 + 76));
    const QImage live = form->engine().preview();
    const QPoint inside(80, 60);
    EXPECT_EQ(shot.pixelColor(origin + inside).rgb(), live.pixelColor(inside).rgb());
    // The panel is one pixel wider and taller than the picture: that strip is black.
    EXPECT_EQ(shot.pixelColor(origin + QPoint(160, 120)).rgb(), QColor(Qt::black).rgb());

    // A new picture repaints the panel alone, never the box and window under it.
    struct PaintCounter : QObject {
        int paints = 0;
        bool eventFilter(QObject*, QEvent* e) override {
            paints += e->type() == QEvent::Paint;
            return false;
        }
    } box, panel;
    form->ImageBox1->installEventFilter(&box);
    form->installEventFilter(&box);
    form->PreviewImage1->installEventFilter(&panel);
    const uint32_t seen = state().previewPictures;
    ASSERT_TRUE(waitUntil([&] { return state().previewPictures >= seen + 5 && panel.paints >= 3; })) << diagnostics();
    EXPECT_EQ(box.paints, 0);
    if (const QByteArray out = qgetenv("IPCAM_SCREENSHOT_DIR"); !out.isEmpty()) {
        shot.save(QDir(QString::fromLocal8Bit(out)).filePath("main_window.png"));
    }
}

}  // namespace
}  // namespace ipcam
