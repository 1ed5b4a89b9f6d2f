#include "Audit.h"

#include "Commission.h"

#include "protocol/ParameterBlock.h"
#include "serial/MSComm.h"

AuditExchange auditDevice(const ParameterPlan& plan, MSComm& port, const Pause& pause,
                          StopRequest* stop) {
    AuditExchange result;
    const ReadOutcome read = readParameterSet(port, pause, stop);
    if (read.result == ReadOutcome::Result::Stopped || (stop && stop->requested())) {
        result.stopped = true;
        return result;
    }
    if (!read.ok()) {
        result.reason = QStringLiteral("reading the device: ") + readFailure(port, read);
        return result;
    }
    result.device = read.set;
    // diff's comparison: a plan naming another firmware variant differs on
    // it, listed first, like any other field.
    result.differences = parameterSetDifferences(*read.set, plan.set);
    result.outcome = result.differences.isEmpty() ? Outcome::Matches : Outcome::Differs;
    return result;
}
