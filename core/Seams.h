#pragma once
// The three seams through which the device procedures and the settings file
// reach the world: the port object, the blocking sleep and the message box.
// The desktop program binds them to QSerialPort, QThread::msleep and
// QMessageBox; ktr6ctl prints messages to stderr; tests bind a scripted port,
// a virtual clock and a recorder. The windows ask the operator yes/no
// questions through a fourth one of the same kind, which tests answer.

#include <QString>
#include <atomic>
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

// A pause of a device exchange, on the exchange's own thread.
using Pause = std::function<void(int ms)>;

// Asks one run of device exchanges to stop; each run has its own. An
// exchange looks at it after each of its pauses (a pause may end early once
// a stop is asked for, unless the exchange holds it): a read then drops RTS,
// closes the port and ends; a write holds it from its "," to the end of its
// block, so the device never gets half a block, and stops once the block is
// out and the port closed. request() may be called from a signal handler.
class StopRequest {
public:
    void request() { requested_.store(true); }
    bool requested() const { return requested_.load(); }
    // While any Hold lives, pauses run their full length.
    bool held() const { return holds_.load() > 0; }

    class Hold {
    public:
        explicit Hold(StopRequest* stop) : stop_(stop) {
            if (stop_)
                ++stop_->holds_;
        }
        ~Hold() {
            if (stop_)
                --stop_->holds_;
        }
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;

    private:
        StopRequest* stop_;
    };

private:
    std::atomic<bool> requested_{false};
    std::atomic<int> holds_{0};
};

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
