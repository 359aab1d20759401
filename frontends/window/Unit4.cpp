#include "frontends/window/Unit4.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QEvent>
#include <QFileInfo>
#include <QFont>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QRadioButton>
#include <QShowEvent>
#include <QSignalBlocker>
#include <QSlider>
#include <QStyle>
#include <QTimer>
#include <QWindow>

#include <algorithm>

#include "playback/recording_source.h"

namespace ipcam {

namespace {

const QString kZeroClock = QStringLiteral("00:00:00");

// Geometry of one layout class, in pixels.
struct LayoutGeometry {
    QSize window;
    QSize client;
    QSize form;
    QSize panel;
    QRect image;
    int listLeft;
    int listHeight;
    int fileListTop;
    int buttonTop;
    int trackBoxWidth;
    int trackBoxTop;
    int trackBarWidth;
    QPoint totalTime;
    QPoint playbackTime;
    QPoint fileTypeBox;
};

// Class 0 is 640 x 480 pictures, class 1 (the design layout) 320 x 240,
// class 2 160 x 120 (class 1 with a smaller, centred picture panel).
const LayoutGeometry kLayouts[3] = {
    {{894, 598}, {886, 571}, {884, 570}, {649, 489}, {4, 4, 641, 481}, 664, 244, 268, 517, 545, 514, 529,
     {656, 520}, {656, 544}, {728, 514}},
    {{574, 358}, {566, 331}, {564, 330}, {329, 249}, {4, 4, 321, 241}, 344, 124, 148, 277, 225, 274, 209,
     {336, 280}, {336, 304}, {408, 274}},
    {{574, 358}, {566, 331}, {564, 330}, {329, 249}, {64, 84, 161, 121}, 344, 124, 148, 277, 225, 274, 209,
     {336, 280}, {336, 304}, {408, 274}},
};

const LayoutGeometry& geometryOf(int layoutClass) {
    return kLayouts[std::clamp(layoutClass, 0, 2)];
}

QString clockText(uint64_t seconds) {
    return QString::fromStdString(formatClock(seconds));
}

// The user data role holding a folder's full path in the folder list.
constexpr int kPathRole = Qt::UserRole;

}  // namespace

TForm4::TForm4(std::function<std::string()> aviDirectory, std::function<void()> onClosed, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                          Qt::WindowMinimizeButtonHint | Qt::CustomizeWindowHint),
      aviDirectory_(std::move(aviDirectory)),
      onClosed_(std::move(onClosed)) {
    setObjectName(QStringLiteral("Form4"));
    setWindowTitle(QStringLiteral("AVI Playback"));
    buildControls();

    // Form creation: no playback, only Play and Stop shown, both disabled.
    enterNoFileState();
    applyLayout(1);
    move(100, 50);

    connect(qApp, &QGuiApplication::focusWindowChanged, this, &TForm4::onFocusWindowChanged);
}

TForm4::~TForm4() = default;

void TForm4::buildControls() {
    playbackForm_ = new QFrame(this);
    playbackForm_->setObjectName(QStringLiteral("PlaybackForm"));

    playbackPanel_ = new QFrame(playbackForm_);
    playbackPanel_->setObjectName(QStringLiteral("PlaybackPanel"));
    playbackPanel_->setFrameShape(QFrame::Panel);
    playbackPanel_->setFrameShadow(QFrame::Sunken);

    playbackImage_ = new QLabel(playbackPanel_);
    playbackImage_->setObjectName(QStringLiteral("PlaybackImage"));
    playbackImage_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    playbackImage_->setAutoFillBackground(true);
    QPalette imagePalette = playbackImage_->palette();
    imagePalette.setColor(QPalette::Window, Qt::black);
    playbackImage_->setPalette(imagePalette);

    directoryList_ = new QListWidget(playbackForm_);
    directoryList_->setObjectName(QStringLiteral("DirectoryListBox1"));
    connect(directoryList_, &QListWidget::itemActivated, this,
            [this](QListWidgetItem* item) { directoryItemActivated(item); });

    fileList_ = new QListWidget(playbackForm_);
    fileList_->setObjectName(QStringLiteral("AVIFileListBox"));
    fileList_->setSelectionMode(QAbstractItemView::SingleSelection);
    connect(fileList_, &QListWidget::itemDoubleClicked, this, [this](QListWidgetItem*) { aviFileListBoxDblClick(); });

    trackBarBox_ = new QGroupBox(playbackForm_);
    trackBarBox_->setObjectName(QStringLiteral("PlayTraceBarBox"));
    trackBar_ = new QSlider(Qt::Horizontal, trackBarBox_);
    trackBar_->setObjectName(QStringLiteral("PlayTrackBar"));
    trackBar_->setRange(0, 0);
    trackBar_->setPageStep(10);
    // valueChanged is emitted only when the position really changes, whether
    // the user drags it or the window sets it.
    connect(trackBar_, &QSlider::valueChanged, this, [this](int position) { playTrackBarChange(position); });

    const QString clockStyle = QStringLiteral("QLabel { color: lime; background-color: black; }");
    QFont clockFont(QStringLiteral("Arial"));
    clockFont.setPointSize(10);
    totalTime_ = new QLabel(kZeroClock, playbackForm_);
    totalTime_->setObjectName(QStringLiteral("TotalTime"));
    playbackTime_ = new QLabel(kZeroClock, playbackForm_);
    playbackTime_->setObjectName(QStringLiteral("PlaybackTime"));
    for (QLabel* clock : {totalTime_, playbackTime_}) {
        clock->setStyleSheet(clockStyle);
        clock->setFont(clockFont);
        clock->setAlignment(Qt::AlignCenter);
    }

    fileTypeBox_ = new QGroupBox(playbackForm_);
    fileTypeBox_->setObjectName(QStringLiteral("FileTypeBox"));
    selectMotion_ = new QRadioButton(QStringLiteral("Alarm Image"), fileTypeBox_);
    selectMotion_->setObjectName(QStringLiteral("SelectMotion"));
    selectTime_ = new QRadioButton(QStringLiteral("Time Image"), fileTypeBox_);
    selectTime_->setObjectName(QStringLiteral("SelectTime"));
    selectAll_ = new QRadioButton(QStringLiteral("All "), fileTypeBox_);
    selectAll_->setObjectName(QStringLiteral("SelectAll"));
    QFont smallFont = font();
    smallFont.setPointSize(8);
    int radioTop = 2;
    for (QRadioButton* radio : {selectMotion_, selectTime_, selectAll_}) {
        radio->setFont(smallFont);
        radio->setGeometry(8, radioTop, 125, 15);
        radioTop += 15;
    }
    selectAll_->setChecked(true);
    connect(selectMotion_, &QRadioButton::clicked, this, [this] { selectAlarmClick(); });
    connect(selectTime_, &QRadioButton::clicked, this, [this] { selectTimeClick(); });
    connect(selectAll_, &QRadioButton::clicked, this, [this] { selectAllClick(); });

    aviPlay_ = new QPushButton(playbackForm_);
    aviPlay_->setObjectName(QStringLiteral("AVIPlay"));
    aviPlay_->setIcon(style()->standardIcon(QStyle::SP_MediaPlay));
    aviPlay_->setToolTip(QStringLiteral("Play"));
    aviPause_ = new QPushButton(playbackForm_);
    aviPause_->setObjectName(QStringLiteral("AVIPause"));
    aviPause_->setIcon(style()->standardIcon(QStyle::SP_MediaPause));
    aviPause_->setToolTip(QStringLiteral("Pause"));
    aviStop_ = new QPushButton(playbackForm_);
    aviStop_->setObjectName(QStringLiteral("AVIStop"));
    aviStop_->setIcon(style()->standardIcon(QStyle::SP_MediaStop));
    aviStop_->setToolTip(QStringLiteral("Stop"));
    for (QPushButton* button : {aviPlay_, aviPause_, aviStop_})
        button->setIconSize(QSize(32, 32));
    connect(aviPlay_, &QPushButton::clicked, this, [this] { aviPlayClick(); });
    connect(aviPause_, &QPushButton::clicked, this, [this] { aviPauseClick(); });
    connect(aviStop_, &QPushButton::clicked, this, [this] { aviStopClick(); });

    timer1_ = new QTimer(this);
    timer1_->setObjectName(QStringLiteral("Timer1"));
    connect(timer1_, &QTimer::timeout, this, [this] { timer1Timer(); });
}

QSize TForm4::windowSizeFor(int layoutClass) { return geometryOf(layoutClass).window; }
QSize TForm4::clientSizeFor(int layoutClass) { return geometryOf(layoutClass).client; }

void TForm4::applyLayout(int layoutClass) {
    layoutClass_ = std::clamp(layoutClass, 0, 2);
    const LayoutGeometry& g = geometryOf(layoutClass_);
    // A fixed border: the user cannot resize the window.
    setFixedSize(g.client);
    playbackForm_->setGeometry(QRect(QPoint(1, 0), g.form));
    playbackPanel_->setGeometry(QRect(QPoint(16, 24), g.panel));
    playbackImage_->setGeometry(g.image);
    directoryList_->setGeometry(g.listLeft, 24, 201, g.listHeight);
    fileList_->setGeometry(g.listLeft, g.fileListTop, 201, g.listHeight);
    aviPlay_->setGeometry(16, g.buttonTop, 48, 48);
    aviPause_->setGeometry(16, g.buttonTop, 48, 48);
    aviStop_->setGeometry(64, g.buttonTop, 48, 48);
    trackBarBox_->setGeometry(112, g.trackBoxTop, g.trackBoxWidth, 49);
    trackBar_->setGeometry(8, 14, g.trackBarWidth, 28);
    totalTime_->setGeometry(QRect(g.totalTime, QSize(70, 25)));
    playbackTime_->setGeometry(QRect(g.playbackTime, QSize(70, 18)));
    fileTypeBox_->setGeometry(QRect(g.fileTypeBox, QSize(137, 49)));
}

// ---------------------------------------------------------------------------
// Folder tree and file list

void TForm4::setDirectory(const QString& path) {
    QString clean = path.isEmpty() ? QDir::currentPath() : QDir::cleanPath(QDir(path).absolutePath());
    directory_ = clean;
    refreshDirectoryList();
    directoryListBox1Change();
}

void TForm4::refreshDirectoryList() {
    directoryList_->clear();
    // The open chain from the file system root down to the current folder,
    // then the current folder's subfolders in name order.
    QStringList chain;
    QDir walk(directory_);
    chain.prepend(walk.absolutePath());
    while (walk.cdUp())
        chain.prepend(walk.absolutePath());
    int depth = 0;
    for (const QString& folder : chain) {
        const QString name = QFileInfo(folder).fileName().isEmpty() ? folder : QFileInfo(folder).fileName();
        auto* item = new QListWidgetItem(QString(depth * 2, QLatin1Char(' ')) + name, directoryList_);
        item->setData(kPathRole, folder);
        ++depth;
    }
    if (directoryList_->count() > 0)
        directoryList_->setCurrentRow(directoryList_->count() - 1);
    const QDir current(directory_);
    const QStringList subfolders = current.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString& sub : subfolders) {
        auto* item = new QListWidgetItem(QString(depth * 2, QLatin1Char(' ')) + sub, directoryList_);
        item->setData(kPathRole, current.absoluteFilePath(sub));
    }
}

