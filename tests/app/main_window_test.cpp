#include <gtest/gtest.h>

#include <QButtonGroup>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QTemporaryDir>
#include <QTimer>

#include "frontends/window/Unit1.h"
#include "frontends/window/Unit3.h"
#include "app_fakes.h"
#include "camera/status_line.h"

namespace ipcam::apptest {
namespace {

// ------------------------------------------------------------ rate rounding

TEST(StatusLineRounding, HalfTenthsRoundUpLikeTheZeroPointZeroPattern) {
    // Exact ties in binary (1.25, 0.25) and decimal ties that binary cannot
    // hold (0.15, 0.35) all round up, as "0.0" formatting does.
    EXPECT_EQ(formatRate(5, 4), "1.3");
    EXPECT_EQ(formatRate(1, 4), "0.3");
    EXPECT_EQ(formatRate(3, 20), "0.2");
    EXPECT_EQ(formatRate(7, 20), "0.4");
    EXPECT_EQ(formatRate(0, 7), "0.0");
    EXPECT_EQ(formatRate(0, 0), "0.0");
    EXPECT_EQ(formatRate(4294967295u, 1), "4294967295.0");
    EXPECT_EQ(formatRate(4294967295u, 4294967295u), "1.0");

    StatusCounters s;
    s.PreviewFrames = 5;
    s.PreviewSeconds = 4;
    EXPECT_EQ(tickStatusText(s), "Preview: 1.3 (5f/4s)");
    s.RecordKind = kDaily;
    s.RecordFrames = 3;
    s.RecordSeconds = 20;
    EXPECT_EQ(pictureStatusText(s), "Daily Record: 0.2 (3f/20s)");
}

// ------------------------------------------------------------ the window's timers

struct Window {
    QTemporaryDir dir;
    FakeClock clock;
    FakeFreeSpace freeSpace;
    std::unique_ptr<TForm1> form;

    explicit Window(double timerScale) {
        TForm1::Options o;
        o.settingsPath = dir.filePath("ipcam-recorder.INI").toStdString();
        o.snapshotPath = dir.filePath("jpeg_view01.jpg").toStdString();
        o.timerScale = timerScale;
        o.clock = &clock;
        o.freeSpace = &freeSpace;
        o.warningHook = [](const std::string&) {};
        o.setupDialogHook = [] {};
        form = std::make_unique<TForm1>(o);
    }
};

void spinFor(int ms) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
    }
}

TEST(MainWindowTimers, StartingARunningTimerLeavesItsTickWhereItWas) {
    // Timer1 is started again by the Record and Stop buttons while it already
    // counts seconds; doing so must not push its next tick back, or every
    // click would lose up to a second of the rate's time base.
    Window w(0.05);  // Timer1: 50 ms
    QTimer* t1 = w.form->engine().timer(TimerId::Timer1);
    w.form->engine().host().startTimer(TimerId::Timer1, 1000);
    ASSERT_TRUE(t1->isActive());
    spinFor(30);
    w.form->engine().host().startTimer(TimerId::Timer1, 1000);
    EXPECT_TRUE(t1->isActive());
    EXPECT_LE(t1->remainingTime(), 25);

    // A stopped timer starts afresh, and a new interval takes effect at once.
    w.form->engine().host().stopTimer(TimerId::Timer1);
    w.form->engine().host().startTimer(TimerId::Timer1, 1000);
    EXPECT_GT(t1->remainingTime(), 25);
    QTimer* cc = w.form->engine().timer(TimerId::FolderCheck);
    w.form->engine().host().startTimer(TimerId::FolderCheck, 100);
    w.form->engine().host().startTimer(TimerId::FolderCheck, 5000);
    EXPECT_EQ(cc->interval(), 250);
    EXPECT_GT(cc->remainingTime(), 100);
}

