#pragma once
// What the two setup dialogs do alike: show a warning and save the record.

#include <string>

#include "frontends/window/setup_context.h"

class QWidget;

namespace ipcam {

// A "Warning!" box through the context's hook, or a message box over `parent`.
void showSetupWarning(const SetupContext& ctx, QWidget* parent, const std::string& text);

// Applies and saves `record` through the context. A problem is shown and
// false returned, so that the dialog can stay open for another try.
bool saveSetupRecord(SetupContext& ctx, QWidget* parent, const CameraSettings& record);

}  // namespace ipcam
