#pragma once
// The playback window "AVI Playback": browses the recording directory, filters
// the files by kind, opens one recording and plays it picture by picture with
// Play, Pause, Stop, a position slider and two clocks. Modeless: the main
// window goes on previewing and recording while it plays.
//
// The event handlers are public so that they can be driven directly.

#include <QImage>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <functional>
#include <memory>
#include <string>

#include "playback/recorded_file.h"
#include "recording/recording_catalog.h"

class QFrame;
class QGroupBox;
class QLabel;
class QListWidget;
class QListWidgetItem;
class QPushButton;
class QRadioButton;
class QSlider;
class QTimer;
class QWindow;

namespace ipcam {

class TForm4 : public QWidget {
    Q_OBJECT
public:
    // aviDirectory: the recording directory of the current camera slot, asked
    // at every activation. onClosed: called when the window is closed (the
    // main window then skips its next activation).
    TForm4(std::function<std::string()> aviDirectory, std::function<void()> onClosed,
           QWidget* parent = nullptr);
    ~TForm4() override;

    // --- event handlers ---
    // The activation reset: runs when the window is opened and whenever the
    // focus comes to it from another window of the program. Coming back from
    // another application, or from a message box, is not an activation.
    void formActivate();
    void directoryListBox1Change();
    void selectAlarmClick();
    void selectTimeClick();
    void selectAllClick();
    void aviFileListBoxDblClick();
    void aviPlayClick();
    void aviPauseClick();
    void aviStopClick();
    void timer1Timer();
    void playTrackBarChange(int position);
    void formClose();

    // Opens a recording as a double click on it does; false (and the "no
    // file" state) when it is not a readable recording of this program.
    bool openFile(const QString& path);
    // Shows folder `path` in the folder list and lists its files.
    void setDirectory(const QString& path);

    // --- state, for the main window and tests ---
    int currentFrame() const { return currentFrame_; }
    int layoutClass() const { return layoutClass_; }
    QString directory() const { return directory_; }
    QString fileMask() const { return fileMasks().front(); }
    // The masks listed, the AVI mask first, then its Matroska twin ("*A.MKV"
    // ...): kindFilterMasks of the kind chosen.
    QStringList fileMasks() const;
    QStringList listedFiles() const;
    // The open recording when it is an AVI file (else a closed reader), and
    // the open recording whatever its format.
    const RecordedFile& reader() const {
        const auto* file = dynamic_cast<const RecordedFile*>(source_);
        return file ? *file : noFile_;
    }
    const PictureSource& source() const { return *source_; }
    // The picture last decoded into the panel (null when cleared).
    const QImage& shownImage() const { return image_; }

    QPushButton* playButton() const { return aviPlay_; }
    QPushButton* pauseButton() const { return aviPause_; }
    QPushButton* stopButton() const { return aviStop_; }
    QSlider* trackBar() const { return trackBar_; }
    QListWidget* fileList() const { return fileList_; }
    QListWidget* directoryList() const { return directoryList_; }
    QLabel* totalTimeLabel() const { return totalTime_; }
    QLabel* playbackTimeLabel() const { return playbackTime_; }
    QLabel* imagePanel() const { return playbackImage_; }
    QFrame* picturePanelFrame() const { return playbackPanel_; }
    QTimer* timer() const { return timer1_; }
    QRadioButton* selectMotion() const { return selectMotion_; }
    QRadioButton* selectTime() const { return selectTime_; }
    QRadioButton* selectAll() const { return selectAll_; }

    // Outer window size (frame included) of a layout class.
    static QSize windowSizeFor(int layoutClass);
    // Client size of a layout class.
    static QSize clientSizeFor(int layoutClass);

protected:
    void showEvent(QShowEvent* e) override;
    void closeEvent(QCloseEvent* e) override;

private:
    void buildControls();
    void applyLayout(int layoutClass);
    void showPlaybackFrame(int n);
    void stopReset();
    void enterNoFileState();
    void setFileFilter(KindFilter filter);
    void refreshDirectoryList();
    void refreshFileList();
    void directoryItemActivated(QListWidgetItem* item);
    void setSliderPosition(int position);
    void onFocusWindowChanged(QWindow* window);

    std::function<std::string()> aviDirectory_;
    std::function<void()> onClosed_;

    std::unique_ptr<PictureSource> opened_;  // the open recording (openRecording), if any
    RecordedFile noFile_;                    // stands for it when none is open
    PictureSource* source_ = &noFile_;
    QImage image_;
    int currentFrame_ = 0;
    int layoutClass_ = 1;
    bool showingFrame_ = false;
    QString directory_;
    KindFilter filter_ = KindFilter::All;

    // Where the focus was before it last moved within the program: here
    // (this window), or another window of the program.
    enum class FocusOrigin { Here, OtherWindow };
    FocusOrigin focusOrigin_ = FocusOrigin::Here;
    // Opened and reset, and the focus has not arrived since: its arrival is
    // part of the opening, not a second activation.
    bool openedSinceFocus_ = false;

    QFrame* playbackForm_ = nullptr;
    QFrame* playbackPanel_ = nullptr;
    QLabel* playbackImage_ = nullptr;
    QListWidget* directoryList_ = nullptr;
    QListWidget* fileList_ = nullptr;
    QGroupBox* trackBarBox_ = nullptr;
    QSlider* trackBar_ = nullptr;
    QLabel* totalTime_ = nullptr;
    QLabel* playbackTime_ = nullptr;
    QGroupBox* fileTypeBox_ = nullptr;
    QRadioButton* selectMotion_ = nullptr;
    QRadioButton* selectTime_ = nullptr;
    QRadioButton* selectAll_ = nullptr;
    QPushButton* aviPlay_ = nullptr;
    QPushButton* aviPause_ = nullptr;
    QPushButton* aviStop_ = nullptr;
    QTimer* timer1_ = nullptr;
};

}  // namespace ipcam