void TForm4::directoryItemActivated(QListWidgetItem* item) {
    if (!item)
        return;
    const QString path = item->data(kPathRole).toString();
    if (!path.isEmpty() && path != directory_)
        setDirectory(path);
}

void TForm4::directoryListBox1Change() { refreshFileList(); }

void TForm4::refreshFileList() {
    fileList_->clear();
    if (directory_.isEmpty())
        return;
    // Masks match without regard to case, as the recordings' names are
    // matched on the recording drive.
    QStringList names = QDir(directory_).entryList(fileMasks(), QDir::Files, QDir::Name);
    // A later recording of the same second ("-N") is listed after the first.
    std::stable_sort(names.begin(), names.end(), [](const QString& a, const QString& b) {
        return recordingNameLess(a.toStdString(), b.toStdString());
    });
    fileList_->addItems(names);
}

QStringList TForm4::fileMasks() const {
    QStringList masks;
    for (const std::string& mask : kindFilterMasks(filter_))
        masks << QString::fromStdString(mask);
    return masks;
}

QStringList TForm4::listedFiles() const {
    QStringList names;
    for (int i = 0; i < fileList_->count(); ++i)
        names << fileList_->item(i)->text();
    return names;
}

void TForm4::setFileFilter(KindFilter filter) {
    filter_ = filter;
    refreshFileList();
}

