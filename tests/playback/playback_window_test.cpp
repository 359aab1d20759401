// The playback window, offscreen: folder and file lists with the three
// masks, the no-file / stopped / playing states, pacing by the recorded
// frame duration, seeking, the three layout classes, activation and closing.

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QEvent>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QTemporaryDir>
#include <QTimer>
#include <QWindow>

#include <memory>

#include "frontends/window/Unit4.h"
#include "playback_fixtures.h"
#include "recording/media_fixtures.h"
#include "recording/mkv_file.h"

namespace ipcam {
namespace {

using namespace playback_test;

constexpr char kDateFolder[] = "20240601";

// One recording directory shared by all window tests.
class PlaybackWindow : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        root_ = new QTemporaryDir();
        QDir(root_->path()).mkpath(kDateFolder);
        QDir(root_->path()).mkpath("20240602");

        QByteArray three = recording(1, 3, 1);
        putU32(three, 32, 400000);
        putU32(three, 128, 400000);
        write("101500T.AVI", three);
        write("101600T.AVI", recording(1, 250, 100));
        write("101700A.AVI", recording(0, 2, 1, true));
        write("101800A.AVI", recording(2, 2, 1, true));
        write("101900T.AVI", recording(1, 3, 10));
        const auto empty = playback_test::aviOf(1, {}, 1);
        write("102000T.AVI", QByteArray(reinterpret_cast<const char*>(empty.data()), 520));
        QByteArray foreign = recording(1, 3, 1);
        foreign.replace(220, 4, "Lavf");
        write("FOREIGN.AVI", foreign);
        write("notes.txt", "not a recording");

        // Picture 1 is damaged: it starts like a JPEG picture and then is junk.
        std::vector<std::vector<uint8_t>> pictures = {jpegPicture(16, 16, Qt::red), {0xFF, 0xD8, 0xFF, 0xE0, 1, 2, 3, 4},
                                                      jpegPicture(16, 16, Qt::blue)};
        const auto damaged = playback_test::aviOf(1, pictures, 1);
        write("102100A.AVI", QByteArray(reinterpret_cast<const char*>(damaged.data()),
                                         static_cast<qsizetype>(damaged.size())));
    }
    static void TearDownTestSuite() {
        delete root_;
        root_ = nullptr;
    }
    static void write(const QString& name, const QByteArray& bytes) {
        ASSERT_TRUE(writeFile(folder() + "/" + name, bytes));
    }
    static QString folder() { return root_->path() + "/" + kDateFolder; }
    static QString file(const QString& name) { return folder() + "/" + name; }

    void SetUp() override {
        window_ = std::make_unique<TForm4>([] { return root_->path().toStdString(); }, [this] { ++closedCalls_; });
        window_->formActivate();
    }

    // Which of the three states the controls show.
    void expectNoFile() {
        auto& w = *window_;
        EXPECT_FALSE(w.playButton()->isHidden());
        EXPECT_FALSE(w.playButton()->isEnabled());
        EXPECT_TRUE(w.pauseButton()->isHidden());
        EXPECT_FALSE(w.stopButton()->isHidden());
        EXPECT_FALSE(w.stopButton()->isEnabled());
        EXPECT_FALSE(w.trackBar()->isEnabled());
        EXPECT_TRUE(w.fileList()->isEnabled());
        EXPECT_FALSE(w.timer()->isActive());
    }
    void expectStopped() {
        auto& w = *window_;
        EXPECT_FALSE(w.playButton()->isHidden());
        EXPECT_TRUE(w.playButton()->isEnabled());
        EXPECT_TRUE(w.pauseButton()->isHidden());
        EXPECT_FALSE(w.stopButton()->isHidden());
        EXPECT_TRUE(w.stopButton()->isEnabled());
        EXPECT_TRUE(w.trackBar()->isEnabled());
        EXPECT_TRUE(w.fileList()->isEnabled());
        EXPECT_FALSE(w.timer()->isActive());
    }
    void expectPlaying() {
        auto& w = *window_;
        EXPECT_TRUE(w.playButton()->isHidden());
        EXPECT_FALSE(w.pauseButton()->isHidden());
        EXPECT_TRUE(w.pauseButton()->isEnabled());
        EXPECT_TRUE(w.stopButton()->isEnabled());
        EXPECT_TRUE(w.trackBar()->isEnabled());
        EXPECT_FALSE(w.fileList()->isEnabled());
        EXPECT_TRUE(w.timer()->isActive());
    }

