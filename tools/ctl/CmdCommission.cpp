// ktr6ctl commission: write a plan, verify it, and leave a signed-off record.

#include "Commands.h"
#include "CtlRun.h"
#include "StopSignals.h"
#include "commissioning/CommissionRun.h"

namespace {

int outcomeStatus(Outcome outcome) {
    switch (outcome) {
    case Outcome::Verified:
    case Outcome::Unchanged:
        return kExitOk;
    case Outcome::NotVerified:
        return kExitDiffers;
    case Outcome::Matches: // an audit's outcomes
    case Outcome::Differs:
    case Outcome::Failed:
        break;
    }
    return kExitDevice;
}

// The outcome on stderr: it stands whatever becomes of the record. The
// differences stand as they are, the verdict after the program's name.
int reportOutcome(const CommissionRun& commission) {
    QStringList lines = commission.outcomeLines();
    const QString verdict = lines.takeLast();
    if (!lines.isEmpty())
        printErr(lines.join(QLatin1Char('\n')));
    printErr(QStringLiteral("ktr6ctl: ") + verdict);
    return outcomeStatus(commission.record().outcome);
}

// The PDF, then its twin, then the journal line; each path placed on
// stdout. Returns kExitOk, or kExitRecord when a file could not be written.
int writeRecord(CommissionRun& commission) {
    const RecordWriteResult written = commission.writeRecord();
    if (!written.warning.isEmpty())
        printErr(QStringLiteral("ktr6ctl: warning: ") + written.warning);
    for (const QString& error : written.errors)
        printErr(QStringLiteral("ktr6ctl: ") + error);
    int status = written.ok() ? kExitOk : kExitRecord;
    for (const QString& path : written.placed) {
        const int printed = writeOutput((path + QLatin1Char('\n')).toUtf8());
        if (printed != kExitOk) {
            if (status == kExitOk)
                status = printed;
            break;
        }
    }
    // Paths that could not be printed (a full disk) are a record not
    // reported, not a device that failed.
    return status == kExitDevice ? kExitRecord : status;
}

// A stop signal that came once the run could no longer stop short: the
// record was finished first; the exit is the signal's all the same.
std::optional<int> stoppedStatus(int written) {
    const int signo = stopsignals::received();
    if (signo == 0)
        return std::nullopt;
    printErr(
        written == kExitOk
            ? QStringLiteral("ktr6ctl: stopped by a signal; the record was finished first.")
            : QStringLiteral("ktr6ctl: stopped by a signal; the record could not be finished."));
    return stopsignals::exitStatus(signo, false);
}

CommissionRequest requestOf(const CtlJob& job) {
    CommissionRequest request;
    request.plan = *job.plan;
    request.planSha256 = job.planSha256;
    request.planName = inputName(job.options.file);
    request.start = job.start;
    request.recordPdf = job.options.record.pdf;
    request.journal = job.options.record.journal;
    request.site = job.options.record.site;
    request.relay = job.options.record.relay;
    request.technician = job.options.record.technician;
    return request;
}

} // namespace

int runCommission(const CtlJob& job, CtlRun& run) {
    CommissionRun commission(requestOf(job));
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