void TForm4::selectAlarmClick() {
    selectMotion_->setChecked(true);
    setFileFilter(KindFilter::Alarm);
}

void TForm4::selectTimeClick() {
    selectTime_->setChecked(true);
    setFileFilter(KindFilter::Timed);
}

void TForm4::selectAllClick() {
    selectAll_->setChecked(true);
    setFileFilter(KindFilter::All);
}

// ---------------------------------------------------------------------------
// Activation and closing

void TForm4::showEvent(QShowEvent* e) {
    QWidget::showEvent(e);
    // Opening the window activates it. A spontaneous show is the window
    // system restoring it from minimised: focus decides then.
    if (!e->spontaneous()) {
        openedSinceFocus_ = true;
        formActivate();
    }
}

void TForm4::onFocusWindowChanged(QWindow* window) {
    // No focus window: another application has the focus. Coming back from
    // it continues from where the focus was within the program.
    if (!window)
        return;
    // A message box, whichever window it stands over, is no window change:
    // the focus returns from it to where it was before.
    const QWidgetList topLevels = QApplication::topLevelWidgets();
    const auto widget = std::find_if(topLevels.begin(), topLevels.end(),
                                     [window](QWidget* w) { return w->windowHandle() == window; });
    if (widget != topLevels.end() && qobject_cast<QMessageBox*>(*widget))
        return;
    if (window != windowHandle()) {
        focusOrigin_ = FocusOrigin::OtherWindow;
        return;
    }
    const bool fromOtherWindow = focusOrigin_ == FocusOrigin::OtherWindow;
    focusOrigin_ = FocusOrigin::Here;
    const bool opening = openedSinceFocus_;
    openedSinceFocus_ = false;
    if (fromOtherWindow && !opening)
        formActivate();
}

