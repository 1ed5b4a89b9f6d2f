#pragma once
// Test doubles for the three seams: a scripted port object that records every
// operation as a trace line, a virtual clock for Sleep, and a message
// recorder; and for the windows' yes/no questions a recorder that answers.
// Bind them with TestSeams; unbind happens in its destructor.

#include "core/Seams.h"
#include "serial/MSComm.h"

#include <QByteArray>
#include <QList>
#include <QStringList>
#include <deque>
#include <functional>
#include <optional>

class ScriptedPort : public MSComm {
    Q_OBJECT
public:
    // What the device answers to each "*" written, in order; when the queue
    // is empty the device stays silent.
    std::deque<QByteArray> replies;
    // Called with every Output text; may call deliver() to answer.
    std::function<void(const QByteArray&)> onOutput;
    // Fail the next open / every Output with this error code.
    std::optional<int> openError;
    std::optional<int> outputError;
    // Operations in order: "open", "close", "rts on", "rts off", "discard",
    // "out 2A", "in 56" (characters read), "commport 3", "settings 9600,N,8,1",
    // "handshaking 2", "inputmode 0", "dtr off", "rthreshold 2".
    QStringList trace;
    // Every octet written, in order.
    QByteArray written;
    // Bytes waiting to be read.
    QByteArray inBuffer;
    // The device on the other side of the line: where a comN link would
    // point. Empty makes every open fail with 8002.
    QString device = QStringLiteral("/dev/scripted");

    // Puts characters into the receive buffer as if the device sent them.
    void deliver(const QByteArray& bytes) { inBuffer += bytes; }
    // Raises OnComm with the given event code.
    void raise(int16_t event) {
        event_ = event;
        emit OnComm();
    }

    void CommPort(int16_t number) override;
    int16_t CommPort() const override { return commPort_; }
    void Settings(const QString& settings) override;
    QString Settings() const override { return settings_; }
    void Handshaking(int16_t mode) override;
    int16_t Handshaking() const override { return handshaking_; }
    void InputMode(int16_t mode) override;
    void DTREnable(bool enable) override;
    void PortOpen(bool open) override;
    bool PortOpen() const override { return open_; }
    void RTSEnable(bool enable) override;
    void InBufferCount(int count) override;
    int InBufferCount() override { return int(inBuffer.size()); }
    void Output(const QByteArray& text) override;
    QByteArray Input() override;
    void RThreshold(int count) override;
    int RThreshold() const override { return rThreshold_; }
    int16_t CommEvent() const override { return event_; }
    QString DeviceFor(int16_t) const override { return device; }

    bool rts() const { return rts_; }

private:
    bool open_ = false;
    bool rts_ = false;
    int16_t commPort_ = 1;
    QString settings_ = QStringLiteral("9600,N,8,1");
    int16_t handshaking_ = 0;
    int rThreshold_ = 0;
    int16_t event_ = 0;
};

struct RecordedMessage {
    QString text;
    QString title;
    MsgIcon icon;
};

// Binds the port, a virtual clock and a message recorder for one test.
// Sleeps appear in the port's trace as "sleep N" so the whole exchange reads
// as one sequence.
class TestSeams {
public:
    TestSeams();
    ~TestSeams();
    TestSeams(const TestSeams&) = delete;
    TestSeams& operator=(const TestSeams&) = delete;

    ScriptedPort port;
    qint64 nowMs = 0;
    QList<RecordedMessage> messages;
    // Every question asked, and the answer each one gets (true: Yes).
    QList<RecordedMessage> questions;
    bool answerYes = false;
    // Runs at every sleep after the clock advanced (a test can let the device
    // answer late, or change the script between attempts).
    std::function<void(int ms)> onSleep;
};

// The trace with the configuration lines dropped, for tests that only care
// about the exchange.
QStringList exchangeOnly(const QStringList& trace);
