#pragma once
// An audit of one relay: read the device and compare its set with a plan as
// diff does, the firmware variant too where the plan names one. It sends
// nothing but the parameter request "*": nothing is ever written.

#include "ParameterJson.h"
#include "Record.h"

#include "core/Seams.h"

#include <optional>

class MSComm;

struct AuditExchange {
    Outcome outcome = Outcome::Failed;  // Matches, Differs or Failed
    QString reason;                     // failed: "reading the device: ..." and why
    QStringList differences;            // differs: as diff prints them
    std::optional<ParameterSet> device; // the set read; none when the read failed
    // A stop was asked for during the read: the audit ends without a verdict
    // and leaves no record.
    bool stopped = false;
};

// Runs on any thread that owns the port object.
AuditExchange auditDevice(const ParameterPlan& plan, MSComm& port, const Pause& pause,
                          StopRequest* stop);
