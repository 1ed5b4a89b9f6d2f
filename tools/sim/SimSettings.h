#pragma once

#include "Fault.h"
#include "ParamSet.h"
#include "Records.h"
#include "Reply.h"
#include "Trace.h"

#include <QByteArrayView>

#include <functional>
#include <mutex>

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

// What a test or the console may change while the device runs: the stored parameters, how the
// reply and the records look, the fault and the reopen time. Thread-safe: the device reads it
// as it answers while the console writes it.
class SimSettings {
public:
    struct Values {
        ParamSet params;
        ReplyStyle reply;
        RecordStyle records;
        Fault fault;
        int reopenMs = -1;
    };

    explicit SimSettings(const SimConfig& config = {});

    Values values() const;
    Fault fault() const;
    // A "hangup=N" fault starts counting received bytes from here.
    void setFault(const Fault& fault);
    ParamSet params() const;
    void setParams(const ParamSet& params);
    ReplyStyle replyStyle() const;
    void setReplyStyle(const ReplyStyle& style);
    RecordStyle recordStyle() const;
    void setRecordStyle(const RecordStyle& style);
    int reopenMs() const;
    void setReopenMs(int ms);

    // Of size bytes just received, how many reach the device: all of them, or with a
    // "hangup=N" fault those up to the N-th, when *fires is set.
    qsizetype admitReceived(qsizetype size, bool* fires);
    // The device hung up: a "hangup=N" fault counts no more bytes.
    void disarmHangup();
    // A one-shot fault fired: the device (re-plugged) works normally again.
    void useUpFault();
    // Stores a parameter set the PC side wrote and returns what the device kept: with the
    // store-different fault, IN 1's numerator one more.
    ParamSet storeWritten(ParamSet params);

private:
    mutable std::mutex mutex_;
    Values values_;
    qint64 hangupCountdown_ = -1; // bytes still to receive before a hang-up, -1: not armed
};

} // namespace ktr6sim