    QRgb centre() const {
        const QImage& image = window_->shownImage();
        return image.pixel(image.width() / 2, image.height() / 2);
    }

    static inline QTemporaryDir* root_ = nullptr;
    std::unique_ptr<TForm4> window_;
    int closedCalls_ = 0;
};

bool isRed(QRgb c) { return qRed(c) > 200 && qGreen(c) < 60 && qBlue(c) < 60; }
bool isGreen(QRgb c) { return qGreen(c) > 200 && qRed(c) < 60 && qBlue(c) < 60; }
bool isBlue(QRgb c) { return qBlue(c) > 200 && qRed(c) < 60 && qGreen(c) < 60; }

TEST_F(PlaybackWindow, CreatedWithNoFileAndPlayAndPauseSharingOnePlace) {
    TForm4 fresh([] { return std::string(); }, {});
    EXPECT_EQ(fresh.windowTitle(), "AVI Playback");
    EXPECT_EQ(fresh.size(), TForm4::clientSizeFor(1));
    EXPECT_EQ(fresh.findChild<QPushButton*>("AVIPlay"), fresh.playButton());
    EXPECT_EQ(fresh.playButton()->geometry(), fresh.pauseButton()->geometry());
    EXPECT_FALSE(fresh.playButton()->isEnabled());
    EXPECT_FALSE(fresh.stopButton()->isEnabled());
    EXPECT_TRUE(fresh.pauseButton()->isHidden());
    EXPECT_FALSE(fresh.timer()->isActive());
}

TEST_F(PlaybackWindow, ActivationStartsAtTheRecordingDirectoryWithAllFiles) {
    expectNoFile();
    EXPECT_EQ(window_->directory(), QDir(root_->path()).absolutePath());
    EXPECT_TRUE(window_->selectAll()->isChecked());
    EXPECT_EQ(window_->fileMask(), "*.AVI");
    EXPECT_TRUE(window_->listedFiles().isEmpty());  // the recordings sit in date folders

    // The date folders are offered below the recording directory; choosing
    // one lists its recordings in name order.
    QListWidgetItem* dateItem = nullptr;
    for (int i = 0; i < window_->directoryList()->count(); ++i) {
        if (window_->directoryList()->item(i)->text().trimmed() == kDateFolder)
            dateItem = window_->directoryList()->item(i);
    }
    ASSERT_NE(dateItem, nullptr);
    emit window_->directoryList()->itemActivated(dateItem);
    EXPECT_EQ(window_->directory(), folder());
    EXPECT_EQ(window_->listedFiles(),
              QStringList({"101500T.AVI", "101600T.AVI", "101700A.AVI", "101800A.AVI", "101900T.AVI",
                           "102000T.AVI", "102100A.AVI", "FOREIGN.AVI"}));
}

