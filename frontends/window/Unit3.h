#pragma once
// The setup dialog: camera address, port and password or the address of a
// standard MJPEG camera, recording directory
// and how many days its recordings are kept, motion detection with its
// pre-record seconds, the alarm e-mail switch, the five picture settings and
// the weekly recording schedule of camera slot 0. Shown modally by the main
// window (Settings button, rejected camera password).

#include <QDialog>

#include "frontends/window/setup_context.h"

class QButtonGroup;
class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSlider;
class QTabBar;

namespace ipcam {

class TForm2;

class TForm3 : public QDialog {
    Q_OBJECT
public:
    static constexpr int kPasswordMaxLength = 10;

    explicit TForm3(SetupContext ctx, QWidget* parent = nullptr);

    // The alarm e-mail setup dialog that "Email Setup" opens.
    void setEmailDialog(TForm2* dialog) { emailDialog_ = dialog; }
    void setCaption(const QString& caption) { setWindowTitle(caption); }

    // Activation: runs each time the dialog is shown (not when a dialog opened
    // from it closes). Sets the title, loads the record (or puts the first-run
    // defaults into it when there is no settings file, without writing one)
    // and fills the controls, showing today's day tab.
    void formActivate();
    // Fills every control from the record, as activation does after loading;
    // shows today's day tab. Used by the main window's first run.
    void loadControlsFromRecord();

    // Live edits: each copies its box into the record at once.
    void addressChange();
    void portChange();
    void passwordChange();
    void recordPathChange();

    void aviDirectoryClick();
    void motionSwitchClick();
    void sliderChange();
    void emailSetupClick();
    // After the day tab has changed to `index`.
    void tabChanged(int index);
    void selectAllClick();
    void clearAllClick();
    void copyAllClick();
    // The settings in force changed while the dialog is open (the web page
    // applied new ones): the dialog shows them when nothing was edited in it
    // yet; otherwise it keeps the edits and says that Save replaces the new
    // settings with what it shows.
    void settingsChangedElsewhere(const CameraSettings& now);
    QLabel* staleNote() const { return staleNote_; }
    // Writes the controls into slot 0 and the settings file, then closes. A
    // camera URL that cannot be used, or a pre-record time or a number of
    // days that is not a whole number in its range, is shown and nothing is
    // saved; so is a failed write. Either way the dialog stays open.
    void saveClick();
    // Resets the motion detector's phase and closes without saving.
    void exitClick();

    const WeekSchedule& editSchedule() const { return editSchedule_; }
    int shownDay() const { return shownDay_; }

    QLineEdit* addressEdit() const { return address_; }
    QLineEdit* portEdit() const { return port_; }
    QLineEdit* passwordEdit() const { return password_; }
    QLineEdit* cameraUrlEdit() const { return cameraUrl_; }
    QLineEdit* snapshotRateEdit() const { return snapshotRate_; }
    QLineEdit* previewUrlEdit() const { return previewUrl_; }
    QLineEdit* recordPathEdit() const { return recordPath_; }
    QCheckBox* motionSwitch() const { return motionSwitch_; }
    QSlider* sensitivitySlider() const { return slider_; }
    QLabel* sensitivityLabel() const { return sliderValue_; }
    QLineEdit* prerollEdit() const { return preroll_; }
    QLabel* prerollNote() const { return prerollNote_; }
    QLineEdit* keepDaysEdit() const { return keepDays_; }
    QCheckBox* alarmSwitch() const { return alarmSwitch_; }
    QPushButton* emailSetupButton() const { return emailSetup_; }
    QPushButton* aviDirectoryButton() const { return aviDirectory_; }
    QButtonGroup* resolutionGroup() const { return resolution_; }
    QButtonGroup* frequencyGroup() const { return frequency_; }
    QButtonGroup* qualityGroup() const { return quality_; }
    QButtonGroup* brightnessGroup() const { return brightness_; }
    QButtonGroup* orientationGroup() const { return orientation_; }
    QTabBar* dayTabs() const { return dayTabs_; }
    QCheckBox* hourBox(int hour) const { return hours_[hour]; }
    QPushButton* selectAllButton() const { return selectAll_; }
    QPushButton* clearAllButton() const { return clearAll_; }
    QPushButton* everyDayButton() const { return everyDay_; }
    QPushButton* saveButton() const { return save_; }
    QPushButton* exitButton() const { return exit_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    QButtonGroup* addRadioGroup(const char* name, const QString& title, const QStringList& items, int left,
                                int width);
    void storeBoxes(int day);
    void showRow(int day);
    std::string chooseDirectory(const std::string& start);
    void warn(const std::string& text);
    // A save refused for the number in `edit`: the box says why, `edit` takes the focus.
    void refuse(QLineEdit* edit, const std::string& text);
    // Everything the controls show, to tell whether anything was edited.
    QStringList shownValues() const;

    SetupContext ctx_;
    TForm2* emailDialog_ = nullptr;
    WeekSchedule editSchedule_;
    int shownDay_ = 0;

    QLineEdit* address_ = nullptr;
    QLineEdit* port_ = nullptr;
    QLineEdit* password_ = nullptr;
    QLineEdit* cameraUrl_ = nullptr;
    QLineEdit* snapshotRate_ = nullptr;
    QLineEdit* previewUrl_ = nullptr;
    QCheckBox* motionSwitch_ = nullptr;
    QSlider* slider_ = nullptr;
    QLabel* sliderValue_ = nullptr;
    QLineEdit* preroll_ = nullptr;
    QLabel* prerollNote_ = nullptr;
    QCheckBox* alarmSwitch_ = nullptr;
    QPushButton* emailSetup_ = nullptr;
    QLineEdit* recordPath_ = nullptr;
    QPushButton* aviDirectory_ = nullptr;
    QLineEdit* keepDays_ = nullptr;
    QButtonGroup* resolution_ = nullptr;
    QButtonGroup* frequency_ = nullptr;
    QButtonGroup* quality_ = nullptr;
    QButtonGroup* brightness_ = nullptr;
    QButtonGroup* orientation_ = nullptr;
    QTabBar* dayTabs_ = nullptr;
    QCheckBox* hours_[kHoursPerDay] = {};
    QPushButton* selectAll_ = nullptr;
    QPushButton* clearAll_ = nullptr;
    QPushButton* everyDay_ = nullptr;
    QPushButton* save_ = nullptr;
    QPushButton* exit_ = nullptr;
    QLabel* staleNote_ = nullptr;
    QStringList loadedValues_;  // shownValues() as loaded
};

}  // namespace ipcam
