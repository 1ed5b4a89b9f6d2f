#pragma once

#include "Pty.h"
#include "RelayModel.h"
#include "SimSettings.h"
#include "Trace.h"

#include <QString>

#include <poll.h>

namespace ktr6sim {

// The relay's end of the line: the pty and the link the PC side finds it by, plugged in,
// hung up and back again. It notices the PC side opening and closing the port, feeds the relay
// model what arrives and writes what the model sends. Driven by the I/O loop, which holds its
// lock around every call.
class PtyLine {
public:
    PtyLine(SimSettings& settings, RelayModel& model, TraceLog& trace);

    void setLinkPath(const QString& path) { linkPath_ = path; }
    QString linkPath() const { return linkPath_; }
    QString slavePath() const { return pty_.slavePath(); }
    bool isOpen() const { return pty_.isOpen(); }
    bool pcSideOpen() const { return pty_.isOpen() && model_.listening(); }

    // Opens a new pty and links it; false with *error when either fails.
    bool plugIn(QString* error);
    // Unplugs now (the link goes, the pty closes); back after the reopen time.
    void hangUp(qint64 now);
    // Unplugs now and comes back at once on a new pty.
    bool replug(qint64 now, QString* error);
    // Unplugs for good: the simulator stops.
    void close();

    // Before the model moves on: a due re-plug, a PC side that opened the port.
    void look(qint64 now);
    // After it moved on: what it has to send, once what came in meanwhile has been read.
    void writeOutput(qint64 now);
    // The master as poll should watch it (fd -1 while nobody has the port open) ...
    pollfd pollRequest(qint64 now) const;
    // ... and what poll said about it.
    void serve(const pollfd& polled, qint64 now);
    // The next moment the line itself has something to do, or -1.
    qint64 nextEventMs() const;

private:
    void checkLine(qint64 now);
    void lineDown(qint64 now);
    void pcSideDiscarded(qint64 now);
    void readInput(qint64 now);
    void received(QByteArrayView chunk, qint64 now);
    void drainOutput(qint64 now);

    SimSettings& settings_;
    RelayModel& model_;
    TraceLog& trace_;
    PtyPair pty_;
    DeviceLink link_;
    QString linkPath_;
    qint64 reopenAt_ = -1;
    qint64 nextLineCheck_ = 0;
    bool ownDiscard_ = false;       // the next discard the master reports is our own
    bool unconfirmedWrite_ = false; // written since reading the master last found nothing
};

} // namespace ktr6sim
