#include "frontends/window/Unit5.h"

#include "frontends/window/dialog_support.h"
#include "settings/settings_validation.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>

namespace ipcam {

namespace {

QLineEdit* addField(QWidget* parent, const char* groupName, const QString& title, const char* editName,
                    int left, int top, int groupWidth, int editWidth) {
    auto* group = new QGroupBox(title, parent);
    group->setObjectName(QString::fromLatin1(groupName));
    group->setGeometry(left, top, groupWidth, 50);
    auto* edit = new QLineEdit(group);
    edit->setObjectName(QString::fromLatin1(editName));
    edit->setGeometry(10, 20, editWidth, 22);
    return edit;
}

}  // namespace

TForm2::TForm2(SetupContext ctx, QWidget* parent) : QDialog(parent), ctx_(std::move(ctx)) {
    setObjectName(QStringLiteral("AlarmEmailForm"));
    setWindowTitle(QStringLiteral("Alarm Email Setup"));
    setFixedSize(525, 329);
    setModal(true);

    // Server, sender, receiver and copy stacked full width; account and
    // password share a row; then the check box and the two buttons.
    server_ = addField(this, "SMTP_Server_Box", QStringLiteral("SMTP Server"), "SMTP_Server_Edit", 8, 6, 509, 489);
    sender_ = addField(this, "SMTP_Sender_Box", QStringLiteral("Sender(From)"), "SMTP_Sender_Edit", 8, 58, 509, 489);
    receiver_ = addField(this, "SMTP_Reveiver_Box", QStringLiteral("Receiver(To)"), "SMTP_Receiver_Edit", 8, 110,
                         509, 489);
    copy_ = addField(this, "SMTP_Copy_Box", QStringLiteral("Copy(Cc)"), "SMTP_Copy_Edit", 8, 162, 509, 489);
    account_ = addField(this, "SMTP_EmailAccount_Box", QStringLiteral("Email Account"), "SMTP_EmailAccount_Edit", 8,
                        214, 253, 233);
    password_ = addField(this, "SMTP_EmailPassword_Box", QStringLiteral("Email Password"),
                         "SMTP_EmailPassword_Edit", 264, 214, 253, 233);
    password_->setEchoMode(QLineEdit::Password);
    password_->setStyleSheet(QStringLiteral("lineedit-password-character: 42;"));

    auth_ = new QCheckBox(QStringLiteral("SMTP Server needs Authentication"), this);
    auth_->setObjectName(QStringLiteral("SMTP_Auth_Box"));
    auth_->setGeometry(18, 268, 300, 20);

    save_ = new QPushButton(QStringLiteral("Save"), this);
    save_->setObjectName(QStringLiteral("SMTP_Save_Button"));
    save_->setGeometry(165, 293, 90, 28);
    save_->setAutoDefault(false);
    exit_ = new QPushButton(QStringLiteral("Exit"), this);
    exit_->setObjectName(QStringLiteral("SMTP_Exit_Button"));
    exit_->setGeometry(270, 293, 90, 28);
    exit_->setAutoDefault(false);

    connect(save_, &QPushButton::clicked, this, [this] { saveClick(); });
    connect(exit_, &QPushButton::clicked, this, [this] { exitClick(); });
}

void TForm2::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // Restoring a minimised window is spontaneous and is not a new opening.
    if (!event->spontaneous())
        formActivate();
}

void TForm2::formActivate() {
    // The setup dialog's copy: what is in force, with what was typed there.
    CameraSettings& r = ctx_.record;
    if (ctx_.current()) {
        server_->setText(QString::fromStdString(r.smtpServer));
        sender_->setText(QString::fromStdString(r.smtpSender));
        receiver_->setText(QString::fromStdString(r.smtpReceiver));
        copy_->setText(QString::fromStdString(r.smtpCopy));
        account_->setText(QString::fromStdString(r.smtpEmailAccount));
        password_->setText(QString::fromStdString(r.smtpEmailPassword));
        auth_->setChecked(r.smtpAuthEnabled == 1);
    } else {
        r.smtpServer.clear();
        r.smtpSender.clear();
        r.smtpReceiver.clear();
        r.smtpCopy.clear();
        r.smtpEmailAccount.clear();
        r.smtpEmailPassword.clear();
        r.smtpAuthEnabled = 0;
    }
}

void TForm2::saveClick() {
    // The mail settings are saved on top of those in force: what was typed
    // in the setup dialog waits for its own Save.
    CameraSettings saved = ctx_.current().value_or(ctx_.record);
    if (const auto problem = takeMailTexts({server_->text().toStdString(), sender_->text().toStdString(),
                                            receiver_->text().toStdString(), copy_->text().toStdString(),
                                            account_->text().toStdString(), password_->text().toStdString()},
                                           saved)) {
        warn(problem->text);
        const std::pair<SettingsField, QLineEdit*> edits[] = {
            {SettingsField::SmtpServer, server_},         {SettingsField::SmtpSender, sender_},
            {SettingsField::SmtpReceiver, receiver_},     {SettingsField::SmtpCopy, copy_},
            {SettingsField::SmtpEmailAccount, account_}, {SettingsField::SmtpEmailPassword, password_},
        };
        for (const auto& [field, edit] : edits)
            if (field == problem->field)
                edit->setFocus();
        return;
    }
    saved.smtpAuthEnabled = auth_->isChecked() ? 1 : 0;
    if (!saveSetupRecord(ctx_, this, saved))
        return;  // not saved: the dialog stays open for another try
    // The setup dialog's copy takes them too, so that its Save keeps them.
    CameraSettings& r = ctx_.record;
    r.smtpServer = saved.smtpServer;
    r.smtpSender = saved.smtpSender;
    r.smtpReceiver = saved.smtpReceiver;
    r.smtpCopy = saved.smtpCopy;
    r.smtpEmailAccount = saved.smtpEmailAccount;
    r.smtpEmailPassword = saved.smtpEmailPassword;
    r.smtpAuthEnabled = saved.smtpAuthEnabled;
    // Saving the mail settings allows alarm e-mails again after a failed one.
    if (ctx_.armAlarmMail)
        ctx_.armAlarmMail();
    accept();
}

void TForm2::exitClick() {
    reject();
}

void TForm2::warn(const std::string& text) { showSetupWarning(ctx_, this, text); }

}  // namespace ipcam
