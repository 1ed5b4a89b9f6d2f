#pragma once
// What commission and audit share once the run is made (CommissionRun): the
// request from the command line, the outcome on stderr, the record's paths
// on stdout, and the exit status after a stop signal.

#include "Commands.h"
#include "commissioning/CommissionRun.h"

#include <optional>

// The run's request from the command line: the plan, the labels, where the
// record and the journal go.
CommissionRequest requestOf(const CtlJob& job, RecordKind kind);

// The outcome on stderr: it stands whatever becomes of the record. The
// differences stand as they are, the verdict after the program's name.
// Returns the outcome's exit status.
int reportOutcome(const CommissionRun& run);

// The PDF, then its twin, then the journal line; each path placed on
// stdout. Returns kExitOk, or kExitRecord when a file could not be written.
int writeRecord(CommissionRun& run);

// A stop signal that came once the run could no longer stop short: the
// record was finished first; the exit is the signal's all the same.
std::optional<int> stoppedStatus(int written);