TEST_F(PlaybackWindow, MasksSelectRecordingsByKind) {
    window_->setDirectory(folder());
    window_->selectAlarmClick();
    EXPECT_EQ(window_->fileMask(), "*A.AVI");
    EXPECT_EQ(window_->listedFiles(), QStringList({"101700A.AVI", "101800A.AVI", "102100A.AVI"}));
    window_->selectTimeClick();
    EXPECT_EQ(window_->fileMask(), "*T.AVI");
    EXPECT_EQ(window_->listedFiles(),
              QStringList({"101500T.AVI", "101600T.AVI", "101900T.AVI", "102000T.AVI"}));
    EXPECT_TRUE(window_->selectTime()->isChecked());
    window_->selectAllClick();
    EXPECT_EQ(window_->listedFiles().size(), 8);
    EXPECT_FALSE(window_->listedFiles().contains("notes.txt"));

    // A later recording of the same second ("-N") is listed after the first.
    const QString sameSecond = root_->path() + "/20240603";
    QDir().mkpath(sameSecond);
    for (const char* name : {"153012-1T.AVI", "153012-10A.AVI", "153012T.AVI", "153012A.AVI", "153012-2A.AVI",
                             "153011T.AVI"})
        ASSERT_TRUE(writeFile(sameSecond + "/" + name, "x"));
    window_->setDirectory(sameSecond);
    EXPECT_EQ(window_->listedFiles(), QStringList({"153011T.AVI", "153012A.AVI", "153012T.AVI", "153012-1T.AVI",
                                                   "153012-2A.AVI", "153012-10A.AVI"}));
    window_->selectAlarmClick();
    EXPECT_EQ(window_->listedFiles(), QStringList({"153012A.AVI", "153012-2A.AVI", "153012-10A.AVI"}));
    window_->setDirectory(folder());

    // Activation puts the mask back to all files.
    window_->selectAlarmClick();
    window_->formActivate();
    EXPECT_EQ(window_->fileMask(), "*.AVI");
    EXPECT_TRUE(window_->selectAll()->isChecked());
}

TEST_F(PlaybackWindow, StateTransitionsFromOpenThroughPlayPauseStopAndActivation) {
    window_->setDirectory(folder());
    auto items = window_->fileList()->findItems("101600T.AVI", Qt::MatchExactly);
    ASSERT_EQ(items.size(), 1);
    window_->fileList()->setCurrentItem(items.front());
    window_->aviFileListBoxDblClick();
    expectStopped();
    EXPECT_EQ(window_->trackBar()->maximum(), 249);
    EXPECT_EQ(window_->totalTimeLabel()->text(), "00:01:40");
    EXPECT_EQ(window_->playbackTimeLabel()->text(), "00:00:00");
    EXPECT_EQ(window_->timer()->interval(), 400);
    EXPECT_TRUE(isRed(centre()));

    window_->aviPlayClick();
    expectPlaying();
    window_->timer1Timer();
    EXPECT_EQ(window_->currentFrame(), 1);
    EXPECT_TRUE(isGreen(centre()));
    window_->aviPauseClick();
    expectStopped();
    EXPECT_EQ(window_->currentFrame(), 1);

    window_->aviPlayClick();
    window_->timer1Timer();
    window_->aviStopClick();
    expectStopped();
    EXPECT_EQ(window_->currentFrame(), 0);
    EXPECT_EQ(window_->trackBar()->value(), 0);
    EXPECT_TRUE(isRed(centre()));  // stopping shows the first picture
}

// The offscreen platform only ever gives the focus to a window, never away
// from the program. So a switch to another application and back arrives here
// as a desktop's window system makes Qt deliver it: the window is
// deactivated and the focus window becomes none, then the window is activated
// and is the focus window again.
void switchToAnotherApplicationAndBack(QWidget& window) {
    QEvent deactivate(QEvent::WindowDeactivate);
    QApplication::sendEvent(&window, &deactivate);
    emit qApp->focusWindowChanged(nullptr);
    QEvent activate(QEvent::WindowActivate);
    QApplication::sendEvent(&window, &activate);
    emit qApp->focusWindowChanged(window.windowHandle());
}

// Focus given to a shown window, as the window system does it.
void focusOn(QWidget& window) {
    window.activateWindow();
    QApplication::processEvents();
    ASSERT_EQ(QGuiApplication::focusWindow(), window.windowHandle());
}

