#include "AuditRecord.h"

#include "RecordPdf.h"

#include "core/Version.h"
#include "serial/MSComm.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QSysInfo>

namespace audit {

bool prepare(const RecordPaths& paths, const QString& journalPath, recordfiles::Journal* journal,
             QString* error) {
    if (!recordfiles::canCreate(paths.pdf, error) || !recordfiles::canCreate(paths.json, error))
        return false;
    if (journalPath.isEmpty())
        return true;
    const QString absolute = QDir::cleanPath(QFileInfo(journalPath).absoluteFilePath());
    if (absolute == paths.pdf || absolute == paths.json) {
        *error = QStringLiteral("the journal %1 would be the record itself").arg(absolute);
        return false;
    }
    return journal->open(journalPath, error);
}

CommissionRecord record(const Job& job, const AuditExchange& exchange, const PortFacts& port) {
    CommissionRecord record;
    record.kind = RecordKind::Audit;
    record.time = job.start;
    record.site = job.site;
    record.relay = job.relay;
    record.technician = job.technician;
    record.host = QSysInfo::machineHostName();
    record.version = programVersion();
    record.port = port;
    record.outcome = exchange.outcome;
    record.reason = exchange.reason;
    record.differences = exchange.differences;
    record.before = exchange.device;
    record.plan = job.plan;
    return record;
}

Written writeRecord(CommissionRecord& record, const RecordPaths& paths,
                    recordfiles::Journal* journal, const QByteArray& planSha256) {
    Written written;
    record.pdf = paths.pdf;
    const QByteArray pdf = recordPdf(record, &written.warning);
    QString error;
    if (pdf.isEmpty()) {
        written.errors << QStringLiteral("the record could not be drawn");
        return written;
    }
    if (recordfiles::writeNewFile(paths.pdf, pdf, &error) != recordfiles::Placed::Written) {
        written.errors << error + QStringLiteral("; no record was written");
        return written;
    }
    written.pdf = true;
    record.pdfSha256 = QCryptographicHash::hash(pdf, QCryptographicHash::Sha256).toHex();
    written.twin = recordfiles::writeNewFile(paths.json, recordJson(record), &error) ==
                   recordfiles::Placed::Written;
    if (!written.twin)
        written.errors << QStringLiteral("%1; the record %2 has no twin").arg(error, paths.pdf);
    if (journal && journal->isOpen() && !journal->append(journalLine(record, planSha256), &error))
        written.errors << error;
    return written;
}

Run exchange(const Job& job, MSComm& port, const Pause& pause, StopRequest* stop) {
    const AuditExchange device = auditDevice(job.plan, port, pause, stop);
    const PortFacts facts{port.CommPort(), port.DeviceFor(port.CommPort()), port.Settings(),
                          port.Handshaking()};
    return Run{record(job, device, facts), job.paths, job.planSha256, device.stopped, {}};
}

void finish(Run& run, recordfiles::Journal* journal) {
    if (!run.stopped)
        run.written = writeRecord(run.record, run.paths, journal, run.planSha256);
}

} // namespace audit
