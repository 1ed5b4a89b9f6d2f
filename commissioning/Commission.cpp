#include "Commission.h"

#include "protocol/ParameterBlock.h"
#include "serial/MSComm.h"
#include "serial/PortMap.h"

PortFacts portFacts(const MSComm& port) {
    return {port.CommPort(), port.DeviceFor(port.CommPort()), port.Settings(), port.Handshaking()};
}

QString portDescription(const MSComm& port) {
    return portText({port.CommPort(), port.DeviceFor(port.CommPort()), {}, 0});
}

QString readFailure(const QString& where, const ReadOutcome& read) {
    if (read.result == ReadOutcome::Result::NoReply || read.portError.isEmpty())
        return QStringLiteral("no complete reply from the device on %1 after %2 attempts; "
                              "check that it is connected and powered.")
            .arg(where, QString::number(kReadAttempts));
    return QStringLiteral("%1: %2").arg(where, read.portError);
}

QString readFailure(const MSComm& port, const ReadOutcome& read) {
    return readFailure(portDescription(port), read);
}

namespace {

// The run's port, held to the device its number mapped to as the run
// began: once that device is gone (an adapter unplugged, a link removed) the
// number may map to another one, which the run must never open. Everything
// else goes to the port itself.
class PinnedPort : public MSComm {
public:
    explicit PinnedPort(MSComm& port) : port_(port), device_(port.DeviceFor(port.CommPort())) {}

    void CommPort(int16_t number) override { port_.CommPort(number); }
    int16_t CommPort() const override { return port_.CommPort(); }
    void Settings(const QString& settings) override { port_.Settings(settings); }
    QString Settings() const override { return port_.Settings(); }
    void Handshaking(int16_t mode) override { port_.Handshaking(mode); }
    int16_t Handshaking() const override { return port_.Handshaking(); }
    void InputMode(int16_t mode) override { port_.InputMode(mode); }
    void DTREnable(bool enable) override { port_.DTREnable(enable); }
    void PortOpen(bool open) override {
        const QString now = port_.DeviceFor(port_.CommPort());
        if (open && now != device_)
            throw comm::CommError(
                comm::kDeviceError,
                QStringLiteral("%1 is gone (unplugged or hung up); %2 now maps to %3")
                    .arg(device_, portName(port_.CommPort()),
                         now.isEmpty() ? QStringLiteral("no device") : now));
        port_.PortOpen(open);
    }
    bool PortOpen() const override { return port_.PortOpen(); }
    void RTSEnable(bool enable) override { port_.RTSEnable(enable); }
    void InBufferCount(int count) override { port_.InBufferCount(count); }
    int InBufferCount() override { return port_.InBufferCount(); }
    void Output(const QByteArray& text) override { port_.Output(text); }
    QByteArray Input() override { return port_.Input(); }
    void RThreshold(int count) override { port_.RThreshold(count); }
    int RThreshold() const override { return port_.RThreshold(); }
    int16_t CommEvent() const override { return port_.CommEvent(); }
    QString DeviceFor(int16_t number) const override { return port_.DeviceFor(number); }

private:
    MSComm& port_;
    QString device_;
};

} // namespace

namespace {

bool stopAsked(const StopRequest* stop) {
    return stop && stop->requested();
}

// The verdict on a write that went out and was read back, or why not.
void judgeWrite(const WriteOutcome& write, const ParameterPlan& plan, const QString& where,
                DeviceOutcome& result) {
    switch (write.result) {
    case WriteOutcome::Result::PortError:
        result.reason =
            QStringLiteral("writing the parameters: %1: %2")
                .arg(where, write.portError.isEmpty() ? QStringLiteral("the port failed")
                                                      : write.portError);
        return;
    case WriteOutcome::Result::ReadBackFailed:
        result.reason =
            QStringLiteral("reading back what was written: ") + readFailure(where, write.readBack);
        return;
    case WriteOutcome::Result::Verified:
    case WriteOutcome::Result::Differs:
        result.after = write.readBack.set;
        break;
    case WriteOutcome::Result::Refused: // the plan was checked as the write checks it
    case WriteOutcome::Result::Stopped:
        result.after = result.before;
        break;
    }
    // The write's own check looks at the table only; the verdict takes the
    // output value too.
    result.differences = parameterSetDifferences(*result.after, plan.set);
    result.outcome = result.differences.isEmpty() ? Outcome::Verified : Outcome::NotVerified;
}

} // namespace

DeviceOutcome commissionDevice(const ParameterPlan& plan, MSComm& runPort, const Pause& pause,
                               StopRequest* stop) {
    DeviceOutcome result;
    // The port as the run begins names it in every message and the record.
    result.port = portFacts(runPort);
    const QString where = portText({result.port.number, result.port.device, {}, 0});
    PinnedPort port(runPort);
    const ReadOutcome read = readParameterSet(port, pause, stop);
    if (read.result == ReadOutcome::Result::Stopped || stopAsked(stop)) {
        result.stopped = true;
        return result;
    }
    if (!read.ok()) {
        result.reason = QStringLiteral("reading the device: ") + readFailure(where, read);
        return result;
    }
    result.before = read.set;
    if (const QString mismatch = firmwareMismatch(*result.before, plan.set); !mismatch.isEmpty()) {
        // A set made for the other variant is not written to this one.
        result.reason = QStringLiteral("%1 on %2; nothing was written").arg(mismatch, where);
        result.after = result.before;
        return result;
    }
    if (parameterSetDifferences(*result.before, plan.set).isEmpty()) {
        // The read just made is what the device holds at the end.
        result.outcome = Outcome::Unchanged;
        result.after = result.before;
        return result;
    }
    // Once the "," has gone the write and its read-back run to their end,
    // whatever is asked: a relay that was changed gets its verdict.
    const WriteOutcome write =
        writeParameterSet(plan.fields, port, pause, stop, AfterComma::FinishReadBack);
    result.write = write.result;
    result.blockSent = write.blockSent;
    if (!write.blockSent && (write.result == WriteOutcome::Result::Stopped || stopAsked(stop))) {
        result.stopped = true;
        return result;
    }
    judgeWrite(write, plan, where, result);
    return result;
}
