#pragma once
// One run of one relay, a commission or a read-only audit, the way ktr6ctl
// commission, audit and a site's runs all make it: prepare (the record's
// font, paths and journal checked), the device exchange, the record as
// data, then its files (PDF, twin, journal line). Nothing is printed here:
// each step returns what happened and the lines a terminal shows for it.
//
// The exchange may run on a thread of its own, with a port object made on
// that thread; the record's PDF needs the QGuiApplication's thread, so
// writeRecord() runs there.

#include "Audit.h"
#include "Commission.h"
#include "Record.h"
#include "RecordFiles.h"

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <memory>

class MSComm;

// What one run is given.
struct CommissionRequest {
    // A commission writes the plan and reads it back; an audit only reads
    // the device and compares it with the plan (its record "KTR6 audit
    // record", named ktr6-audit-...).
    RecordKind kind = RecordKind::Commission;
    ParameterPlan plan;
    QByteArray planSha256; // of the plan's bytes as read, lowercase hex; empty: not known
    QString planName;      // how messages name the plan: its file, "standard input"
    QDateTime start;       // when the run began: it names the record
    QString recordPdf;     // empty: the default name in recordFolder
    QString recordFolder;  // empty: the current folder
    QString journal;       // empty: no journal
    QString site;          // the labels on the record; empty: not given
    QString relay;
    QString technician;
};

class CommissionRun {
public:
    explicit CommissionRun(CommissionRequest request);
    ~CommissionRun();
    CommissionRun(const CommissionRun&) = delete;
    CommissionRun& operator=(const CommissionRun&) = delete;

    // Everything the run will write, checked before the port is opened: a
    // font has every character the record would show (its labels, port,
    // paths, plan), both record files and their temporary names can be made
    // and neither exists, and the journal is open. port: the port as it
    // stands before the run. *error says why not ("...; nothing was sent."
    // where the paths were good).
    bool prepare(const PortFacts& port, QString* error);
    const RecordPaths& paths() const { return paths_; }

    // The device part (commissionDevice; an audit's auditDevice), then the
    // record as data, the port named as it was when the exchange began. An
    // audit's device() holds the set read as before, and no after.
    void exchange(MSComm& port, const Pause& pause, StopRequest* stop);
    const DeviceOutcome& device() const { return device_; }
    const CommissionRecord& record() const { return record_; }

    // The outcome as a terminal shows it: the differences, then one line,
    // each without the program's name ("verified: the device on COM1 ...").
    QStringList outcomeLines() const;

    // The PDF, then its twin, then the journal line. A file that exists is
    // never replaced.
    RecordWriteResult writeRecord();

private:
    CommissionRecord recordOf(const DeviceOutcome& device) const;

    CommissionRequest request_;
    RecordPaths paths_;
    std::unique_ptr<recordfiles::Journal> journal_;
    DeviceOutcome device_;
    CommissionRecord record_;
};
