#include "CommissionRun.h"

#include "RecordPdf.h"

#include "core/Version.h"
#include "serial/MSComm.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QSysInfo>

namespace {

QString differenceCount(const QStringList& differences) {
    return differences.size() == 1
               ? QStringLiteral("1 difference")
               : QStringLiteral("%1 differences").arg(QString::number(differences.size()));
}

// The PDF in place. Returns false, with the reason in result.errors, when it is not.
bool writePdf(CommissionRecord& record, const RecordPaths& paths, RecordWriteResult& result) {
    record.pdf = paths.pdf;
    const QByteArray pdf = recordPdf(record, &result.warning);
    QString error;
    if (pdf.isEmpty())
        error = QStringLiteral("the record could not be drawn");
    else if (recordfiles::writeNewFile(paths.pdf, pdf, &error) != recordfiles::Placed::Written)
        error += QStringLiteral("; no record was written");
    if (!error.isEmpty()) {
        result.errors << error + QLatin1Char('.');
        return false;
    }
    result.placed << paths.pdf;
    record.pdfSha256 = QCryptographicHash::hash(pdf, QCryptographicHash::Sha256).toHex();
    return true;
}

} // namespace

CommissionRun::CommissionRun(CommissionRequest request)
    : request_(std::move(request)), journal_(std::make_unique<recordfiles::Journal>()) {}

CommissionRun::~CommissionRun() = default;

bool CommissionRun::prepare(const PortFacts& port, QString* error) {
    QString given = request_.recordPdf;
    if (given.isEmpty() && !request_.recordFolder.isEmpty()) {
        const auto named = recordPaths({}, request_.start, port.number, error, request_.kind);
        given = QDir(request_.recordFolder).filePath(QFileInfo(named->pdf).fileName());
    }
    const auto paths = recordPaths(given, request_.start, port.number, error, request_.kind);
    if (!paths)
        return false;
    paths_ = *paths;
    // The record as the run would draw it, verified (matches), for the font check.
    const bool audit = request_.kind == RecordKind::Audit;
    DeviceOutcome provisional;
    provisional.port = port;
    provisional.outcome = audit ? Outcome::Matches : Outcome::Verified;
    provisional.before = request_.plan.set;
    if (!audit)
        provisional.after = request_.plan.set;
    CommissionRecord record = recordOf(provisional);
    record.pdf = paths_.pdf;
    if (const QString problem = recordFontProblem(record); !problem.isEmpty()) {
        *error = QStringLiteral("the record cannot be drawn: %1; nothing was sent.").arg(problem);
        return false;
    }
    bool ready = recordfiles::canCreateRecord(paths_.pdf, paths_.json, error);
    if (ready && !request_.journal.isEmpty()) {
        const QString journalPath = QDir::cleanPath(QFileInfo(request_.journal).absoluteFilePath());
        if (journalPath == paths_.pdf || journalPath == paths_.json) {
            *error = QStringLiteral("the journal %1 would be the record itself").arg(journalPath);
            ready = false;
        } else {
            ready = journal_->open(request_.journal, error);
        }
    }
    if (!ready)
        *error += QStringLiteral("; nothing was sent.");
    return ready;
}

CommissionRecord CommissionRun::recordOf(const DeviceOutcome& device) const {
    CommissionRecord record;
    record.kind = request_.kind;
    record.time = request_.start;
    record.site = request_.site;
    record.relay = request_.relay;
    record.technician = request_.technician;
    record.host = QSysInfo::machineHostName();
    record.version = programVersion();
    record.port = device.port;
    record.outcome = device.outcome;
    record.reason = device.reason;
    record.differences = device.differences;
    record.before = device.before;
    record.after = device.after;
    record.plan = request_.plan;
    return record;
}

void CommissionRun::exchange(MSComm& port, const Pause& pause, StopRequest* stop) {
    if (request_.kind == RecordKind::Audit) {
        device_ = DeviceOutcome{};
        device_.port = portFacts(port);
        const AuditExchange read = auditDevice(request_.plan, port, pause, stop);
        device_.outcome = read.outcome;
        device_.reason = read.reason;
        device_.differences = read.differences;
        device_.before = read.device;
        device_.stopped = read.stopped;
    } else {
        device_ = commissionDevice(request_.plan, port, pause, stop);
    }
    record_ = recordOf(device_);
}

QStringList CommissionRun::outcomeLines() const {
    const QString port = portText(record_.port);
    const QString& planName = request_.planName;
    switch (record_.outcome) {
    case Outcome::Verified:
        return {
            QStringLiteral("verified: the device on %1 holds the set in %2.").arg(port, planName)};
    case Outcome::Unchanged:
        return {QStringLiteral("unchanged: the device on %1 held the set in %2 already; nothing "
                               "was written.")
                    .arg(port, planName)};
    case Outcome::NotVerified:
        return record_.differences +
               QStringList{QStringLiteral("not verified: after the write the device on %1 holds "
                                          "another set than %2: %3.")
                               .arg(port, planName, differenceCount(record_.differences))};
    case Outcome::Matches:
        return {
            QStringLiteral("matches: the device on %1 holds the set in %2.").arg(port, planName)};
    case Outcome::Differs:
        return record_.differences +
               QStringList{QStringLiteral("differs: the device on %1 holds another set than %2: "
                                          "%3.")
                               .arg(port, planName, differenceCount(record_.differences))};
    case Outcome::Failed:
        break;
    }
    return {QStringLiteral("failed: ") + record_.reason};
}

RecordWriteResult CommissionRun::writeRecord() {
    RecordWriteResult result;
    if (!writePdf(record_, paths_, result))
        return result;
    QString error;
    if (recordfiles::writeNewFile(paths_.json, recordJson(record_), &error) !=
        recordfiles::Placed::Written)
        result.errors << QStringLiteral("%1; the record %2 has no twin.").arg(error, paths_.pdf);
    else
        result.placed << paths_.json;
    if (journal_->isOpen() && !journal_->append(journalLine(record_, request_.planSha256), &error))
        result.errors << error + QLatin1Char('.');
    return result;
}
