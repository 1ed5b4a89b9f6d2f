#pragma once
// An audit's record, end to end and without a word printed: prepare() before
// any port is opened, exchange() on the thread that owns the port (it reads
// the device and compares, Audit.h), then finish() where the PDF may be drawn
// (a QGuiApplication's thread): the PDF, its twin and the journal line.

#include "Audit.h"
#include "Record.h"
#include "RecordFiles.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

namespace audit {

// What one relay's audit is given besides its port.
struct Job {
    ParameterPlan plan;
    QByteArray planSha256; // of the plan's bytes as read, lowercase hex; may be empty
    QString site;          // the labels; empty when not given
    QString relay;
    QString technician;
    QDateTime start; // when the audit began: it names the record
    RecordPaths paths;
};

// Everything the audit will write, checked before the port is opened: both
// record files can be made and neither exists, and the journal (journalPath,
// empty for none) is open. *error says why not.
bool prepare(const RecordPaths& paths, const QString& journalPath, recordfiles::Journal* journal,
             QString* error);

// The record of an exchange on the given port.
CommissionRecord record(const Job& job, const AuditExchange& exchange, const PortFacts& port);

// What became of the record's files.
struct Written {
    bool pdf = false;   // the PDF is in place (record.pdfSha256 holds its SHA-256)
    bool twin = false;  // its JSON twin too
    QStringList errors; // one line each for what could not be written
    QString warning;    // the font stood in for, or empty
    bool ok() const { return errors.isEmpty(); }
};

// Draws the PDF and puts it in place, then its twin, then the journal line
// (journal may be null or closed: no line). A PDF that could not be written
// leaves no twin and no line. Needs a QGuiApplication.
Written writeRecord(CommissionRecord& record, const RecordPaths& paths,
                    recordfiles::Journal* journal, const QByteArray& planSha256);

// One relay's audit in the two calls a site runner makes: exchange() on the
// thread that owns the port, finish() where the PDF may be drawn.
struct Run {
    CommissionRecord record; // outcome, reason, differences and the set read
    RecordPaths paths;
    QByteArray planSha256;
    bool stopped = false; // a stop came during the read: no verdict, nothing to write
    Written written;      // what finish() wrote
};
Run exchange(const Job& job, MSComm& port, const Pause& pause, StopRequest* stop);
// Writes the record's files and the journal line; nothing when stopped.
void finish(Run& run, recordfiles::Journal* journal);

} // namespace audit
