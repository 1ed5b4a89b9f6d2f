#include "Commission.h"

#include "protocol/ParameterBlock.h"
#include "serial/MSComm.h"

QString portDescription(const MSComm& port) {
    return portText({port.CommPort(), port.DeviceFor(port.CommPort()), {}, 0});
}

QString readFailure(const MSComm& port, const ReadOutcome& read) {
    if (read.result == ReadOutcome::Result::NoReply || read.portError.isEmpty())
        return QStringLiteral("no complete reply from the device on %1 after %2 attempts; "
                              "check that it is connected and powered.")
            .arg(portDescription(port), QString::number(kReadAttempts));
    return QStringLiteral("%1: %2").arg(portDescription(port), read.portError);
}

namespace {

bool stopAsked(const StopRequest* stop) {
    return stop && stop->requested();
}

// The verdict on a write that went out and was read back, or why not.
void judgeWrite(const WriteOutcome& write, const ParameterPlan& plan, const MSComm& port,
                DeviceOutcome& result) {
    switch (write.result) {
    case WriteOutcome::Result::PortError:
        result.reason = QStringLiteral("writing the parameters: %1: %2")
                            .arg(portDescription(port), write.portError.isEmpty()
                                                            ? QStringLiteral("the port failed")
                                                            : write.portError);
        return;
    case WriteOutcome::Result::ReadBackFailed:
        result.reason =
            QStringLiteral("reading back what was written: ") + readFailure(port, write.readBack);
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

DeviceOutcome commissionDevice(const ParameterPlan& plan, MSComm& port, const Pause& pause,
                               StopRequest* stop) {
    DeviceOutcome result;
    const ReadOutcome read = readParameterSet(port, pause, stop);
    if (read.result == ReadOutcome::Result::Stopped || stopAsked(stop)) {
        result.stopped = true;
        return result;
    }
    if (!read.ok()) {
        result.reason = QStringLiteral("reading the device: ") + readFailure(port, read);
        return result;
    }
    result.before = read.set;
    if (const QString mismatch = firmwareMismatch(*result.before, plan.set); !mismatch.isEmpty()) {
        // A set made for the other variant is not written to this one.
        result.reason =
            QStringLiteral("%1 on %2; nothing was written").arg(mismatch, portDescription(port));
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
    judgeWrite(write, plan, port, result);
    return result;
}