void TForm4::formActivate() {
    timer1_->stop();
    // The slider goes back to 0 quietly: activation leaves the window with
    // no file open, and a stop reset triggered from here would enable Play.
    {
        const QSignalBlocker block(trackBar_);
        trackBar_->setValue(0);
    }
    currentFrame_ = 0;
    setDirectory(QString::fromStdString(aviDirectory_ ? aviDirectory_() : std::string()));
    selectAllClick();
    enterNoFileState();
    totalTime_->setText(kZeroClock);
    playbackTime_->setText(kZeroClock);
}

void TForm4::closeEvent(QCloseEvent* e) {
    formClose();
    QWidget::closeEvent(e);
}

void TForm4::formClose() {
    timer1_->stop();
    playbackImage_->clear();
    image_ = QImage();
    opened_.reset();
    source_ = &noFile_;
    if (onClosed_)
        onClosed_();
}

// ---------------------------------------------------------------------------
// Opening and playing

void TForm4::aviFileListBoxDblClick() {
    QListWidgetItem* item = fileList_->currentItem();
    if (!item || !item->isSelected() || directory_.isEmpty()) {
        // Nothing chosen: nothing to open.
        opened_.reset();
        source_ = &noFile_;
        enterNoFileState();
        return;
    }
    openFile(QDir(directory_).absoluteFilePath(item->text()));
}

