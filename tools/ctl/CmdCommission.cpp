// ktr6ctl commission: write a plan, verify it, and leave a signed-off record.

#include "Commands.h"
#include "CtlRun.h"
#include "StopSignals.h"
#include "commissioning/Commission.h"
#include "commissioning/RecordFiles.h"
#include "commissioning/RecordPdf.h"

#include "core/Version.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QSysInfo>

namespace {

// Everything the run will write, checked before the port is opened: both
// record files can be made and neither exists, and the journal is open.
bool prepareRecord(const CtlOptions::Record& options, const RecordPaths& paths,
                   recordfiles::Journal* journal) {
    QString error;
    bool ready = recordfiles::canCreateRecord(paths.pdf, paths.json, &error);
    if (ready && !options.journal.isEmpty()) {
        const QString journalPath = QDir::cleanPath(QFileInfo(options.journal).absoluteFilePath());
        if (journalPath == paths.pdf || journalPath == paths.json) {
            error = QStringLiteral("the journal %1 would be the record itself").arg(journalPath);
            ready = false;
        } else {
            ready = journal->open(options.journal, &error);
        }
    }
    if (!ready)
        printErr(QStringLiteral("ktr6ctl: %1; nothing was sent.").arg(error));
    return ready;
}

QString differenceCount(const QStringList& differences) {
    return differences.size() == 1
               ? QStringLiteral("1 difference")
               : QStringLiteral("%1 differences").arg(QString::number(differences.size()));
}

// The outcome on stderr: it stands whatever becomes of the record.
int reportOutcome(const CommissionRecord& record, const QString& planName) {
    const QString port = portText(record.port);
    switch (record.outcome) {
    case Outcome::Verified:
        printErr(QStringLiteral("ktr6ctl: verified: the device on %1 holds the set in %2.")
                     .arg(port, planName));
        return kExitOk;
    case Outcome::Unchanged:
        printErr(QStringLiteral("ktr6ctl: unchanged: the device on %1 held the set in %2 "
                                "already; nothing was written.")
                     .arg(port, planName));
        return kExitOk;
    case Outcome::NotVerified:
        printErr(record.differences.join(QLatin1Char('\n')));
        printErr(QStringLiteral("ktr6ctl: not verified: after the write the device on %1 holds "
                                "another set than %2: %3.")
                     .arg(port, planName, differenceCount(record.differences)));
        return kExitDiffers;
    case Outcome::Matches: // an audit's outcomes
    case Outcome::Differs:
    case Outcome::Failed:
        break;
    }
    printErr(QStringLiteral("ktr6ctl: failed: ") + record.reason);
    return kExitDevice;
}

// The PDF in place, its path on stdout. Returns kExitOk, or kExitRecord.
int writePdf(CommissionRecord& record, const RecordPaths& paths, int* printed) {
    record.pdf = paths.pdf;
    QString warning;
    const QByteArray pdf = recordPdf(record, &warning);
    if (!warning.isEmpty())
        printErr(QStringLiteral("ktr6ctl: warning: ") + warning);
    QString error;
    if (pdf.isEmpty())
        error = QStringLiteral("the record could not be drawn");
    else if (recordfiles::writeNewFile(paths.pdf, pdf, &error) != recordfiles::Placed::Written)
        error += QStringLiteral("; no record was written");
    if (!error.isEmpty()) {
        printErr(QStringLiteral("ktr6ctl: ") + error + QLatin1Char('.'));
        return kExitRecord;
    }
    *printed = writeOutput((paths.pdf + QLatin1Char('\n')).toUtf8());
    record.pdfSha256 = QCryptographicHash::hash(pdf, QCryptographicHash::Sha256).toHex();
    return kExitOk;
}

// The PDF, then its twin, then the journal line; each path on stdout once
// its file is in place. Returns kExitOk, or kExitRecord when a file could
// not be written.
int writeRecord(CommissionRecord& record, const RecordPaths& paths, recordfiles::Journal& journal,
                const QByteArray& planSha256) {
    int status = kExitOk;
    if (writePdf(record, paths, &status) != kExitOk)
        return kExitRecord;
    QString error;
    if (recordfiles::writeNewFile(paths.json, recordJson(record), &error) !=
        recordfiles::Placed::Written) {
        printErr(QStringLiteral("ktr6ctl: %1; the record %2 has no twin.").arg(error, paths.pdf));
        status = kExitRecord;
    } else if (status == kExitOk) {
        status = writeOutput((paths.json + QLatin1Char('\n')).toUtf8());
    }
    if (journal.isOpen() && !journal.append(journalLine(record, planSha256), &error)) {
        printErr(QStringLiteral("ktr6ctl: %1.").arg(error));
        status = kExitRecord;
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

// The record of a run; its port as the run began.
CommissionRecord recordOf(const CtlJob& job, const DeviceOutcome& device) {
    CommissionRecord record;
    record.time = job.start;
    record.site = job.options.record.site;
    record.relay = job.options.record.relay;
    record.technician = job.options.record.technician;
    record.host = QSysInfo::machineHostName();
    record.version = programVersion();
    record.port = device.port;
    record.outcome = device.outcome;
    record.reason = device.reason;
    record.differences = device.differences;
    record.before = device.before;
    record.after = device.after;
    record.plan = *job.plan;
    return record;
}

// Whether the record as the run would draw it, its labels, port, paths and
// plan, has a glyph for every character in an installed font.
bool fontsCoverRecord(const CtlJob& job, const MSComm& port, const RecordPaths& paths) {
    DeviceOutcome provisional;
    provisional.port = portFacts(port);
    provisional.outcome = Outcome::Verified;
    provisional.before = provisional.after = job.plan->set;
    CommissionRecord record = recordOf(job, provisional);
    record.pdf = paths.pdf;
    const QString problem = recordFontProblem(record);
    if (!problem.isEmpty())
        printErr(QStringLiteral("ktr6ctl: the record cannot be drawn: %1; nothing was sent.")
                     .arg(problem));
    return problem.isEmpty();
}

} // namespace

int runCommission(const CtlJob& job, CtlRun& run) {
    QString error;
    const auto paths =
        recordPaths(job.options.record.pdf, job.start, run.port().CommPort(), &error);
    recordfiles::Journal journal;
    if (!paths) {
        printErr(QStringLiteral("ktr6ctl: ") + error);
        return kExitUsage;
    }
    if (!fontsCoverRecord(job, run.port(), *paths) ||
        !prepareRecord(job.options.record, *paths, &journal))
        return kExitUsage;

    static const char kFinishing[] =
        "ktr6ctl: the record is being finished; the run stops once it is written.\n";
    stopsignals::sayWhenFinishing(kFinishing);
    const DeviceOutcome device = commissionDevice(*job.plan, run.port(), run.pause(), run.stop());
    if (device.stopped)
        run.stopNow(false); // nothing was sent
    stopsignals::finishing();
    CommissionRecord record = recordOf(job, device);
    const int status = reportOutcome(record, inputName(job.options.file));
    const int written = writeRecord(record, *paths, journal, job.planSha256);
    return stoppedStatus(written).value_or(written == kExitOk ? status : written);
}
