#include "SiteCommission.h"

#include "serial/PortMap.h"

#include <QFileInfo>

namespace {

// "not-verified" as a person reads it in a line of the summary.
QString outcomeText(Outcome outcome) {
    return outcomeWord(outcome).replace(QLatin1Char('-'), QLatin1Char(' '));
}

QString writtenText(const CommissionRecord& record) {
    if (record.kind == RecordKind::Audit) // what was read
        return record.before ? compactSetLine(*record.before) : QStringLiteral("nothing read");
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

    bool prepare(QString* error) override {
        // The port as the relay's thread will open it, for the record's font check.
        return run_.prepare({relay_.port, deviceForPort(relay_.port, programDirectory()), {}, 0},
                            error);
    }
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
        const bool audit = record.kind == RecordKind::Audit;
        result.verdict = RelayVerdict::Stopped;
        result.outcome = audit ? QStringLiteral("stopped before it was read")
                               : QStringLiteral("stopped before writing");
        result.written = audit ? QStringLiteral("nothing read") : QStringLiteral("nothing written");
        return result;
    }
    const bool differs =
        record.outcome == Outcome::NotVerified || record.outcome == Outcome::Differs;
    result.verdict = record.outcome == Outcome::Failed ? RelayVerdict::Failed
                     : differs                         ? RelayVerdict::Differs
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

} // namespace

namespace {

RelayJobFactory siteJobs(const SiteSetup& setup, RecordKind kind) {
    return [setup, kind](const SiteRelay& relay) -> std::unique_ptr<RelayJob> {
        CommissionRequest request;
        request.kind = kind;
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

} // namespace

RelayJobFactory commissionJobs(const SiteSetup& setup) {
    return siteJobs(setup, RecordKind::Commission);
}

RelayJobFactory auditJobs(const SiteSetup& setup) {
    return siteJobs(setup, RecordKind::Audit);
}
