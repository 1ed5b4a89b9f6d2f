#include "Commission.h"

#include "app/Others.h"
#include "serial/MSComm.h"

QString portDescription(const MSComm& port) {
    return portText({port.CommPort(), port.DeviceFor(port.CommPort()), {}, 0});
}

QString readFailure(const MSComm& port, bool messagesShown) {
    if (!messagesShown || Others::LastPortError.isEmpty())
        return QStringLiteral("no complete reply from the device on %1 after %2 attempts; "
                              "check that it is connected and powered.")
            .arg(portDescription(port), QString::number(kReadAttempts));
    return QStringLiteral("%1: %2").arg(portDescription(port), Others::LastPortError);
}

DeviceOutcome commissionDevice(const ParameterPlan& plan, const MSComm& port,
                               const CommissionSteps& steps) {
    DeviceOutcome result;
    steps.read();
    if (Others::ReadFailed) {
        result.reason =
            QStringLiteral("reading the device: ") + readFailure(port, steps.messagesShown());
        return result;
    }
    result.before = currentParameterSet();
    if (parameterSetDifferences(*result.before, plan.set).isEmpty()) {
        // The read just made is what the device holds at the end.
        result.outcome = Outcome::Unchanged;
        result.after = result.before;
        return result;
    }

    const bool blockSent = steps.write(plan.fields);
    if (Others::ReadFailed) {
        result.reason =
            blockSent ? QStringLiteral("reading back what was written: ") +
                            readFailure(port, steps.messagesShown())
                      : QStringLiteral("writing the parameters: %1: %2")
                            .arg(portDescription(port), Others::LastPortError.isEmpty()
                                                            ? QStringLiteral("the port failed")
                                                            : Others::LastPortError);
        return result;
    }
    // The write's own check looks at the table only; the verdict takes the
    // output value too.
    result.after = currentParameterSet();
    result.differences = parameterSetDifferences(*result.after, plan.set);
    result.outcome = result.differences.isEmpty() ? Outcome::Verified : Outcome::NotVerified;
    return result;
}
