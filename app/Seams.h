#pragma once
// The three seams through which the device procedures and the settings file
// reach the world: the port object, the blocking sleep and the message box.
// The desktop program binds them to QSerialPort, QThread::msleep and
// QMessageBox; ktr6ctl prints messages to stderr; tests bind a scripted port,
// a virtual clock and a recorder. The windows ask the operator yes/no
// questions through a fourth one of the same kind, which tests answer.

#include <QString>
#include <functional>

class MSComm;

enum class MsgIcon { None, Information, Critical, Warning };

// Every message box without a title of its own carries this one.
inline const QString kAppTitle = QStringLiteral("Program for KTR6 ");

namespace seams {

using SleepFn = std::function<void(int ms)>;
using MessageFn = std::function<void(const QString& text, const QString& title, MsgIcon icon)>;
// Returns true for Yes; No, Escape and closing the box are false.
using QuestionFn = std::function<bool(const QString& text, const QString& title, MsgIcon icon)>;

void bindPort(MSComm* port);
void bindSleep(SleepFn sleep);
void bindMessage(MessageFn message);
void bindQuestion(QuestionFn question);

// Directory that holds the program, its settings file and its comN links.
// Tests point it at a temporary directory.
void setProgramDirectory(const QString& dir);

// The pause the program makes when no other sleep is bound.
void systemSleep(int ms);

} // namespace seams

// The port object owned by the main window (or by ktr6ctl).
MSComm& MSComm1();
// Blocking pause on the calling thread.
void Sleep(int ms);
// Modal message with an OK button; an empty title gives the application title.
void MsgBox(const QString& text, MsgIcon icon = MsgIcon::None, const QString& title = {});
// Modal question with Yes and No, No the default and the Escape answer; an
// empty title gives the application title. Nobody to ask (nothing bound)
// counts as No.
bool AskYesNo(const QString& text, MsgIcon icon = MsgIcon::Warning, const QString& title = {});
QString programDirectory();
