// ktr6ctl audit: read the device, compare it with a plan, and leave a
// record; nothing is written to the device.

#include "Commands.h"
#include "CtlRun.h"
#include "StopSignals.h"
#include "commissioning/AuditRecord.h"

namespace {

QString differenceCount(const QStringList& differences) {
    return differences.size() == 1
               ? QStringLiteral("1 difference")
               : QStringLiteral("%1 differences").arg(QString::number(differences.size()));
}

// The outcome on stderr: it stands whatever becomes of the record.
int reportOutcome(const CommissionRecord& record, const QString& planName) {
    const QString port = portText(record.port);
    if (record.outcome == Outcome::Matches) {
        printErr(QStringLiteral("ktr6ctl: matches: the device on %1 holds the set in %2.")
                     .arg(port, planName));
        return kExitOk;
    }
    if (record.outcome == Outcome::Differs) {
        printErr(record.differences.join(QLatin1Char('\n')));
        printErr(QStringLiteral("ktr6ctl: differs: the device on %1 holds another set than %2: "
                                "%3.")
                     .arg(port, planName, differenceCount(record.differences)));
        return kExitDiffers;
    }
    printErr(QStringLiteral("ktr6ctl: failed: ") + record.reason);
    return kExitDevice;
}

// What became of the record, and the paths of the files in place on
// stdout. Returns kExitOk, or kExitRecord.
int reportRecord(const audit::Written& written, const RecordPaths& paths) {
    if (!written.warning.isEmpty())
        printErr(QStringLiteral("ktr6ctl: warning: ") + written.warning);
    for (const QString& error : written.errors)
        printErr(QStringLiteral("ktr6ctl: ") + error + QLatin1Char('.'));
    QByteArray out;
    if (written.pdf)
        out += (paths.pdf + QLatin1Char('\n')).toUtf8();
    if (written.twin)
        out += (paths.json + QLatin1Char('\n')).toUtf8();
    // Paths that could not be printed (a full disk) are a record not
    // reported, not a device that failed.
    const int printed = out.isEmpty() ? kExitOk : writeOutput(out);
    return written.ok() && printed == kExitOk ? kExitOk : kExitRecord;
}

} // namespace

int runAudit(const CtlJob& job, CtlRun& run) {
    QString error;
    const auto paths = recordPaths(job.options.record.pdf, job.start, run.port().CommPort(), &error,
                                   RecordKind::Audit);
    if (!paths) {
        printErr(QStringLiteral("ktr6ctl: ") + error);
        return kExitUsage;
    }
    recordfiles::Journal journal;
    if (!audit::prepare(*paths, job.options.record.journal, &journal, &error)) {
        printErr(QStringLiteral("ktr6ctl: %1; nothing was sent.").arg(error));
        return kExitUsage;
    }

    const audit::Job auditJob{*job.plan,
                              job.planSha256,
                              job.options.record.site,
                              job.options.record.relay,
                              job.options.record.technician,
                              job.start,
                              *paths};
    audit::Run done = audit::exchange(auditJob, run.port(), run.pause(), run.stop());
    if (done.stopped)
        run.stopNow(false); // only "*" was sent: no verdict, no record
    // The device has been read: its record is finished first, whatever
    // signal comes now.
    static const char kFinishing[] =
        "ktr6ctl: the record is being finished; the run stops once it is written.\n";
    stopsignals::sayWhenFinishing(kFinishing);
    stopsignals::finishing();
    const int status = reportOutcome(done.record, inputName(job.options.file));
    audit::finish(done, &journal);
    const int written = reportRecord(done.written, *paths);
    if (const int signo = stopsignals::received(); signo != 0) {
        printErr(
            written == kExitOk
                ? QStringLiteral("ktr6ctl: stopped by a signal; the record was finished first.")
                : QStringLiteral(
                      "ktr6ctl: stopped by a signal; the record could not be finished."));
        return stopsignals::exitStatus(signo, false);
    }
    return written == kExitOk ? status : written;
}