TEST(MainWindowTimers, DesignIntervalsAndLayoutTable) {
    Window w(1.0);
    for (TimerId id : {TimerId::StatusTick, TimerId::FolderCheck}) {
        EXPECT_EQ(w.form->engine().timer(id)->interval(), 1000);
        EXPECT_FALSE(w.form->engine().timer(id)->isActive());
    }
    EXPECT_EQ(w.form->windowTitle(), "IPCam Recorder, v1.5, 2006/10/12");

    w.form->applyLayout(2);
    EXPECT_EQ(w.form->size(), QSize(389, 362));
    EXPECT_EQ(w.form->PreviewImage1->geometry(), QRect(88, 76, 161, 121));
    EXPECT_EQ(w.form->Settings1->geometry(), QRect(72, 305, 48, 48));
    w.form->applyLayout(0);
    EXPECT_EQ(w.form->size(), QSize(702, 602));
    EXPECT_EQ(w.form->ImageBox1->geometry(), QRect(24, 40, 657, 505));
    EXPECT_EQ(w.form->PreviewImage1->geometry(), QRect(8, 16, 641, 481));
    EXPECT_EQ(w.form->PreviewInfo->geometry(), QRect(168, 544, 513, 24));
    EXPECT_EQ(w.form->DiskSpace->geometry(), QRect(168, 568, 513, 24));
    EXPECT_EQ(w.form->PlayBack1->geometry(), QRect(120, 545, 48, 48));
    EXPECT_EQ(w.form->LinkInfo->geometry(), QRect(24, 24, 657, 25));
    w.form->applyLayout(7);
    EXPECT_EQ(w.form->size(), QSize(382, 362));
    EXPECT_EQ(w.form->PreviewImage1->geometry(), QRect(8, 16, 321, 241));
}

// The status lines place their glyphs from measured pairs; they must look
// exactly like the QLabel they replace, for the changing texts and for the
// ones that go the ordinary way (ligatures, other scripts).
TEST(MainWindowStatusLines, LookExactlyLikeALabel) {
    Window w(1.0);
    QLabel label;
    label.setAutoFillBackground(true);
    label.setPalette(w.form->PreviewInfo->palette());
    label.setFont(w.form->PreviewInfo->font());
    label.setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    for (const QSize size : {QSize(513, 24), QSize(193, 24)}) {
        StatusLabel line(nullptr);
        line.resize(size);
        label.resize(size);
        for (const char* text :
             {"Preview: 29.9 (300f/10s)", "Daily Record: 0.2 (3f/20s)", "Motion Record: 14.7 (4411f/300s)",
              "Free Space :123456M Bytes.", "Fail to connect to IP CAM! Reconnect!!", "", "office fluffy WAVE AV Ty",
              "\u05e9\u05dc\u05d5\u05dd 12", "\u05e9\u05dc  \u05d5\u05dd  ", "Free  Space  :7M Bytes."}) {
            const QString t = QString::fromUtf8(text);
            line.setText(t);
            label.setText(t);
            EXPECT_EQ(line.text(), t);
            EXPECT_TRUE(line.grab().toImage() == label.grab().toImage()) << text << " at " << size.width();
        }
    }
}

// Settings applied elsewhere (the web page does it this way, on the engine's
// thread) while the setup dialog is open: the window and the dialog follow,
// unless the dialog holds edits, which it keeps and says Save replaces them.
TEST(MainWindowSettings, AnOpenSetupDialogFollowsSettingsAppliedElsewhere) {
    Window w(1.0);
    TForm3 setup(w.form->setupContext());
    w.form->setForms(&setup, nullptr);
    RecorderEngine& engine = w.form->engine();
    CameraSettings s = engine.settings();
    s.hostAddress = "127.0.0.1";
    s.aviDirectory = w.dir.filePath("rec").toStdString();
    s.keepDays = 4;
    s.resolution = 1;
    ASSERT_FALSE(engine.applySettings(s));
    QCoreApplication::processEvents();
    setup.show();
    ASSERT_EQ(setup.keepDaysEdit()->text(), "4");

    s.keepDays = 9;
    s.resolution = 0;
    ASSERT_FALSE(engine.applySettings(s));
    QCoreApplication::processEvents();
    EXPECT_EQ(setup.keepDaysEdit()->text(), "9");
    EXPECT_EQ(setup.resolutionGroup()->checkedId(), 0);
    EXPECT_FALSE(setup.staleNote()->isVisibleTo(&setup));
    EXPECT_EQ(w.form->size(), QSize(702, 602));  // laid out for 640 x 480

    setup.keepDaysEdit()->setText("3");
    s.keepDays = 11;
    ASSERT_FALSE(engine.applySettings(s));
    QCoreApplication::processEvents();
    EXPECT_EQ(setup.keepDaysEdit()->text(), "3");
    EXPECT_TRUE(setup.staleNote()->isVisibleTo(&setup));
    setup.hide();
}

}  // namespace
}  // namespace ipcam::apptest
