#pragma once
// What a commissioning run leaves behind, as data: the record (drawn as a
// PDF to print and sign, written as its JSON twin) and the journal line.
// Pure functions: no port, no files, no drawing.

#include "ParameterJson.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <optional>

// A commissioning run ends verified, unchanged, not verified or failed; an
// audit, which only reads the device and compares it with the plan, ends
// matches, differs or failed.
enum class Outcome { Verified, Unchanged, NotVerified, Failed, Matches, Differs };

// "verified", "unchanged", "not-verified", "failed", "matches", "differs".
QString outcomeWord(Outcome outcome);

// What a record records: a commissioning run (the plan written and read
// back) or an audit (the device read and compared; nothing written).
enum class RecordKind { Commission, Audit };

// The port as the run used it.
struct PortFacts {
    int number = 0;
    QString device;   // what port number maps to; empty when nothing does
    QString settings; // the port object's line settings, "9600,N,8,1"
    int handshaking = 0;
};

// "COM1 (/dev/ttyUSB0)", "COM20 (no device)".
QString portText(const PortFacts& port);
// "9600 baud, 8 data bits, no parity, 1 stop bit, handshaking none".
QString lineSettingsText(const PortFacts& port);

struct CommissionRecord {
    RecordKind kind = RecordKind::Commission;
    QDateTime time; // when the run began, local time
    QString site;   // the three labels: empty when not given
    QString relay;
    QString technician;
    QString host;
    QString version;
    PortFacts port;
    Outcome outcome = Outcome::Failed;
    QString reason;                     // failed: which step failed, and why
    QStringList differences;            // the after set against the plan, as diff prints them
    std::optional<ParameterSet> before; // an audit: the set the device holds
    std::optional<ParameterSet> after;  // an audit: none
    ParameterPlan plan;
    QString pdf;          // the PDF's absolute path
    QByteArray pdfSha256; // of the PDF as written, lowercase hex
};

// Whether the run sent the plan: nothing (the read failed, the device held
// the plan already or another firmware variant), written and read back, or
// sent (perhaps in part) without an answer to its read-back, so that what
// the device holds is unknown.
enum class PlanWrite { Nothing, Written, Unknown };
PlanWrite planWrite(const CommissionRecord& record);

// "Verified: the device holds this set", "... ; nothing was written", or
// "NOT VERIFIED: " and the reason or the differences; an audit's "Matches:
// the device holds the plan's set", "DIFFERS: " and the differences, or
// "FAILED: " and the reason.
QString resultLine(const CommissionRecord& record);

// "2024-05-17 14:03:07 UTC+02:00" for the PDF; "2024-05-17T14:03:07+02:00"
// (ISO 8601 with the offset) for the twin and the journal.
QString recordTimeText(const QDateTime& time);
QString isoTime(const QDateTime& time);

// The twin: one key per line in this order: time, site, relay, technician,
// host, version, port, outcome, reason, differences, before, plan,
// tolerance (the relative error the plan's amounts are held to, a number),
// after, pdf, pdf_sha256. Labels not given, and a reason or a set that does not
// apply, are null; the sets are in the JSON of read --json (the plan's inputs
// add their intended amount and its relative error, then the label, unit and
// meter facts the plan gives them). Ends with a newline.
// An audit's twin starts with "kind": "audit", holds the set read as
// "device" instead of "before" and "after", and ends as the other does.
QByteArray recordJson(const CommissionRecord& record);

// The journal's entry: time, site, relay, technician, version, port, outcome,
// reason, differences, before, after, plan_sha256 (of the plan's bytes as
// read, lowercase hex; null when not given), pdf, pdf_sha256 as one line of
// JSON, without the newline. An audit's line starts with "kind":"audit" and
// holds "device" instead of "before" and "after".
QByteArray journalLine(const CommissionRecord& record, const QByteArray& planSha256);

// --site, --relay, --by: at most kLabelMaxLength characters (not bytes), no
// control characters. Returns what is wrong, empty when the text is fine.
inline constexpr int kLabelMaxLength = 80;
QString labelProblem(const QString& option, const QString& text);
// A path given for the record or the journal: printed and stored on one
// line, so no control character (a line break among them) and no U+2028 or
// U+2029. Returns what is wrong, empty when the path is fine.
QString pathProblem(const QString& option, const QString& path);

// Where the record goes: FILE.pdf as given (any letter case of ".pdf"), the
// twin the same path with ".json"; without a path
// ktr6-record-YYYYMMDD-HHMMSS-COM<N>.pdf/.json (an audit's
// ktr6-audit-...) in the current folder, the time the run began. Absolute paths. Nothing when the
// path does not end in
// ".pdf"; *error then says so.
struct RecordPaths {
    QString pdf;
    QString json;
};
std::optional<RecordPaths> recordPaths(const QString& given, const QDateTime& time, int port,
                                       QString* error, RecordKind kind = RecordKind::Commission);
