#include "frontends/window/dialog_support.h"

#include <QMessageBox>

namespace ipcam {

void showSetupWarning(const SetupContext& ctx, QWidget* parent, const std::string& text) {
    if (ctx.showWarning)
        ctx.showWarning(text);
    else
        QMessageBox::critical(parent, QStringLiteral("Warning!"), QString::fromStdString(text));
}

bool saveSetupRecord(SetupContext& ctx, QWidget* parent, const CameraSettings& record) {
    if (const auto problem = ctx.apply(record)) {
        showSetupWarning(ctx, parent, problem->text);
        return false;
    }
    return true;
}

}  // namespace ipcam
