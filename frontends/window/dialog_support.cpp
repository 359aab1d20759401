#include "frontends/window/dialog_support.h"

#include <QMessageBox>

namespace ipcam {

void showSetupWarning(const SetupContext& ctx, QWidget* parent, const std::string& text) {
    if (ctx.showWarning)
        ctx.showWarning(text);
    else
        QMessageBox::critical(parent, QStringLiteral("Warning!"), QString::fromStdString(text));
}

bool saveSetupRecord(SetupContext& ctx, QWidget* parent) {
    try {
        if (ctx.saveSettings)
            ctx.saveSettings();
        else
            ctx.store.save(ctx.record, 0);
    } catch (const std::exception& e) {
        showSetupWarning(ctx, parent, e.what());
        return false;
    }
    return true;
}

}  // namespace ipcam
