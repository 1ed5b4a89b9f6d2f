#include "Record.h"

#include "serial/PortMap.h"

#include "serial/MSComm.h"

#include <QDir>
#include <QFileInfo>
#include <QList>
#include <utility>

namespace {

QString offsetText(const QDateTime& time) {
    const int seconds = time.offsetFromUtc();
    const int minutes = (seconds < 0 ? -seconds : seconds) / 60;
    return QStringLiteral("%1%2:%3").arg(
        seconds < 0 ? QStringLiteral("-") : QStringLiteral("+"),
        QString::number(minutes / 60).rightJustified(2, QLatin1Char('0')),
        QString::number(minutes % 60).rightJustified(2, QLatin1Char('0')));
}

QByteArray labelJson(const QString& text) {
    return text.isEmpty() ? QByteArray("null") : jsonString(text);
}

QByteArray setJson(const std::optional<ParameterSet>& set) {
    return set ? parameterSetJson(*set).trimmed() : QByteArray("null");
}

QByteArray portJson(const PortFacts& port) {
    return "{\"number\":" + QByteArray::number(port.number) +
           ",\"device\":" + labelJson(port.device) + ",\"settings\":" + jsonString(port.settings) +
           ",\"handshaking\":" + QByteArray::number(port.handshaking) + '}';
}

QByteArray differencesJson(const CommissionRecord& record) {
    if (record.outcome == Outcome::Failed)
        return "null";
    QByteArray json = "[";
    for (const QString& line : record.differences)
        json += (json.size() > 1 ? "," : "") + jsonString(line);
    return json + ']';
}

using Entries = QList<std::pair<const char*, QByteArray>>;

// An audit's entries say so first, and hold the one set read as "device":
// there is no before and after where nothing was written.
void markAudit(const CommissionRecord& record, Entries& entries) {
    if (record.kind != RecordKind::Audit)
        return;
    entries.removeIf([](const auto& entry) { return qstrcmp(entry.first, "after") == 0; });
    for (auto& entry : entries) {
        if (qstrcmp(entry.first, "before") == 0)
            entry.first = "device";
    }
    entries.prepend({"kind", jsonString(QStringLiteral("audit"))});
}

QByteArray objectJson(const Entries& entries, const char* separator, const char* indent) {
    QByteArray json = "{";
    for (const auto& [key, value] : entries) {
        if (json.size() > 1)
            json += ',';
        json += separator;
        json += indent + QByteArray("\"") + key + "\":" + (*indent ? " " : "") + value;
    }
    return json + separator + '}';
}

} // namespace

QString outcomeWord(Outcome outcome) {
    switch (outcome) {
    case Outcome::Verified:
        return QStringLiteral("verified");
    case Outcome::Unchanged:
        return QStringLiteral("unchanged");
    case Outcome::NotVerified:
        return QStringLiteral("not-verified");
    case Outcome::Matches:
        return QStringLiteral("matches");
    case Outcome::Differs:
        return QStringLiteral("differs");
    case Outcome::Failed:
        break;
    }
    return QStringLiteral("failed");
}

QString portText(const PortFacts& port) {
    return QStringLiteral("%1 (%2)").arg(
        portName(port.number), port.device.isEmpty() ? QStringLiteral("no device") : port.device);
}

QString lineSettingsText(const PortFacts& port) {
    // The port object's "BAUD,PARITY,DATA,STOP".
    const QStringList parts = port.settings.split(QLatin1Char(','));
    const QString parity = parts.value(1).toUpper();
    const QString parityText = parity == QLatin1String("N")   ? QStringLiteral("no parity")
                               : parity == QLatin1String("E") ? QStringLiteral("even parity")
                               : parity == QLatin1String("O") ? QStringLiteral("odd parity")
                                                              : parity + QStringLiteral(" parity");
    const QString handshaking =
        port.handshaking == comm::kHandshakeXonXoff         ? QStringLiteral("XON/XOFF")
        : port.handshaking == comm::kHandshakeRtsCts        ? QStringLiteral("RTS/CTS")
        : port.handshaking == comm::kHandshakeRtsCtsXonXoff ? QStringLiteral("RTS/CTS and XON/XOFF")
                                                            : QStringLiteral("none");
    return QStringLiteral("%1 baud, %2 data bits, %3, %4 stop bit%5, handshaking %6")
        .arg(parts.value(0), parts.value(2), parityText, parts.value(3),
             parts.value(3) == QLatin1String("1") ? QString() : QStringLiteral("s"), handshaking);
}

PlanWrite planWrite(const CommissionRecord& record) {
    switch (record.outcome) {
    case Outcome::Verified:
    case Outcome::NotVerified:
        return PlanWrite::Written;
    case Outcome::Unchanged:
    case Outcome::Matches: // an audit writes nothing
    case Outcome::Differs:
        return PlanWrite::Nothing;
    case Outcome::Failed:
        break;
    }
    if (record.kind == RecordKind::Audit)
        return PlanWrite::Nothing;
    // A failed run that read the device and has no read-back failed in the
    // write or its read-back; one that read nothing, or kept the set it read
    // (another firmware variant), wrote nothing.
    return record.before && !record.after ? PlanWrite::Unknown : PlanWrite::Nothing;
}

