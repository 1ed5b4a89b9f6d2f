#pragma once

#include "Fault.h"
#include "OutputQueue.h"
#include "ParamSet.h"
#include "Pty.h"
#include "Records.h"
#include "Reply.h"
#include "RequestDecoder.h"
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

struct SimConfig {
    ParamSet params;
    ReplyStyle reply;
    RecordStyle records;
    Fault fault;
    int reopenMs = -1; // after a hang-up, come back on a new pty this much later; < 0: never
    // Called on the I/O thread, outside the device's lock, for each chunk received and sent and
    // for events such as a hang-up. Set it before start().
    std::function<void(TraceDirection, QByteArrayView)> trace;
};

struct SimCounters {
    qint64 bytesReceived = 0;
    qint64 bytesSent = 0;
    qint64 readRequests = 0;
    qint64 writeBlocks = 0;
    qint64 recordsSent = 0; // completely written to the pty
    // Stream records that nobody heard: the PC side had the port closed, the device was keeping
    // quiet around a request, or the queue was full. Also records asked for while unplugged.
    qint64 recordsDropped = 0;
    qint64 hangups = 0;
    qint64 reopens = 0;
    qint64 portOpens = 0; // times a PC side opened the port
};

// The simulated relay on a pty. It runs its own I/O thread, so callers (tests, the stdin
// console) may block while it answers the PC side. All public members are thread-safe.
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
    struct RecordRun {
        QByteArray pattern;
        qint64 remaining = 0;
        qint64 next = 0;
    };
    using Traces = std::vector<std::pair<TraceDirection, QByteArray>>;

    void run();
    void wake();
    qint64 nowMs() const;
    // Runs task on the I/O thread and waits for it, so that only that thread touches the fds.
    void runOnIoThread(const std::function<void()>& task);

    // The members below are called with mutex_ held.
    void note(const QString& text);
    void readInput(qint64 now);
    void handleChunk(QByteArrayView chunk, qint64 now);
    void answerRead(qint64 now);
    void storeBlock(const QByteArray& block);
    void fillRecords(qint64 now);
    void writeOutput(qint64 now);
    void drainOutput(qint64 now);
    void doHangUp(qint64 now);
    bool doOpen(QString* error);
    void checkLine(qint64 now);
    void lineDown(qint64 now);
    void pcSideDiscarded(qint64 now);
    bool holdingRecords(qint64 now) const;
    int pollTimeout(qint64 now) const;

    mutable std::mutex mutex_;
    std::condition_variable taskDone_;
    std::thread thread_;
    std::thread::id ioThread_; // thread_ itself is not read while stop() may be joining it
    bool running_ = false;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    bool stopping_ = false;
    std::deque<std::function<void()>> tasks_;
    qint64 tasksDone_ = 0;
    qint64 tasksPosted_ = 0;

    SimConfig config_;
    PtyPair pty_;
    DeviceLink link_;
    QString linkPath_;
    RequestDecoder decoder_;
    OutputQueue output_;
    RecordScheduler stream_;
    std::deque<RecordRun> runs_;
    std::vector<std::pair<qint64, QByteArray>> lateReplies_;
    qint64 hangupCountdown_ = -1; // bytes still to receive before a hang-up, -1: not armed
    qint64 reopenAt_ = -1;
    bool blocked_ = false; // the pty refused bytes on the last write
    bool lineUp_ = false;  // a PC side has the slave open
    qint64 nextLineCheck_ = 0;
    qint64 quietUntil_ = -1;        // no records before this moment (a request was answered)
    qint64 blockStallAt_ = -1;      // a write block that stops arriving holds records until then
    bool ownDiscard_ = false;       // the next discard the master reports is our own
    bool unconfirmedWrite_ = false; // written since reading the master last found nothing
    QByteArray received_;
    SimCounters counters_;
    Traces traces_;
    std::chrono::steady_clock::time_point epoch_;
};

} // namespace ktr6sim
