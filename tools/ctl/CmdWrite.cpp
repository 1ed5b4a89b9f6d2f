// ktr6ctl write: a parameter file to the device, verified by reading it back.

#include "Commands.h"
#include "CtlRun.h"
#include "commissioning/Commission.h"
#include "commissioning/ParameterJson.h"

namespace {

// Why a write did not verify, for a person at a terminal; the exit status.
int explainWrite(const WriteOutcome& write, CtlRun& run) {
    switch (write.result) {
    case WriteOutcome::Result::Verified:
        return kExitOk;
    case WriteOutcome::Result::Refused:
        return kExitUsage;
    case WriteOutcome::Result::Differs:
        printErr(QStringLiteral("ktr6ctl: the device on %1 reports other values than were written.")
                     .arg(run.portDescription()));
        return kExitDevice;
    case WriteOutcome::Result::PortError:
        printErr(QStringLiteral("ktr6ctl: %1: %2").arg(run.portDescription(), write.portError));
        return kExitDevice;
    case WriteOutcome::Result::ReadBackFailed:
    case WriteOutcome::Result::Stopped:
        break;
    }
    if (write.readBack.result == ReadOutcome::Result::NoReply)
        printErr(QStringLiteral("ktr6ctl: the parameters were sent, but the device on %1 did not "
                                "answer the read that verifies them.")
                     .arg(run.portDescription()));
    else
        printErr(QStringLiteral("ktr6ctl: ") + readFailure(run.port(), write.readBack));
    return kExitDevice;
}

} // namespace

int runWrite(const CtlJob& job, CtlRun& run) {
    const ParameterPlan& plan = *job.plan;
    if (!plan.set.firmwareVersion.isEmpty()) {
        // A set for the other firmware variant is not written to this one.
        const auto device = run.readParameters();
        if (!device)
            return kExitDevice;
        if (const QString mismatch = firmwareMismatch(*device, plan.set); !mismatch.isEmpty()) {
            printErr(QStringLiteral("ktr6ctl: %1 on %2; nothing was written.")
                         .arg(mismatch, run.portDescription()));
            return kExitDevice;
        }
    }
    const WriteOutcome write = writeParameterSet(plan.fields, run.port(), run.pause(), run.stop());
    printNotice(noticeFor(write));
    run.stopIfSignalled(write.blockSent && write.result == WriteOutcome::Result::Stopped);
    return explainWrite(write, run);
}
