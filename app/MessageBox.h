#pragma once
// The desktop program's message box: what MsgBox shows through the message
// seam.

#include "core/Seams.h"

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

// Yes/No, with No as both the default and the Escape button: a question is
// asked before something that cannot be undone, and a slip of the key must
// not answer Yes. Closing the box answers No too. Without an icon of its own
// the box shows the question mark.
std::unique_ptr<QMessageBox> makeQuestionBox(const QString& text, const QString& title,
                                             MsgIcon icon, QWidget* parent = nullptr);

// Asks over the active window; true only for Yes.
bool askYesNo(const QString& text, const QString& title, MsgIcon icon);
