#include "frontends/window/Unit3.h"

#include "frontends/window/dialog_support.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QFrame>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QShowEvent>
#include <QSignalBlocker>
#include <QSlider>
#include <QTabBar>
#include <QTreeView>
#include <QVBoxLayout>
#include <algorithm>

#include "frontends/window/Unit5.h"
#include "settings/settings_store.h"
#include "settings/settings_validation.h"

namespace ipcam {

namespace {

const char* const kDayNames[kDaysPerWeek] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                             "Thursday", "Friday", "Saturday"};

QGroupBox* addGroup(QWidget* parent, const char* name, const QString& title, int left, int top, int width,
                    int height) {
    auto* group = new QGroupBox(title, parent);
    group->setObjectName(QString::fromLatin1(name));
    group->setGeometry(left, top, width, height);
    return group;
}

QLineEdit* addEdit(QWidget* parent, const char* name, int left, int top, int width) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(QString::fromLatin1(name));
    edit->setGeometry(left, top, width, 22);
    return edit;
}

QPushButton* addButton(QWidget* parent, const char* name, const QString& caption, int left, int top, int width) {
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setGeometry(left, top, width, 28);
    button->setAutoDefault(false);
    return button;
}

// Selects item `index` of a radio group; a value outside the items (only a
// hand-edited settings file can hold one) leaves no item selected.
void selectItem(QButtonGroup* group, int index) {
    if (QAbstractButton* b = group->button(index)) {
        b->setChecked(true);
        return;
    }
    group->setExclusive(false);
    for (QAbstractButton* each : group->buttons())
        each->setChecked(false);
    group->setExclusive(true);
}

QLabel* addLabel(QWidget* parent, const QString& text, int left, int top, int width) {
    auto* label = new QLabel(text, parent);
    label->setGeometry(left, top, width, 20);
    return label;
}

// A group with no selection keeps the stored value rather than writing a
// made-up one.
void takeItem(const QButtonGroup* group, uint8_t& field) {
    const int id = group->checkedId();
    if (id >= 0)
        field = static_cast<uint8_t>(id);
}

// The modal folder chooser: a folder tree and a box in which a new folder may
// be typed. Asks before accepting a folder that does not exist yet.
std::string runDirectoryChooser(QWidget* parent, const std::string& start) {
    QDialog dialog(parent);
    dialog.setWindowTitle(QStringLiteral("Select Directory"));
    dialog.resize(420, 400);

    auto* layout = new QVBoxLayout(&dialog);
    auto* model = new QFileSystemModel(&dialog);
    model->setFilter(QDir::AllDirs | QDir::NoDotAndDotDot | QDir::Drives);
    model->setRootPath(QDir::rootPath());
    auto* tree = new QTreeView(&dialog);
    tree->setModel(model);
    for (int column = 1; column < model->columnCount(); ++column)
        tree->hideColumn(column);
    tree->header()->hide();
    tree->setRootIndex(model->index(QDir::rootPath()));
    layout->addWidget(tree);

    layout->addWidget(new QLabel(QStringLiteral("Directory Name:"), &dialog));
    auto* path = new QLineEdit(&dialog);
    layout->addWidget(path);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    layout->addWidget(buttons);

    const QString startDir = start.empty() ? QDir::currentPath() : QString::fromStdString(start);
    path->setText(QDir::cleanPath(startDir));
    const QModelIndex startIndex = model->index(startDir);
    if (startIndex.isValid()) {
        tree->setCurrentIndex(startIndex);
        tree->scrollTo(startIndex);
    }
    QObject::connect(tree->selectionModel(), &QItemSelectionModel::currentChanged, &dialog,
                     [model, path](const QModelIndex& current) {
                         if (current.isValid())
                             path->setText(model->filePath(current));
                     });
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, [&dialog, path] {
        const QString chosen = QDir::cleanPath(path->text().trimmed());
        if (chosen.isEmpty() || chosen == QStringLiteral("."))
            return;
        if (!QFileInfo(chosen).isDir()) {
            const auto answer = QMessageBox::question(
                &dialog, QStringLiteral("Confirm"),
                QStringLiteral("The %1 directory does not exist.\nCreate it?").arg(chosen));
            if (answer != QMessageBox::Yes)
                return;
        }
        dialog.accept();
    });

    if (dialog.exec() != QDialog::Accepted)
        return {};
    return QDir::cleanPath(path->text().trimmed()).toStdString();
}

}  // namespace