bool TForm4::openFile(const QString& path) {
    timer1_->stop();
    source_ = &noFile_;
    opened_.reset();  // closes the file open before
    // The reader of its format (a Matroska recording is a coded-video camera's).
    opened_ = openRecording(path);
    if (!opened_) {
        // Not a recording of ours, damaged beyond use or unreadable: no
        // message, the clocks keep their text.
        enterNoFileState();
        return false;
    }
    source_ = opened_.get();
    applyLayout(source_->playbackLayout());
    trackBar_->setMaximum(source_->frameCount() - 1);
    currentFrame_ = 0;
    showPlaybackFrame(0);
    aviPlay_->setVisible(true);
    aviPlay_->setEnabled(true);
    aviPause_->setVisible(false);
    aviPause_->setEnabled(false);
    aviStop_->setVisible(true);
    aviStop_->setEnabled(true);
    fileList_->setEnabled(true);
    trackBar_->setEnabled(true);
    totalTime_->setText(clockText(source_->secondsAt(source_->frameCount())));
    return true;
}

void TForm4::enterNoFileState() {
    timer1_->stop();
    aviPlay_->setVisible(true);
    aviPlay_->setEnabled(false);
    aviPause_->setVisible(false);
    aviPause_->setEnabled(false);
    aviStop_->setVisible(true);
    aviStop_->setEnabled(false);
    trackBar_->setEnabled(false);
    fileList_->setEnabled(true);
}

void TForm4::showPlaybackFrame(int n) {
    if (!source_->isOpen() || n < 0 || n >= source_->frameCount())
        return;
    // A picture that cannot be read or decoded leaves the last one shown.
    const QRect area = geometryOf(layoutClass_).image;
    if (source_->decodePicture(n, image_, QSize(area.width() - 1, area.height() - 1)))
        playbackImage_->setPixmap(QPixmap::fromImage(image_));
    // Each picture stays for its own time (an AVI's are all alike). A
    // period of 0 would spin; one millisecond is the shortest real pace.
    const int interval = std::max(1, source_->intervalAfter(n));
    if (timer1_->interval() != interval)
        timer1_->setInterval(interval);
    showingFrame_ = true;
    setSliderPosition(n);
    showingFrame_ = false;
    playbackTime_->setText(clockText(source_->secondsAt(n)));
}

void TForm4::setSliderPosition(int position) { trackBar_->setValue(position); }

void TForm4::aviPlayClick() {
    if (!source_->isOpen())
        return;
    aviPlay_->setVisible(false);
    aviPlay_->setEnabled(false);
    aviPause_->setVisible(true);
    aviPause_->setEnabled(true);
    timer1_->start();
    fileList_->setEnabled(false);
}

void TForm4::aviPauseClick() {
    aviPlay_->setVisible(true);
    aviPlay_->setEnabled(true);
    aviPause_->setVisible(false);
    aviPause_->setEnabled(false);
    timer1_->stop();
    fileList_->setEnabled(true);
}

void TForm4::stopReset() {
    timer1_->stop();
    fileList_->setEnabled(true);
    aviPlay_->setVisible(true);
    aviPlay_->setEnabled(true);
    aviPause_->setVisible(false);
    aviPause_->setEnabled(false);
    currentFrame_ = 0;
}

void TForm4::aviStopClick() {
    stopReset();
    setSliderPosition(0);
}

void TForm4::timer1Timer() {
    if (currentFrame_ + 1 < source_->frameCount()) {
        ++currentFrame_;
        showPlaybackFrame(currentFrame_);
        return;
    }
    // End of the file: back to the first picture, stopped.
    stopReset();
    setSliderPosition(0);
}

void TForm4::playTrackBarChange(int position) {
    if (trackBar_->isEnabled()) {
        currentFrame_ = position;
        // When the move comes from showing that very picture, it is already
        // in the panel: no second decode.
        if (!showingFrame_)
            showPlaybackFrame(position);
    }
    if (position == 0)
        stopReset();
}

}  // namespace ipcam
