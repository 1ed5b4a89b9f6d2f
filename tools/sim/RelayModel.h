#pragma once

#include "OutputQueue.h"
#include "Records.h"
#include "RequestDecoder.h"
#include "SimSettings.h"
#include "Trace.h"

#include <QByteArray>
#include <QByteArrayView>

#include <deque>
#include <utility>
#include <vector>

namespace ktr6sim {

struct SimCounters {
    qint64 bytesReceived = 0;
    qint64 bytesSent = 0;
    qint64 readRequests = 0;
    qint64 writeBlocks = 0;
    qint64 recordsSent = 0; // completely written to the pty
    // Stream records that nobody heard: the PC side had the port closed, the device was keeping
    // quiet around a request, or the queue was full. Also records asked for while unplugged.
    qint64 recordsDropped = 0;
    // Of those, the ones lost because no process held the port: falling due while it was
    // closed or unplugged, or still queued when it closed.
    qint64 recordsWhileClosed = 0;
    // Of those, the ones falling due while the device kept quiet around a request.
    qint64 recordsWhileQuiet = 0;
    qint64 hangups = 0;
    qint64 reopens = 0;
    qint64 portOpens = 0; // times a PC side opened the port
};

// What the relay says on its line and when: it answers "*", stores a "," block and sends its
// records, given the moment and the bytes it receives. It touches no fds and runs no thread;
// whoever drives it passes the time in, tells it how the line stands and hands its output to
// the line. Not thread-safe: the driver serialises the calls.
//
// The relay keeps quiet about records from a "*" until 250 ms after its reply, and from a ","
// until 250 ms after the block, as it does while the PC holds RTS up around a request; the PC
// side discarding its input, as it does just before it asks, stops records for 50 ms.
class RelayModel {
public:
    RelayModel(SimSettings& settings, TraceLog& trace);

    // How the line stands: unplugged, plugged in with the PC side's port closed, or open. Only
    // an open port hears anything; records sent meanwhile are lost, except requested ones.
    void plugged();
    void portOpened();
    void portClosed(qint64 now);
    void unplugged(); // a hang-up: whatever was in flight is gone
    void stopped();   // the simulator stops: the stream as well
    bool connected() const { return line_ != Line::Unplugged; }
    bool listening() const { return line_ == Line::PortOpen; }
    // The PC side threw its input away, as it does right before a request.
    void pcSideDiscarded(qint64 now);

    enum class HangUp { No, Now, AfterSending };
    // Bytes from the PC side. Says whether a hang-up fault fired: the driver then unplugs the
    // device, after sending what is queued if so asked.
    HangUp receive(QByteArrayView chunk, qint64 now);
    // Time has come to now: late replies fall due, records are made.
    void advance(qint64 now);
    // Whether something may be written at now.
    bool wantsToSend(qint64 now) const;
    // Hands what may go out at now to write, which takes what the line has room for; returns
    // the bytes it took.
    QByteArray send(qint64 now, const OutputQueue::Writer& write);
    // The next moment something is due without new input: now if at once, -1 if never.
    qint64 nextEventMs(qint64 now) const;

    // Queues records back to back; false (and counted as dropped) while unplugged.
    bool sendBurst(int count, const QByteArray& pattern);
    void startStream(const StreamConfig& config, qint64 now) { stream_.start(config, now); }
    void stopStream() { stream_.stop(); }
    bool streaming() const { return stream_.active(); }
    StreamConfig streamConfig() const { return stream_.config(); }

    QByteArray receivedBytes() const { return received_; } // the last 1 MiB
    void clearReceived() { received_.clear(); }
    SimCounters& counters() { return counters_; }
    const SimCounters& counters() const { return counters_; }
    void note(const QString& text) { trace_.note(text); }

private:
    enum class Line { Unplugged, PortClosed, PortOpen };
    struct RecordRun {
        QByteArray pattern;
        qint64 remaining = 0;
        qint64 next = 0;
    };

    // Unplugged: the queue, a half-received block, late replies and requested records are gone.
    void forgetInFlight();
    void logReceived(QByteArrayView data);
    bool answerRead(qint64 now); // false: the device hung up
    void storeBlock(const QByteArray& block);
    void deliverLateReplies(qint64 now);
    void fillRecords(qint64 now);
    void quietFor(qint64 now, qint64 ms);
    bool holdingRecords(qint64 now) const;
    qint64 holdEndsMs(qint64 now) const;

    SimSettings& settings_;
    TraceLog& trace_;
    Line line_ = Line::Unplugged;
    RequestDecoder decoder_;
    OutputQueue output_;
    RecordScheduler stream_;
    std::deque<RecordRun> runs_;
    std::vector<std::pair<qint64, QByteArray>> lateReplies_;
    bool blocked_ = false;     // the line refused bytes on the last write
    qint64 quietUntil_ = -1;   // no records before this moment (a request was answered)
    qint64 blockStallAt_ = -1; // a write block that stops arriving holds records until then
    QByteArray received_;
    SimCounters counters_;
};

} // namespace ktr6sim