TForm3::TForm3(SetupContext ctx, QWidget* parent) : QDialog(parent), ctx_(std::move(ctx)) {
    setObjectName(QStringLiteral("SettingForm"));
    setWindowTitle(QStringLiteral("Setting"));
    // One line more than the classic dialog: the preview stream's URL.
    constexpr int kPreviewLine = 31;
    setFixedSize(597, 576 + kPreviewLine);
    setModal(true);

    // Address and port, and on the second line the address of a standard
    // MJPEG camera in their place.
    QGroupBox* addressGroup =
        addGroup(this, "IPCAM_Address_Box", QStringLiteral("IPCAM Address"), 8, 4, 581, 84 + kPreviewLine);
    auto* scheme = new QLabel(QStringLiteral("http://"), addressGroup);
    scheme->setGeometry(10, 22, 40, 20);
    address_ = addEdit(addressGroup, "IPCAM_Address", 50, 21, 425);
    auto* portLabel = new QLabel(QStringLiteral("Port:"), addressGroup);
    portLabel->setGeometry(484, 22, 32, 20);
    port_ = addEdit(addressGroup, "IPCAM_Port", 518, 21, 49);
    // Shown as typed although it may hold a password: it is the user's own.
    QLabel* cameraUrlLabel = addLabel(addressGroup, QStringLiteral("Camera URL:"), 10, 53, 90);
    cameraUrl_ = addEdit(addressGroup, "Camera_URL", 102, 52, 340);
    cameraUrlLabel->setBuddy(cameraUrl_);
    cameraUrl_->setPlaceholderText(QStringLiteral("empty: this camera's own protocol, with the address above"));
    cameraUrl_->setToolTip(QStringLiteral("http://[user:password@]host[:port]/path of a camera that sends MJPEG "
                                          "over HTTP, or of one picture (a path ending in .jpg or .jpeg, or "
                                          "naming a snapshot); empty: this camera's own protocol"));
    // How often a camera that answers one picture a request is asked.
    QLabel* snapshotRateLabel = addLabel(addressGroup, QStringLiteral("Pictures/s:"), 450, 53, 66);
    snapshotRate_ = addEdit(addressGroup, "Camera_Snapshot_Rate", 518, 52, 49);
    snapshotRateLabel->setBuddy(snapshotRate_);
    snapshotRate_->setToolTip(QStringLiteral("Pictures a second asked of a camera that answers one picture a "
                                             "request (%1 to %2)")
                                  .arg(kMinSnapshotRate)
                                  .arg(kMaxSnapshotRate));
    // A second, smaller stream of the same camera for the preview and motion
    // detection; the recording stays with the camera URL.
    QLabel* previewUrlLabel = addLabel(addressGroup, QStringLiteral("Preview URL:"), 10, 84, 90);
    previewUrl_ = addEdit(addressGroup, "Camera_Preview_URL", 102, 83, 465);
    previewUrlLabel->setBuddy(previewUrl_);
    previewUrl_->setPlaceholderText(QStringLiteral("empty: the preview comes from the camera URL"));
    previewUrl_->setToolTip(QStringLiteral("http://... (MJPEG) or rtsp://... of the camera's small stream, shown "
                                           "and watched for motion; the recording keeps the camera URL"));

    // Password, motion detection and alarm e-mail side by side.
    // Two lines high: the motion group's second line holds the pre-record time.
    QGroupBox* passwordGroup =
        addGroup(this, "IPCAM_Password_Box", QStringLiteral("IPCAM Password"), 8, 92, 150, 84);
    password_ = addEdit(passwordGroup, "txtIPCAM_Password", 10, 22, 130);
    password_->setMaxLength(kPasswordMaxLength);
    password_->setEchoMode(QLineEdit::Password);
    password_->setStyleSheet(QStringLiteral("lineedit-password-character: 42;"));

    QGroupBox* motionGroup =
        addGroup(this, "MotionDetection_Box", QStringLiteral("Motion Detection"), 164, 92, 250, 84);
    motionSwitch_ = new QCheckBox(QStringLiteral("Enable"), motionGroup);
    motionSwitch_->setObjectName(QStringLiteral("MotionDetection_SW"));
    motionSwitch_->setGeometry(10, 22, 66, 22);
    slider_ = new QSlider(Qt::Horizontal, motionGroup);
    slider_->setObjectName(QStringLiteral("Motion_sensitivity_TrackBar"));
    slider_->setGeometry(78, 22, 134, 22);
    slider_->setRange(0, 10);
    slider_->setSingleStep(1);
    slider_->setPageStep(1);
    slider_->setTickPosition(QSlider::TicksBelow);
    slider_->setTickInterval(1);
    sliderValue_ = new QLabel(QStringLiteral("0"), motionGroup);
    sliderValue_->setObjectName(QStringLiteral("Motion_sensitivity_Value"));
    sliderValue_->setGeometry(220, 22, 24, 20);
    // The seconds of pictures before the motion that a Motion recording begins with.
    QLabel* prerollLabel = addLabel(motionGroup, QStringLiteral("Pre-record:"), 10, 53, 70);
    preroll_ = addEdit(motionGroup, "Motion_Preroll", 82, 52, 36);
    prerollLabel->setBuddy(preroll_);
    prerollNote_ = addLabel(motionGroup, QStringLiteral("seconds (0 to %1)").arg(kMaxPrerollSeconds), 124, 53, 118);

    QGroupBox* alarmGroup = addGroup(this, "AlarmEmail_Box", QStringLiteral("Alarm Email"), 420, 92, 169, 84);
    alarmSwitch_ = new QCheckBox(QStringLiteral("Enable"), alarmGroup);
    alarmSwitch_->setObjectName(QStringLiteral("AlarmEmail_SW"));
    alarmSwitch_->setGeometry(10, 22, 66, 22);
    emailSetup_ = addButton(alarmGroup, "EmailSetup_Button", QStringLiteral("Email Setup"), 78, 20, 84);

    // Recording directory, and how long its recordings are kept.
    QGroupBox* pathGroup = addGroup(this, "RecordPath_Box", QStringLiteral("Daily Recording"), 8, 180, 581, 84);
    recordPath_ = addEdit(pathGroup, "RecordPath", 10, 22, 465);
    aviDirectory_ = addButton(pathGroup, "AVIDirectory", QStringLiteral("AVI Directory"), 482, 20, 91);
    QLabel* keepDaysLabel = addLabel(pathGroup, QStringLiteral("Delete recordings older than"), 10, 53, 180);
    keepDays_ = addEdit(pathGroup, "Keep_Days", 192, 52, 49);
    keepDaysLabel->setBuddy(keepDays_);
    addLabel(pathGroup, QStringLiteral("days (0 = only when the disk runs short)"), 247, 53, 320);

    // The five picture settings.
    resolution_ = addRadioGroup("ViewResolution", QStringLiteral("Resolution"),
                                {QStringLiteral("640 X 480  (VGA)"), QStringLiteral("320 X 240  (QVGA)"),
                                 QStringLiteral("160 X 120  (QQVGA)")},
                                8, 165);
    frequency_ = addRadioGroup("ViewFrequency", QStringLiteral("Anti-flicker"),
                               {QStringLiteral("50Hz"), QStringLiteral("60Hz")}, 177, 84);
    quality_ = addRadioGroup("ViewQuality", QStringLiteral("Quality"),
                             {QStringLiteral("High"), QStringLiteral("Middle"), QStringLiteral("Low")}, 265, 96);
    brightness_ = addRadioGroup("ViewBrightness", QStringLiteral("Brightness"),
                                {QStringLiteral("High"), QStringLiteral("Middle"), QStringLiteral("Low")}, 365, 96);
    orientation_ = addRadioGroup("ViewOrientation", QStringLiteral("Image Orientation"),
                                 {QStringLiteral("Normal"), QStringLiteral("Upside Down")}, 465, 124);

    // The week: one tab per day over a page with the 24 hour boxes.
    dayTabs_ = new QTabBar(this);
    dayTabs_->setObjectName(QStringLiteral("WeekTimeSetting"));
    for (const char* day : kDayNames)
        dayTabs_->addTab(QString::fromLatin1(day));
    dayTabs_->setExpanding(false);
    dayTabs_->setUsesScrollButtons(false);
    dayTabs_->setDrawBase(false);
    dayTabs_->setGeometry(8, 372, 581, dayTabs_->sizeHint().height());
    auto* page = new QFrame(this);
    page->setObjectName(QStringLiteral("WeekTimeSetting_Page"));
    page->setFrameShape(QFrame::StyledPanel);
    const int pageTop = 372 + dayTabs_->sizeHint().height() - 1;
    page->setGeometry(8, pageTop, 581, 524 - pageTop);
    QGroupBox* hoursGroup =
        addGroup(page, "RecordingTime_Box", QStringLiteral("Recording Time (Unit : Hour)"), 6, 4, 470, 116);
    // The grid of hour boxes starts 16 pixels down, or lower where the
    // style's caption and frame line reach further, so that the top row is
    // not drawn over the frame; the group grows by as much.
    const QRect room = hoursGroup->contentsRect();
    const int gridTop = std::max(16, room.top());
    const int rowStep = 24;
    const int boxHeight = 22;
    hoursGroup->resize(hoursGroup->width(), std::max(hoursGroup->height(), gridTop + 3 * rowStep + boxHeight +
                                                                               hoursGroup->height() - room.bottom() - 1));
    for (int hour = 0; hour < kHoursPerDay; ++hour) {
        const int row = hour / 6;
        const int column = hour % 6;
        auto* box = new QCheckBox(QStringLiteral("%1").arg(hour, 2, 10, QLatin1Char('0')), hoursGroup);
        box->setObjectName(QStringLiteral("TimeBlock%1").arg(hour, 2, 10, QLatin1Char('0')));
        box->setGeometry(8 + 80 * column, gridTop + rowStep * row, 56, boxHeight);
        hours_[hour] = box;
    }
    selectAll_ = addButton(page, "SetSetting", QStringLiteral("Select All"), 486, 14, 86);
    clearAll_ = addButton(page, "ClearSetting", QStringLiteral("Clear All"), 486, 50, 86);
    everyDay_ = addButton(page, "CopyAll", QStringLiteral("Every Day"), 486, 86, 86);

    save_ = addButton(this, "SaveSetting_Button", QStringLiteral("Save"), 200, 536, 90);
    exit_ = addButton(this, "ExitSetting_Button", QStringLiteral("Exit"), 307, 536, 90);

    // Beside Save: told when the settings in force changed while the dialog is open.
    staleNote_ = addLabel(this, QString(), 8, 530, 186);
    staleNote_->setObjectName(QStringLiteral("Stale_Note"));
    staleNote_->setWordWrap(true);
    staleNote_->resize(186, 40);
    {
        QPalette pal = staleNote_->palette();
        pal.setColor(QPalette::WindowText, Qt::darkRed);
        staleNote_->setPalette(pal);
    }
    staleNote_->hide();

    // Everything under the address group sits one line lower.
    for (QWidget* child : findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        if (child != addressGroup && child->y() >= 88) child->move(child->x(), child->y() + kPreviewLine);

    connect(address_, &QLineEdit::textChanged, this, [this] { addressChange(); });
    connect(port_, &QLineEdit::textChanged, this, [this] { portChange(); });
    connect(password_, &QLineEdit::textChanged, this, [this] { passwordChange(); });
    connect(recordPath_, &QLineEdit::textChanged, this, [this] { recordPathChange(); });
    connect(aviDirectory_, &QPushButton::clicked, this, [this] { aviDirectoryClick(); });
    connect(motionSwitch_, &QCheckBox::toggled, this, [this] { motionSwitchClick(); });
    connect(slider_, &QSlider::valueChanged, this, [this] { sliderChange(); });
    connect(emailSetup_, &QPushButton::clicked, this, [this] { emailSetupClick(); });
    connect(dayTabs_, &QTabBar::currentChanged, this, [this](int index) { tabChanged(index); });
    connect(selectAll_, &QPushButton::clicked, this, [this] { selectAllClick(); });
    connect(clearAll_, &QPushButton::clicked, this, [this] { clearAllClick(); });
    connect(everyDay_, &QPushButton::clicked, this, [this] { copyAllClick(); });
    connect(save_, &QPushButton::clicked, this, [this] { saveClick(); });
    connect(exit_, &QPushButton::clicked, this, [this] { exitClick(); });
}

QButtonGroup* TForm3::addRadioGroup(const char* name, const QString& title, const QStringList& items, int left,
                                    int width) {
    QGroupBox* box = addGroup(this, name, title, left, 268, width, 100);
    auto* group = new QButtonGroup(box);
    group->setObjectName(QString::fromLatin1(name) + QStringLiteral("_Items"));
    for (int i = 0; i < items.size(); ++i) {
        auto* radio = new QRadioButton(items[i], box);
        radio->setGeometry(10, 20 + 24 * i, width - 14, 22);
        group->addButton(radio, i);
    }
    return group;
}

void TForm3::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // Restoring a minimised window is spontaneous and is not a new opening.
    if (!event->spontaneous())
        formActivate();
}

