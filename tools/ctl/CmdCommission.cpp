// ktr6ctl commission: write a plan, verify it, and leave a signed-off record.

#include "Commands.h"
#include "CtlRun.h"
#include "RecordReport.h"
#include "StopSignals.h"

int runCommission(const CtlJob& job, CtlRun& run) {
    CommissionRun commission(requestOf(job, RecordKind::Commission));
    QString error;
    if (!commission.prepare(portFacts(run.port()), &error)) {
        printErr(QStringLiteral("ktr6ctl: ") + error);
        return kExitUsage;
    }

    static const char kFinishing[] =
        "ktr6ctl: the record is being finished; the run stops once it is written.\n";
    stopsignals::sayWhenFinishing(kFinishing);
    commission.exchange(run.port(), run.pause(), run.stop());
    if (commission.device().stopped)
        run.stopNow(false); // nothing was sent
    stopsignals::finishing();
    const int status = reportOutcome(commission);
    const int written = writeRecord(commission);
    return stoppedStatus(written).value_or(written == kExitOk ? status : written);
}
