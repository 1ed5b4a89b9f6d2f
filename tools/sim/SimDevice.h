#pragma once

#include "Fault.h"
#include "OutputQueue.h"
#include "ParamSet.h"
#include "Pty.h"
#include "Records.h"
#include "Reply.h"
#include "RequestDecoder.h"
#include "SimIoLoop.h"
#include "SimSettings.h"
#include "Trace.h"

#include <QString>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace ktr6sim {

// The simulated relay on a pty. It runs its own I/O thread, so callers (tests, the stdin
// console) may block while it answers the PC side. All public members are thread-safe. It is
// made of the settings a caller may change (SimSettings), what the relay says and when
// (RelayModel) and the thread that serves the pty (SimIoLoop with its PtyLine).
//
// Like the relay on a serial line, it only talks to a PC side that has the port open: what
// it would send meanwhile is lost, except records asked for by hand, which wait. And it keeps
// quiet about records from a "*" until 250 ms after its reply, and from a "," until 250 ms
// after the block, as it does while the PC holds RTS up around a request. A pty has no RTS;
// the nearest thing the device can see is the PC side discarding its input just before it
// asks, so records also stop for 50 ms from such a discard.
class SimDevice {
public:
    explicit SimDevice(SimConfig config = {});
    ~SimDevice();
    SimDevice(const SimDevice&) = delete;
    SimDevice& operator=(const SimDevice&) = delete;

    // Opens the pty, links dir/name to it and starts answering.
    bool start(const QString& dir, const QString& name = QStringLiteral("com1"),
               QString* error = nullptr);
    // Stops the I/O thread, closes the pty and removes the link.
    void stop();
    bool isRunning() const;
    bool isConnected() const; // false between a hang-up and the re-plug
    bool pcSideOpen() const;  // a PC side has the port open (seen within 10 ms)
    QString linkPath() const;
    QString slavePath() const;

    void setFault(const Fault& fault);
    Fault fault() const;
    ParamSet storedParams() const;
    void setParams(const ParamSet& params);
    ReplyStyle replyStyle() const;
    void setReplyStyle(const ReplyStyle& style);
    RecordStyle recordStyle() const;
    void setRecordStyle(const RecordStyle& style);
    void setReopenMs(int ms);

    // Queues records back to back; these are never dropped, they wait until a PC side has the
    // port open, the device is not busy with a request and the pty has room. Only a device
    // that is unplugged (hung up) drops them.
    void sendRecords(int channel, int count = 1);
    void sendBurst(int count, const QByteArray& pattern);
    void startStream(const StreamConfig& config);
    void stopStream();
    bool streaming() const;
    StreamConfig streamConfig() const;

    // Closes the pty and removes the link, as if the USB adapter were pulled; comes back after
    // the configured reopen time.
    void hangUp();
    // Comes back now on a new pty, linked under the same name.
    bool replug(QString* error = nullptr);

    QByteArray receivedBytes() const; // everything the PC side sent (the last 1 MiB)
    void clearReceived();
    SimCounters counters() const;

private:
    SimSettings settings_;
    SimIoLoop loop_;
};

} // namespace ktr6sim
