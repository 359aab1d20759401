#pragma once
// The alarm e-mail failure box of the user-interface thread.

#include <functional>
#include <string>

class QWidget;

namespace ipcam {

// Shows a "Warning!" box with the error icon, `text`, and `reason` below it,
// over `parent` but modal to nothing: every window keeps taking input while
// it is open. Returns at once; `closed` is called when the box is closed, and
// dropped when the box is destroyed (with its parent, say).
void openAlarmWarningBox(QWidget* parent, const std::string& text, const std::string& reason,
                         std::function<void()> closed);

}  // namespace ipcam
