#include "RecordReport.h"

#include "CtlRun.h"
#include "StopSignals.h"

namespace {

int outcomeStatus(Outcome outcome) {
    switch (outcome) {
    case Outcome::Verified:
    case Outcome::Unchanged:
    case Outcome::Matches:
        return kExitOk;
    case Outcome::NotVerified:
    case Outcome::Differs:
        return kExitDiffers;
    case Outcome::Failed:
        break;
    }
    return kExitDevice;
}

} // namespace

CommissionRequest requestOf(const CtlJob& job, RecordKind kind) {
    CommissionRequest request;
    request.kind = kind;
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

int reportOutcome(const CommissionRun& run) {
    QStringList lines = run.outcomeLines();
    const QString verdict = lines.takeLast();
    if (!lines.isEmpty())
        printErr(lines.join(QLatin1Char('\n')));
    printErr(QStringLiteral("ktr6ctl: ") + verdict);
    return outcomeStatus(run.record().outcome);
}

int writeRecord(CommissionRun& run) {
    const RecordWriteResult written = run.writeRecord();
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