QString resultLine(const CommissionRecord& record) {
    switch (record.outcome) {
    case Outcome::Verified:
        return QStringLiteral("Verified: the device holds this set");
    case Outcome::Unchanged:
        return QStringLiteral("Verified: the device holds this set; nothing was written");
    case Outcome::NotVerified:
        return QStringLiteral("NOT VERIFIED: ") + record.differences.join(QStringLiteral("; "));
    case Outcome::Matches:
        return QStringLiteral("Matches: the device holds the plan's set");
    case Outcome::Differs:
        return QStringLiteral("DIFFERS: ") + record.differences.join(QStringLiteral("; "));
    case Outcome::Failed:
        break;
    }
    return (record.kind == RecordKind::Audit ? QStringLiteral("FAILED: ")
                                             : QStringLiteral("NOT VERIFIED: ")) +
           record.reason;
}

QString recordTimeText(const QDateTime& time) {
    return time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) + QStringLiteral(" UTC") +
           offsetText(time);
}

QString isoTime(const QDateTime& time) {
    return time.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")) + offsetText(time);
}

namespace {

// The entries the twin and the journal line share, in their order: who and
// when, then the verdict and the set found before the run.
Entries whoAndWhen(const CommissionRecord& record) {
    return {
        {"time", jsonString(isoTime(record.time))},
        {"site", labelJson(record.site)},
        {"relay", labelJson(record.relay)},
        {"technician", labelJson(record.technician)},
    };
}

Entries verdict(const CommissionRecord& record) {
    return {
        {"outcome", jsonString(outcomeWord(record.outcome))},
        {"reason", record.outcome == Outcome::Failed ? jsonString(record.reason) : "null"},
        {"differences", differencesJson(record)},
        {"before", setJson(record.before)},
    };
}

} // namespace

QByteArray recordJson(const CommissionRecord& record) {
    Entries entries = whoAndWhen(record);
    entries << Entries{{"host", jsonString(record.host)},
                       {"version", jsonString(record.version)},
                       {"port", portJson(record.port)}}
            << verdict(record)
            << Entries{{"plan", parameterPlanJson(record.plan)},
                       {"tolerance", numberJson(record.plan.tolerance.value())},
                       {"after", setJson(record.after)},
                       {"pdf", jsonString(record.pdf)},
                       {"pdf_sha256", jsonString(QString::fromLatin1(record.pdfSha256))}};
    markAudit(record, entries);
    return objectJson(entries, "\n", "  ") + '\n';
}

QByteArray journalLine(const CommissionRecord& record, const QByteArray& planSha256) {
    Entries entries = whoAndWhen(record);
    entries << Entries{{"version", jsonString(record.version)}, {"port", portJson(record.port)}}
            << verdict(record)
            << Entries{{"after", setJson(record.after)},
                       {"plan_sha256", planSha256.isEmpty()
                                           ? QByteArray("null")
                                           : jsonString(QString::fromLatin1(planSha256))},
                       {"pdf", jsonString(record.pdf)},
                       {"pdf_sha256", jsonString(QString::fromLatin1(record.pdfSha256))}};
    markAudit(record, entries);
    return objectJson(entries, "", "");
}

QString pathProblem(const QString& option, const QString& text) {
    for (const uint c : text.toUcs4()) {
        // Line and paragraph separators break a line of the form as a
        // newline does.
        if (QChar::category(char32_t(c)) == QChar::Other_Control || c == 0x2028 || c == 0x2029)
            return QStringLiteral("%1 holds a control character (U+%2); give one line of text")
                .arg(option, QString::number(c, 16).toUpper().rightJustified(4, QLatin1Char('0')));
    }
    return {};
}

QString labelProblem(const QString& option, const QString& text) {
    const QList<uint> characters = text.toUcs4();
    if (characters.size() > kLabelMaxLength)
        return QStringLiteral("%1 is %2 characters long; at most %3 fit the record")
            .arg(option, QString::number(characters.size()), QString::number(kLabelMaxLength));
    if (const QString broken = pathProblem(option, text); !broken.isEmpty())
        return broken;
    for (const uint c : characters) {
        if (c == 0xFFFD)
            return QStringLiteral("%1 is not valid text in the system's encoding (UTF-8)")
                .arg(option);
    }
    return {};
}

std::optional<RecordPaths> recordPaths(const QString& given, const QDateTime& time, int port,
                                       QString* error, RecordKind kind) {
    QString pdf = given;
    if (pdf.isEmpty()) {
        pdf =
            QStringLiteral("ktr6-%1-%2-%3.pdf")
                .arg(kind == RecordKind::Audit ? QStringLiteral("audit") : QStringLiteral("record"),
                     time.toString(QStringLiteral("yyyyMMdd-HHmmss")), portName(port));
    } else if (!pdf.endsWith(QLatin1String(".pdf"), Qt::CaseInsensitive) ||
               QFileInfo(pdf).fileName().size() <= 4) {
        *error = QStringLiteral("--record wants a file name ending in .pdf, not \"%1\"").arg(given);
        return std::nullopt;
    }
    pdf = QDir::cleanPath(QFileInfo(pdf).absoluteFilePath());
    return RecordPaths{pdf, pdf.left(pdf.size() - 4) + QStringLiteral(".json")};
}