void TForm3::formActivate() {
    if (auto current = ctx_.current()) {
        setWindowTitle(QStringLiteral("IP CAM Setup"));
        ctx_.record = std::move(*current);
    } else {
        // No settings file (any more): the first-run values on top of an
        // empty record, so nothing of a deleted file's values is shown or
        // saved; nothing is written.
        setWindowTitle(QStringLiteral("IPCAM INI file Settings"));
        ctx_.record = CameraSettings{};
        applyFirstRunDefaults(ctx_.record,
                              ctx_.fallbackDirectory ? ctx_.fallbackDirectory() : QDir::currentPath().toStdString());
    }
    loadControlsFromRecord();
}

void TForm3::loadControlsFromRecord() {
    const CameraSettings& r = ctx_.record;
    const int today = std::clamp(ctx_.clock.now().dayOfWeek, 0, kDaysPerWeek - 1);

    // The boxes are filled from the record; their change handlers would only
    // write the same values back.
    {
        const QSignalBlocker b1(address_), b2(port_), b3(password_), b4(recordPath_);
        address_->setText(QString::fromStdString(r.hostAddress));
        port_->setText(QString::number(r.hostPort));
        // The limit is for typing: a longer stored password is shown whole
        // rather than cut and then saved cut.
        const QString password = QString::fromStdString(r.cameraPassword);
        password_->setMaxLength(std::max<int>(kPasswordMaxLength, static_cast<int>(password.size())));
        password_->setText(password);
        recordPath_->setText(QString::fromStdString(r.aviDirectory));
    }
    cameraUrl_->setText(QString::fromStdString(r.cameraUrl));
    snapshotRate_->setText(QString::number(r.snapshotRate));
    previewUrl_->setText(QString::fromStdString(r.previewUrl));
    preroll_->setText(QString::number(r.motionPrerollSeconds));
    // Where the pre-roll's bound in bytes keeps fewer seconds of this
    // camera's pictures than asked, the note says how many.
    const int kept = ctx_.prerollKeptSeconds ? ctx_.prerollKeptSeconds() : 0;
    prerollNote_->setText(kept > 0 ? QStringLiteral("seconds (%1 kept)").arg(kept)
                                   : QStringLiteral("seconds (0 to %1)").arg(kMaxPrerollSeconds));
    prerollNote_->setToolTip(kept > 0 ? QStringLiteral("The pre-record holds at most %1 MiB of pictures: %2 seconds "
                                                       "of this camera's.")
                                            .arg(kMaxPrerollMiB)
                                            .arg(kept)
                                      : QString());
    keepDays_->setText(QString::number(r.keepDays));
    {
        const QSignalBlocker b1(motionSwitch_), b2(slider_);
        const bool motion = r.motionDetectionEnabled == 1;
        motionSwitch_->setChecked(motion);
        slider_->setEnabled(motion);
        alarmSwitch_->setEnabled(motion);
        slider_->setValue(r.motionSensitivity);
        sliderValue_->setText(QString::number(slider_->value()));
    }
    selectItem(resolution_, r.resolution);
    selectItem(frequency_, r.frequency);
    selectItem(quality_, r.quality);
    selectItem(brightness_, r.brightness);
    selectItem(orientation_, r.orientation);

    {
        const QSignalBlocker blocker(dayTabs_);
        dayTabs_->setCurrentIndex(today);
    }
    // Only a stored 1 shows as ticked; any other value is shown, and so
    // saved, as unticked on every day, not only on the days looked at.
    for (int day = 0; day < kDaysPerWeek; ++day)
        for (int hour = 0; hour < kHoursPerDay; ++hour)
            editSchedule_.at(day, hour) = r.schedule.at(day, hour) == 1 ? 1 : 0;
    showRow(today);
    alarmSwitch_->setChecked(r.alarmEmailEnabled == 1);
    shownDay_ = today;
    staleNote_->hide();
    loadedValues_ = shownValues();
}

