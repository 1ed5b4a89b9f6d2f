#include "Seams.h"

#include <QCoreApplication>
#include <QTextStream>
#include <QThread>
#include <stdexcept>

namespace {

MSComm* boundPort = nullptr;
seams::SleepFn boundSleep;
seams::MessageFn boundMessage;
seams::QuestionFn boundQuestion;
QString programDirOverride;

} // namespace

namespace seams {

void bindPort(MSComm* port) {
    boundPort = port;
}
void bindSleep(SleepFn sleep) {
    boundSleep = std::move(sleep);
}
void bindMessage(MessageFn message) {
    boundMessage = std::move(message);
}
void bindQuestion(QuestionFn question) {
    boundQuestion = std::move(question);
}
void setProgramDirectory(const QString& dir) {
    programDirOverride = dir;
}

} // namespace seams

MSComm& MSComm1() {
    if (!boundPort)
        throw std::logic_error("no serial port object bound");
    return *boundPort;
}

void Sleep(int ms) {
    if (boundSleep) {
        boundSleep(ms);
        return;
    }
    seams::systemSleep(ms);
}

namespace seams {

void systemSleep(int ms) {
    QThread::msleep(static_cast<unsigned long>(ms));
}

} // namespace seams

void MsgBox(const QString& text, MsgIcon icon, const QString& title) {
    const QString shownTitle = title.isEmpty() ? kAppTitle : title;
    if (boundMessage) {
        boundMessage(text, shownTitle, icon);
        return;
    }
    QTextStream(stderr) << shownTitle.trimmed() << ": " << text << Qt::endl;
}

bool AskYesNo(const QString& text, MsgIcon icon, const QString& title) {
    const QString shownTitle = title.isEmpty() ? kAppTitle : title;
    if (boundQuestion)
        return boundQuestion(text, shownTitle, icon);
    QTextStream(stderr) << shownTitle.trimmed() << ": " << text << " (no one to answer: No)"
                        << Qt::endl;
    return false;
}

QString programDirectory() {
    if (!programDirOverride.isEmpty())
        return programDirOverride;
    return QCoreApplication::applicationDirPath();
}
