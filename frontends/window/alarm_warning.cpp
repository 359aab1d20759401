#include "frontends/window/alarm_warning.h"

#include <QMessageBox>

namespace ipcam {

void openAlarmWarningBox(QWidget* parent, const std::string& text, const std::string& reason,
                         std::function<void()> closed) {
    auto* box = new QMessageBox(QMessageBox::Critical, QStringLiteral("Warning!"), QString::fromStdString(text),
                                QMessageBox::Ok, parent);
    if (!reason.empty()) box->setInformativeText(QString::fromStdString(reason));
    box->setWindowModality(Qt::NonModal);
    QObject::connect(box, &QDialog::finished, box, [box, closed = std::move(closed)] {
        closed();
        box->deleteLater();
    });
    box->show();
}

}  // namespace ipcam