QStringList TForm3::shownValues() const {
    QStringList values;
    for (const QLineEdit* edit : {address_, port_, password_, cameraUrl_, snapshotRate_, previewUrl_, recordPath_,
                                  preroll_, keepDays_})
        values << edit->text();
    values << QString::number(motionSwitch_->isChecked()) << QString::number(alarmSwitch_->isChecked())
           << QString::number(slider_->value());
    for (const QButtonGroup* group : {resolution_, frequency_, quality_, brightness_, orientation_})
        values << QString::number(group->checkedId());
    QString week;
    for (int day = 0; day < kDaysPerWeek; ++day)
        for (int hour = 0; hour < kHoursPerDay; ++hour)
            week += QLatin1Char(day == shownDay_ ? (hours_[hour]->isChecked() ? '1' : '0')
                                                 : (editSchedule_.at(day, hour) == 1 ? '1' : '0'));
    values << week;
    return values;
}

void TForm3::settingsChangedElsewhere(const CameraSettings& now) {
    if (!isVisible() || now == ctx_.record)
        return;
    const bool mailOpen = emailDialog_ && emailDialog_->isVisible();
    if (!mailOpen && shownValues() == loadedValues_) {
        ctx_.record = now;
        loadControlsFromRecord();
        return;
    }
    staleNote_->setText(QStringLiteral("The settings were changed meanwhile: Save replaces them with these."));
    staleNote_->show();
}