TEST_F(PlaybackWindow, OpeningAndFocusFromAnotherWindowResetItSwitchingApplicationsDoesNot) {
    QWidget mainWindow;  // another window of the program
    mainWindow.show();
    QApplication::processEvents();
    window_->show();
    focusOn(*window_);
    ASSERT_TRUE(window_->openFile(file("101600T.AVI")));
    window_->aviPlayClick();
    // The pace timer runs but its ticks are held back: the picture stays put
    // while the focus moves.
    const QSignalBlocker noTicks(window_->timer());
    window_->trackBar()->setValue(77);
    const QRgb picture77 = centre();  // the sixth colour

    switchToAnotherApplicationAndBack(*window_);
    expectPlaying();
    EXPECT_EQ(window_->currentFrame(), 77);

    // A box of its own takes the focus in its own event loop, then closes
    // and the focus comes back.
    {
        bool boxHadFocus = false;
        QMessageBox box(QMessageBox::Critical, "Warning!", "over the playback", QMessageBox::Ok, window_.get());
        QObject::connect(
            qApp, &QGuiApplication::focusWindowChanged, &box,
            [&](QWindow* focus) {
                if (focus && focus == box.windowHandle()) {
                    boxHadFocus = true;
                    box.accept();
                }
            },
            Qt::QueuedConnection);
        box.exec();
        EXPECT_TRUE(boxHadFocus);
        focusOn(*window_);
    }
    expectPlaying();
    EXPECT_EQ(window_->currentFrame(), 77);

    // Coming back from the main window stops playback and closes the
    // controls, whatever the slider position.
    focusOn(mainWindow);
    focusOn(*window_);
    expectNoFile();
    EXPECT_EQ(window_->trackBar()->value(), 0);
    EXPECT_EQ(window_->currentFrame(), 0);
    EXPECT_EQ(window_->totalTimeLabel()->text(), "00:00:00");
    EXPECT_EQ(centre(), picture77);  // the last picture stays in the panel
    EXPECT_FALSE(isRed(centre()));

    // Opened again after closing: reset as well.
    ASSERT_TRUE(window_->openFile(file("101600T.AVI")));
    window_->close();
    window_->show();
    expectNoFile();
}

TEST_F(PlaybackWindow, ThreePicturesPlayToTheEndAndReturnToTheFirst) {
    ASSERT_TRUE(window_->openFile(file("101500T.AVI")));
    EXPECT_EQ(window_->timer()->interval(), 400);
    EXPECT_EQ(window_->totalTimeLabel()->text(), "00:00:01");
    window_->aviPlayClick();

    window_->timer1Timer();
    EXPECT_EQ(window_->currentFrame(), 1);
    EXPECT_EQ(window_->trackBar()->value(), 1);
    EXPECT_EQ(window_->playbackTimeLabel()->text(), "00:00:00");
    EXPECT_TRUE(isGreen(centre()));
    window_->timer1Timer();
    EXPECT_EQ(window_->currentFrame(), 2);
    EXPECT_TRUE(isBlue(centre()));
    expectPlaying();

    window_->timer1Timer();
    EXPECT_EQ(window_->currentFrame(), 0);
    EXPECT_EQ(window_->trackBar()->value(), 0);
    EXPECT_EQ(window_->playbackTimeLabel()->text(), "00:00:00");
    EXPECT_TRUE(isRed(centre()));
    expectStopped();
}

TEST_F(PlaybackWindow, SeekingWhilePausedThenPlayContinuesFromThere) {
    ASSERT_TRUE(window_->openFile(file("101600T.AVI")));
    window_->aviPlayClick();
    window_->timer1Timer();
    window_->aviPauseClick();

    window_->trackBar()->setValue(120);  // the user drags the slider
    EXPECT_EQ(window_->currentFrame(), 120);
    EXPECT_EQ(window_->playbackTimeLabel()->text(), "00:00:48");
    EXPECT_TRUE(isRed(centre()));  // picture 120 is the first colour again
    expectStopped();

    window_->aviPlayClick();
    window_->timer1Timer();
    EXPECT_EQ(window_->currentFrame(), 121);
    EXPECT_EQ(window_->trackBar()->value(), 121);
    EXPECT_TRUE(isGreen(centre()));

    // Dragging to 0 while playing stops.
    window_->trackBar()->setValue(0);
    expectStopped();
    EXPECT_EQ(window_->currentFrame(), 0);
}

TEST_F(PlaybackWindow, TruncatedTimeOfAThirdOfASecondFrame) {
    ASSERT_TRUE(window_->openFile(file("101900T.AVI")));
    EXPECT_EQ(window_->timer()->interval(), 3333);
    EXPECT_EQ(window_->totalTimeLabel()->text(), "00:00:09");
    window_->trackBar()->setValue(2);
    EXPECT_EQ(window_->playbackTimeLabel()->text(), "00:00:06");
}

