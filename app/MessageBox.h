#pragma once
// The desktop program's message box: what MsgBox shows through the message
// seam.

#include "app/Seams.h"

#include <memory>

class QMessageBox;
class QWidget;

// A modal box with the title, the icon and one OK button. The text is shown
// as it stands: it may carry file contents, typed text, device names and
// paths, none of which may be taken for markup.
std::unique_ptr<QMessageBox> makeMessageBox(const QString& text, const QString& title, MsgIcon icon,
                                            QWidget* parent = nullptr);

// Shows that box over the active window and waits for OK.
void showMessageBox(const QString& text, const QString& title, MsgIcon icon);