void TForm3::addressChange() {
    ctx_.record.hostAddress = address_->text().toStdString();
}

void TForm3::portChange() {
    ctx_.record.hostPort = static_cast<uint16_t>(decimalLong(port_->text().toStdString()));
}

void TForm3::passwordChange() {
    ctx_.record.cameraPassword = password_->text().toStdString();
}

void TForm3::recordPathChange() {
    ctx_.record.aviDirectory = recordPath_->text().toStdString();
}

void TForm3::aviDirectoryClick() {
    const QString typed = recordPath_->text();
    const std::string start = !typed.isEmpty() && QFileInfo(typed).isDir() ? typed.toStdString() : std::string();
    const std::string chosen = chooseDirectory(start);
    if (chosen.empty())
        return;
    const QString dir = QString::fromStdString(chosen);
    if (!QFileInfo(dir).isDir() && !QDir().mkpath(dir)) {
        warn("Cannot create the directory " + chosen);
        return;
    }
    recordPath_->setText(dir);  // the live edit puts it into the record
    ctx_.record.aviDirectory = chosen;
}

void TForm3::motionSwitchClick() {
    const bool on = motionSwitch_->isChecked();
    slider_->setEnabled(on);
    alarmSwitch_->setEnabled(on);
}

void TForm3::sliderChange() {
    if (motionSwitch_->isChecked())
        sliderValue_->setText(QString::number(slider_->value()));
}

