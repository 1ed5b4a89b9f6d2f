#pragma once
// The device part of a commissioning run: read the device, write the plan
// unless the device already holds it or has another firmware variant than
// the plan names (failed, nothing written), and judge the write's own read-back
// against the plan, inputs and output, with diff's comparison.

#include "ParameterJson.h"
#include "Record.h"

#include "core/Seams.h"
#include "protocol/ParameterBlock.h"

class MSComm;

struct DeviceOutcome {
    // The port as the run began: its number, the device the number mapped
    // to, the line settings and handshaking. A relay unplugged meanwhile may
    // leave its number mapped to another device by the end.
    PortFacts port;
    Outcome outcome = Outcome::Failed;
    QString reason;          // failed: "reading the device: ..." and why
    QStringList differences; // not-verified: as diff prints them
    std::optional<ParameterSet> before;
    std::optional<ParameterSet> after; // the write's read-back (unchanged: the read)
    // A stop was asked for before anything was sent: the run ends without a
    // verdict. A stop asked for once the "," has gone does not cut the run
    // short: the block, its read-back and the verdict are all there.
    bool stopped = false;
    // What the write's own check (the table only) found; empty when nothing
    // was written.
    std::optional<WriteOutcome::Result> write;
    bool blockSent = false; // the "," went out: the device may hold another set
};

// The port's facts are taken as the run begins, and it never opens another
// device than the one its number mapped to then: a relay gone meanwhile
// fails with that as the reason.
DeviceOutcome commissionDevice(const ParameterPlan& plan, MSComm& port, const Pause& pause,
                               StopRequest* stop);

// Why a read failed, for a person at a terminal: a silent device, or the
// port's own reason; with the port and its device.
QString readFailure(const MSComm& port, const ReadOutcome& read);
// The same for a port described once ("COM1 (/dev/ttyUSB0)").
QString readFailure(const QString& where, const ReadOutcome& read);
// "COM1 (/dev/ttyUSB0)".
QString portDescription(const MSComm& port);
// The port's facts as they are now.
PortFacts portFacts(const MSComm& port);
