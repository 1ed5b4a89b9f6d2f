#pragma once
// The device part of a commissioning run: read the device, write the plan
// unless the device already holds it, and judge the write's own read-back
// against the plan, inputs and output, with diff's comparison.

#include "ParameterJson.h"
#include "Record.h"

#include <functional>

class MSComm;

// The transactions as the caller runs them (ReadParameterBlock and
// WriteParameterBlock, with whatever the caller watches around them), and
// whether they showed the operator any message (a failure with a message
// box is a port error; one without is a silent device).
struct CommissionSteps {
    std::function<void()> read;
    // Returns whether the whole block went out before the write ended.
    std::function<bool(const EditorFields&)> write;
    std::function<bool()> messagesShown;
};

struct DeviceOutcome {
    Outcome outcome = Outcome::Failed;
    QString reason;          // failed: "reading the device: ..." and why
    QStringList differences; // not-verified: as diff prints them
    std::optional<ParameterSet> before;
    std::optional<ParameterSet> after; // the write's read-back (unchanged: the read)
};

DeviceOutcome commissionDevice(const ParameterPlan& plan, const MSComm& port,
                               const CommissionSteps& steps);

// Why the last read failed, for a person at a terminal: a silent device,
// or the port's own reason; with the port and its device.
QString readFailure(const MSComm& port, bool messagesShown);
// "COM1 (/dev/ttyUSB0)".
QString portDescription(const MSComm& port);
