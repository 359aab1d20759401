#pragma once
// The alarm e-mail setup dialog ("Alarm Email Setup"): the mail server, the
// addresses and the login used for alarm e-mails. Opened modally from the
// setup dialog's "Email Setup" button.

#include <QDialog>

#include "frontends/window/setup_context.h"

class QCheckBox;
class QLineEdit;
class QPushButton;

namespace ipcam {

class TForm2 : public QDialog {
    Q_OBJECT
public:
    explicit TForm2(SetupContext ctx, QWidget* parent = nullptr);

    // Activation: runs each time the dialog is shown. Reloads the whole record
    // from the settings file and shows its SMTP fields; without a file the
    // record's SMTP fields are cleared and the boxes keep what they showed.
    void formActivate();
    // Copies the boxes into the record, writes the settings file, re-arms
    // alarm e-mails and closes. A failed write is shown and the dialog stays.
    void saveClick();
    // Closes without saving.
    void exitClick();

    QLineEdit* serverEdit() const { return server_; }
    QLineEdit* senderEdit() const { return sender_; }
    QLineEdit* receiverEdit() const { return receiver_; }
    QLineEdit* copyEdit() const { return copy_; }
    QLineEdit* accountEdit() const { return account_; }
    QLineEdit* passwordEdit() const { return password_; }
    QCheckBox* authBox() const { return auth_; }
    QPushButton* saveButton() const { return save_; }
    QPushButton* exitButton() const { return exit_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void warn(const std::string& text);

    SetupContext ctx_;
    QLineEdit* server_ = nullptr;
    QLineEdit* sender_ = nullptr;
    QLineEdit* receiver_ = nullptr;
    QLineEdit* copy_ = nullptr;
    QLineEdit* account_ = nullptr;
    QLineEdit* password_ = nullptr;
    QCheckBox* auth_ = nullptr;
    QPushButton* save_ = nullptr;
    QPushButton* exit_ = nullptr;
};

}  // namespace ipcam
