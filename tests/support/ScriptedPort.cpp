#include "ScriptedPort.h"

#include "core/Others.h"

using comm::CommError;

void ScriptedPort::CommPort(int16_t number) {
    if (open_)
        throw CommError(comm::kPortIsOpen, QStringLiteral("port is open"));
    commPort_ = number;
    trace << QStringLiteral("commport %1").arg(number);
}

void ScriptedPort::Settings(const QString& settings) {
    settings_ = settings;
    trace << QStringLiteral("settings ") + settings;
}

void ScriptedPort::Handshaking(int16_t mode) {
    if (mode < 0 || mode > 3)
        throw CommError(comm::kInvalidPropertyValue, QStringLiteral("bad handshaking"));
    handshaking_ = mode;
    trace << QStringLiteral("handshaking %1").arg(mode);
}

void ScriptedPort::InputMode(int16_t mode) {
    trace << QStringLiteral("inputmode %1").arg(mode);
}

void ScriptedPort::DTREnable(bool enable) {
    trace << (enable ? QStringLiteral("dtr on") : QStringLiteral("dtr off"));
}

void ScriptedPort::PortOpen(bool open) {
    if (!open) {
        if (open_)
            trace << QStringLiteral("close");
        open_ = false;
        return;
    }
    if (open_)
        throw CommError(comm::kPortAlreadyOpen, QStringLiteral("already open"));
    if (device.isEmpty())
        throw CommError(comm::kInvalidPortNumber, QStringLiteral("no device"));
    if (openError) {
        const int code = *openError;
        openError.reset();
        throw CommError(code, QStringLiteral("scripted open failure"));
    }
    open_ = true;
    trace << QStringLiteral("open");
}

void ScriptedPort::RTSEnable(bool enable) {
    rts_ = enable;
    trace << (enable ? QStringLiteral("rts on") : QStringLiteral("rts off"));
}

void ScriptedPort::InBufferCount(int count) {
    if (!open_)
        throw CommError(comm::kPortNotOpen, QStringLiteral("not open"));
    if (count == 0)
        inBuffer.clear();
    trace << QStringLiteral("discard");
}

void ScriptedPort::Output(const QByteArray& text) {
    if (!open_)
        throw CommError(comm::kPortNotOpen, QStringLiteral("not open"));
    if (outputError)
        throw CommError(*outputError, QStringLiteral("scripted write failure"));
    trace << QStringLiteral("out ") + QString::fromLatin1(text.toHex(' ').toUpper());
    written += text;
    if (text == "*" && !replies.empty()) {
        inBuffer += replies.front();
        replies.pop_front();
    }
    if (onOutput)
        onOutput(text);
}

QByteArray ScriptedPort::Input() {
    if (!open_)
        throw CommError(comm::kPortNotOpen, QStringLiteral("not open"));
    QByteArray all = inBuffer;
    inBuffer.clear();
    trace << QStringLiteral("in %1").arg(all.size());
    return all;
}

void ScriptedPort::RThreshold(int count) {
    rThreshold_ = count;
    trace << QStringLiteral("rthreshold %1").arg(count);
}

TestSeams::TestSeams() {
    Others::resetAll();
    seams::bindPort(&port);
    seams::bindSleep([this](int ms) {
        nowMs += ms;
        port.trace << QStringLiteral("sleep %1").arg(ms);
        if (onSleep)
            onSleep(ms);
    });
    seams::bindMessage([this](const QString& text, const QString& title, MsgIcon icon) {
        messages.append({text, title, icon});
    });
    seams::bindQuestion([this](const QString& text, const QString& title, MsgIcon icon) {
        questions.append({text, title, icon});
        return answerYes;
    });
}

TestSeams::~TestSeams() {
    seams::bindPort(nullptr);
    seams::bindSleep({});
    seams::bindMessage({});
    seams::bindQuestion({});
}

QStringList exchangeOnly(const QStringList& trace) {
    QStringList kept;
    for (const QString& line : trace) {
        if (line.startsWith(QLatin1String("commport")) ||
            line.startsWith(QLatin1String("settings")) ||
            line.startsWith(QLatin1String("handshaking")) ||
            line.startsWith(QLatin1String("inputmode")) || line.startsWith(QLatin1String("dtr")))
            continue;
        kept << line;
    }
    return kept;
}