void TForm3::emailSetupClick() {
    if (emailDialog_)
        emailDialog_->exec();
}

void TForm3::tabChanged(int index) {
    if (index < 0 || index >= kDaysPerWeek)
        return;
    storeBoxes(shownDay_);
    shownDay_ = index;
    showRow(index);
}

void TForm3::selectAllClick() {
    const int day = dayTabs_->currentIndex();
    for (int hour = 0; hour < kHoursPerDay; ++hour) {
        editSchedule_.at(day, hour) = 1;
        hours_[hour]->setChecked(true);
    }
}

void TForm3::clearAllClick() {
    const int day = dayTabs_->currentIndex();
    for (int hour = 0; hour < kHoursPerDay; ++hour) {
        editSchedule_.at(day, hour) = 0;
        hours_[hour]->setChecked(false);
    }
}

void TForm3::copyAllClick() {
    const int day = dayTabs_->currentIndex();
    storeBoxes(day);
    for (int other = 0; other < kDaysPerWeek; ++other)
        for (int hour = 0; hour < kHoursPerDay; ++hour)
            editSchedule_.at(other, hour) = editSchedule_.at(day, hour);
}

void TForm3::saveClick() {
    // The camera URL and the numbers are checked before anything is taken
    // from the boxes: a refused save leaves the record and the file as they
    // were.
    CameraSettings& r = ctx_.record;
    if (const auto problem = takeSetupTexts(
            {cameraUrl_->text().toStdString(), preroll_->text().toStdString(), keepDays_->text().toStdString(),
             snapshotRate_->text().toStdString(), previewUrl_->text().toStdString()},
            r)) {
        refuse(problem->field == SettingsField::CameraUrl              ? cameraUrl_
               : problem->field == SettingsField::PreviewUrl           ? previewUrl_
               : problem->field == SettingsField::MotionPrerollSeconds ? preroll_
               : problem->field == SettingsField::CameraSnapshotRate   ? snapshotRate_
                                                                       : keepDays_,
               problem->text);
        return;
    }
    r.hostAddress = address_->text().toStdString();
    // The port is taken from its box like the other texts, so a port typed
    // before the e-mail setup reloaded the record is not lost.
    r.hostPort = static_cast<uint16_t>(decimalLong(port_->text().toStdString()));
    r.cameraPassword = password_->text().toStdString();
    cameraUrl_->setText(QString::fromStdString(r.cameraUrl));
    previewUrl_->setText(QString::fromStdString(r.previewUrl));
    r.aviDirectory = recordPath_->text().toStdString();
    r.motionDetectionEnabled = motionSwitch_->isChecked() ? 1 : 0;
    // Stored as ticked even while greyed out by the motion switch.
    r.alarmEmailEnabled = alarmSwitch_->isChecked() ? 1 : 0;
    r.motionSensitivity = static_cast<uint8_t>(slider_->value());
    takeItem(resolution_, r.resolution);
    takeItem(frequency_, r.frequency);
    takeItem(quality_, r.quality);
    takeItem(brightness_, r.brightness);
    takeItem(orientation_, r.orientation);
    storeBoxes(dayTabs_->currentIndex());
    r.schedule = editSchedule_;
    if (!saveSetupRecord(ctx_, this, r))
        return;  // not saved: the dialog stays open for another try
    accept();
}

void TForm3::exitClick() {
    if (ctx_.resetMotionPhase)
        ctx_.resetMotionPhase();
    reject();
}

void TForm3::storeBoxes(int day) {
    if (day < 0 || day >= kDaysPerWeek)
        return;
    for (int hour = 0; hour < kHoursPerDay; ++hour)
        editSchedule_.at(day, hour) = hours_[hour]->isChecked() ? 1 : 0;
}

void TForm3::showRow(int day) {
    for (int hour = 0; hour < kHoursPerDay; ++hour)
        hours_[hour]->setChecked(editSchedule_.at(day, hour) == 1);
}

std::string TForm3::chooseDirectory(const std::string& start) {
    if (ctx_.chooseDirectory)
        return ctx_.chooseDirectory(start);
    return runDirectoryChooser(this, start);
}

void TForm3::warn(const std::string& text) { showSetupWarning(ctx_, this, text); }

void TForm3::refuse(QLineEdit* edit, const std::string& text) {
    warn(text);
    edit->setFocus();
    edit->selectAll();
}

}  // namespace ipcam
