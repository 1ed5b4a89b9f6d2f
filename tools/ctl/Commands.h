#pragma once
// The bodies of the ktr6ctl commands, one file each. Each returns the exit
// status.

#include "CtlCommand.h"
#include "commissioning/ParameterJson.h"

#include <QDateTime>
#include <optional>

class CtlRun;

// What a command works from: its options, the parameter file read and
// checked before any port was touched, and the moment the run began (which
// names a record).
struct CtlJob {
    CtlOptions options;
    std::optional<ParameterPlan> plan;
    QDateTime start;
    QByteArray planSha256; // of the plan file's bytes as read, lowercase hex
};

int runRead(const CtlJob& job, CtlRun& run);
int runWrite(const CtlJob& job, CtlRun& run);
int runMonitor(const CtlJob& job, CtlRun& run);
int runDiff(const CtlJob& job, CtlRun& run);
int runCommission(const CtlJob& job, CtlRun& run);
int runAudit(const CtlJob& job, CtlRun& run);
// Reads the settings file and opens the ports itself, one per relay.
int runSiteCommission(const CtlJob& job);
int runSiteAudit(const CtlJob& job);
int runCoefficient(const CtlOptions& options);
// Needs no port: reads the counts database.
int runCounts(const CtlOptions& options);
// Needs no port: asks the counting service.
int runService(const CtlOptions& options);
// counts --set-total: asks the counting service to set a total.
int runSetTotal(const CtlOptions& options);
// Needs no settings file and no port of its own.
int runScan(const CtlOptions& options);