TEST_F(PlaybackWindow, LayoutFollowsThePictureSizeOfTheOpenedFile) {
    ASSERT_TRUE(window_->openFile(file("101700A.AVI")));  // 640 x 480
    EXPECT_EQ(window_->layoutClass(), 0);
    EXPECT_EQ(window_->size(), QSize(886, 571));
    EXPECT_EQ(TForm4::windowSizeFor(0), QSize(894, 598));
    EXPECT_EQ(window_->imagePanel()->geometry(), QRect(4, 4, 641, 481));
    EXPECT_EQ(window_->picturePanelFrame()->size(), QSize(649, 489));
    EXPECT_EQ(window_->stopButton()->geometry(), QRect(64, 517, 48, 48));
    EXPECT_EQ(window_->fileList()->geometry(), QRect(664, 268, 201, 244));
    EXPECT_EQ(window_->trackBar()->width(), 529);
    EXPECT_EQ(window_->totalTimeLabel()->geometry(), QRect(656, 520, 70, 25));
    EXPECT_EQ(window_->shownImage().size(), QSize(640, 480));

    ASSERT_TRUE(window_->openFile(file("101800A.AVI")));  // 160 x 120
    EXPECT_EQ(window_->layoutClass(), 2);
    EXPECT_EQ(window_->size(), QSize(566, 331));
    EXPECT_EQ(TForm4::windowSizeFor(2), QSize(574, 358));
    EXPECT_EQ(window_->imagePanel()->geometry(), QRect(64, 84, 161, 121));
    EXPECT_EQ(window_->picturePanelFrame()->size(), QSize(329, 249));
    EXPECT_EQ(window_->stopButton()->geometry(), QRect(64, 277, 48, 48));
    EXPECT_EQ(window_->fileList()->geometry(), QRect(344, 148, 201, 124));
    EXPECT_EQ(window_->trackBar()->width(), 209);
    EXPECT_EQ(window_->playbackTimeLabel()->geometry(), QRect(336, 304, 70, 18));

    ASSERT_TRUE(window_->openFile(file("101500T.AVI")));  // 320 x 240
    EXPECT_EQ(window_->layoutClass(), 1);
    EXPECT_EQ(window_->imagePanel()->geometry(), QRect(4, 4, 321, 241));
}

TEST_F(PlaybackWindow, FilesThatCannotBePlayedLeaveTheWindowWithNoFile) {
    ASSERT_TRUE(window_->openFile(file("101600T.AVI")));
    window_->trackBar()->setValue(50);
    const QString total = window_->totalTimeLabel()->text();

    for (const char* name : {"FOREIGN.AVI", "102000T.AVI", "missing.AVI", "notes.txt"}) {
        EXPECT_FALSE(window_->openFile(file(name))) << name;
        expectNoFile();
        EXPECT_EQ(window_->totalTimeLabel()->text(), total) << name;  // clocks keep their text
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
        // Play, a tick or a slider move without a file do nothing harmful.
        window_->aviPlayClick();
        window_->timer1Timer();
        EXPECT_FALSE(window_->timer()->isActive());
        ASSERT_TRUE(window_->openFile(file("101600T.AVI")));
    }

    // A double click with nothing selected.
    window_->setDirectory(folder());
    window_->fileList()->clearSelection();
    window_->aviFileListBoxDblClick();
    expectNoFile();
    // The file was deleted after it was listed.
    window_->setDirectory(root_->path() + "/20240602");
    writeFile(root_->path() + "/20240602/gone.AVI", recording(1, 2, 1));
    window_->setDirectory(root_->path() + "/20240602");
    window_->fileList()->setCurrentRow(0);
    QFile::remove(root_->path() + "/20240602/gone.AVI");
    window_->aviFileListBoxDblClick();
    expectNoFile();
}

TEST_F(PlaybackWindow, APictureThatDoesNotDecodeKeepsThePreviousOneAndPlayGoesOn) {
    ASSERT_TRUE(window_->openFile(file("102100A.AVI")));
    EXPECT_TRUE(isRed(centre()));
    window_->aviPlayClick();
    window_->timer1Timer();
    EXPECT_EQ(window_->currentFrame(), 1);
    EXPECT_TRUE(isRed(centre()));
    EXPECT_EQ(window_->trackBar()->value(), 1);
    expectPlaying();
    window_->timer1Timer();
    EXPECT_TRUE(isBlue(centre()));
}

