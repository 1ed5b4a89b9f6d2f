#include "SiteCommission.h"

#include "serial/PortMap.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>

namespace {

// "not-verified" as a person reads it in a line of the summary.
QString outcomeText(Outcome outcome) {
    return outcomeWord(outcome).replace(QLatin1Char('-'), QLatin1Char(' '));
}

QString writtenText(const CommissionRecord& record) {
    switch (planWrite(record)) {
    case PlanWrite::Nothing:
        return QStringLiteral("nothing written");
    case PlanWrite::Written:
        break;
    case PlanWrite::Unknown:
        return QStringLiteral("sent, not confirmed: ") + compactSetLine(record.plan.set);
    }
    return compactSetLine(record.plan.set);
}

class CommissionJob : public RelayJob {
public:
    CommissionJob(const SiteRelay& relay, CommissionRequest request)
        : relay_(relay), run_(std::move(request)) {}

    bool prepare(QString* error) override { return run_.prepare(relay_.port, error); }
    void exchange(MSComm& port, const Pause& pause, StopRequest* stop) override {
        run_.exchange(port, pause, stop);
    }
    RelayResult finish() override;

private:
    SiteRelay relay_;
    CommissionRun run_;
};

RelayResult CommissionJob::finish() {
    const CommissionRecord& record = run_.record();
    RelayResult result;
    result.label = relay_.label;
    result.port = relay_.port;
    result.portText = portText(record.port);
    result.planSha256 = relay_.planSha256;
    const auto& known = record.after ? record.after : record.before;
    result.firmware = known ? known->firmwareVersion : QString();
    if (run_.device().stopped) {
        result.verdict = RelayVerdict::Stopped;
        result.outcome = QStringLiteral("stopped before writing");
        result.written = QStringLiteral("nothing written");
        return result;
    }
    result.verdict = record.outcome == Outcome::Failed        ? RelayVerdict::Failed
                     : record.outcome == Outcome::NotVerified ? RelayVerdict::Differs
                                                              : RelayVerdict::Good;
    result.outcome = outcomeText(record.outcome);
    result.detail = record.outcome == Outcome::Failed
                        ? record.reason
                        : record.differences.join(QStringLiteral("; "));
    result.written = writtenText(record);
    const RecordWriteResult written = run_.writeRecord();
    result.placed = written.placed;
    result.warning = written.warning;
    result.errors = written.errors;
    if (!written.placed.isEmpty()) {
        result.record = QFileInfo(written.placed.first()).fileName();
        result.recordSha256 = run_.record().pdfSha256;
    }
    return result;
}

bool isEmptyFolder(const QString& path) {
    return QDir(path).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System |
                              QDir::NoDotAndDotDot);
}

} // namespace

RelayJobFactory commissionJobs(const SiteCommissionSetup& setup) {
    return [setup](const SiteRelay& relay) -> std::unique_ptr<RelayJob> {
        CommissionRequest request;
        request.plan = relay.plan;
        request.planSha256 = relay.planSha256;
        request.planName = relay.planName;
        request.start = setup.start;
        request.recordFolder = setup.folder;
        request.journal = setup.journal;
        request.site = setup.site;
        request.relay = relay.label;
        request.technician = setup.technician;
        return std::make_unique<CommissionJob>(relay, std::move(request));
    };
}

std::optional<QString> siteFolder(const QString& given, const QString& siteFile,
                                  const QDateTime& start, bool* created, QString* error) {
    *created = false;
    QString folder = given;
    if (folder.isEmpty())
        folder = QFileInfo(siteFile).absoluteDir().filePath(
            QStringLiteral("ktr6-site-") + start.toString(QStringLiteral("yyyyMMdd-HHmmss")));
    folder = QDir::cleanPath(QFileInfo(folder).absoluteFilePath());
    const QFileInfo info(folder);
    if (info.exists() || info.isSymLink()) {
        if (given.isEmpty() || !info.isDir())
            *error = QStringLiteral("%1 exists already; a site run wants a new or an empty folder")
                         .arg(QDir::toNativeSeparators(folder));
        else if (!isEmptyFolder(folder))
            *error = QStringLiteral("the folder %1 is not empty; a site run leaves its files in "
                                    "an empty one")
                         .arg(QDir::toNativeSeparators(folder));
        return error->isEmpty() ? std::optional<QString>(folder) : std::nullopt;
    }
    if (!QDir().mkdir(folder)) {
        *error = QStringLiteral("cannot make the folder %1").arg(QDir::toNativeSeparators(folder));
        return std::nullopt;
    }
    *created = true;
    return folder;
}

RecordWriteResult writeSiteSummary(const SiteSummary& summary) {
    RecordWriteResult result;
    const QByteArray pdf = siteSummaryPdf(summary, &result.warning);
    QString error;
    if (pdf.isEmpty()) {
        result.errors << QStringLiteral("the site summary could not be drawn.");
        return result;
    }
    if (recordfiles::writeNewFile(summary.pdf, pdf, &error) != recordfiles::Placed::Written) {
        result.errors << error + QStringLiteral("; no site summary was written.");
        return result;
    }
    result.placed << summary.pdf;
    const QString json = summary.pdf.left(summary.pdf.size() - 4) + QStringLiteral(".json");
    const QByteArray sha256 = QCryptographicHash::hash(pdf, QCryptographicHash::Sha256).toHex();
    if (recordfiles::writeNewFile(json, siteSummaryJson(summary, sha256), &error) !=
        recordfiles::Placed::Written)
        result.errors
            << QStringLiteral("%1; the site summary %2 has no twin.").arg(error, summary.pdf);
    else
        result.placed << json;
    return result;
}
