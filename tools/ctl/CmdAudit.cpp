// ktr6ctl audit: read the device, compare it with a plan, and leave a
// record; nothing is written to the device. The run is commission's
// (CommissionRun), its checks before the port opens and its record files
// the same.

#include "Commands.h"
#include "CtlRun.h"
#include "RecordReport.h"
#include "StopSignals.h"

int runAudit(const CtlJob& job, CtlRun& run) {
    CommissionRun audit(requestOf(job, RecordKind::Audit));
    QString error;
    if (!audit.prepare(portFacts(run.port()), &error)) {
        printErr(QStringLiteral("ktr6ctl: ") + error);
        return kExitUsage;
    }

    audit.exchange(run.port(), run.pause(), run.stop());
    if (audit.device().stopped)
        run.stopNow(false); // only "*" was sent: no verdict, no record
    // The device has been read: its record is finished first, whatever
    // signal comes now.
    static const char kFinishing[] =
        "ktr6ctl: the record is being finished; the run stops once it is written.\n";
    stopsignals::sayWhenFinishing(kFinishing);
    stopsignals::finishing();
    const int status = reportOutcome(audit);
    const int written = writeRecord(audit);
    return stoppedStatus(written).value_or(written == kExitOk ? status : written);
}