TEST_F(PlaybackWindow, MatroskaRecordingsAreListedByKindAndPlayAtTheirOwnPace) {
    // Eight pictures at 5/s (a key frame every fourth) from a coded-video camera.
    const auto cam = media_test::makeCamera(AV_CODEC_ID_H264, 8, 5, 4, true);
    if (!cam.tracks) GTEST_SKIP() << "no libx264 encoder";
    const QString day = root_->path() + "/20240604";
    QDir().mkpath(day);
    PartialMkvWriter w;
    std::string error, final;
    ASSERT_TRUE(w.open(root_->path().toStdString(), makeDateTime(2024, 6, 4, 10, 0, 0), true, *cam.tracks, &error));
    for (const auto& p : cam.packets) ASSERT_TRUE(w.append(p, &error)) << error;
    ASSERT_TRUE(w.finish(day.toStdString(), "100000", true, &final, &error)) << error;
    ASSERT_TRUE(writeFile(day + "/095900T.AVI", recording(1, 3, 1)));
    ASSERT_TRUE(writeFile(day + "/notes.mkv", "not ours"));

    window_->setDirectory(day);
    EXPECT_EQ(window_->listedFiles(), QStringList({"095900T.AVI", "100000A.MKV", "notes.mkv"}));
    window_->selectAlarmClick();
    EXPECT_EQ(window_->listedFiles(), QStringList({"100000A.MKV"}));
    window_->selectTimeClick();
    EXPECT_EQ(window_->listedFiles(), QStringList({"095900T.AVI"}));
    EXPECT_FALSE(window_->openFile(day + "/notes.mkv"));
    expectNoFile();

    ASSERT_TRUE(window_->openFile(day + "/100000A.MKV"));
    expectStopped();
    EXPECT_EQ(window_->source().frameCount(), 8);
    EXPECT_EQ(window_->trackBar()->maximum(), 7);
    EXPECT_EQ(window_->timer()->interval(), 200);
    EXPECT_EQ(window_->totalTimeLabel()->text(), "00:00:01");  // 1.6 s
    EXPECT_EQ(window_->layoutClass(), 1);
    EXPECT_TRUE(isRed(centre()));
    window_->aviPlayClick();
    window_->timer1Timer();
    EXPECT_EQ(window_->currentFrame(), 1);
    EXPECT_TRUE(isGreen(centre()));
    expectPlaying();
    // The slider seeks by picture: from the key frame before it.
    window_->aviPauseClick();
    window_->trackBar()->setValue(6);
    EXPECT_EQ(window_->currentFrame(), 6);
    EXPECT_TRUE(isRed(centre()));
    EXPECT_EQ(window_->playbackTimeLabel()->text(), "00:00:01");
    window_->trackBar()->setValue(2);
    EXPECT_TRUE(isBlue(centre()));
    // Back to an AVI recording: its own reader and pace.
    ASSERT_TRUE(window_->openFile(day + "/095900T.AVI"));
    EXPECT_EQ(window_->source().frameCount(), 3);
    EXPECT_TRUE(isRed(centre()));
}

TEST_F(PlaybackWindow, ClosingStopsEmptiesAndTellsTheMainWindow) {
    window_->show();
    ASSERT_TRUE(window_->openFile(file("101600T.AVI")));
    window_->aviPlayClick();
    window_->close();
    EXPECT_EQ(closedCalls_, 1);
    EXPECT_FALSE(window_->timer()->isActive());
    EXPECT_FALSE(window_->reader().isOpen());
    EXPECT_TRUE(window_->shownImage().isNull());
    EXPECT_TRUE(window_->imagePanel()->pixmap().isNull());
    window_->timer1Timer();  // a late tick finds nothing to show
    EXPECT_EQ(window_->currentFrame(), 0);
}

}  // namespace
}  // namespace ipcam
