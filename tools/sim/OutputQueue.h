#pragma once

#include <QByteArray>

#include <deque>
#include <functional>

namespace ktr6sim {

// Bytes waiting for the pty master, which is non-blocking: whatever it does not take now stays
// queued. Records may carry a pause in the middle (split records); replies overtake records
// that have not started, because the relay answers between two records, never inside one.
class OutputQueue {
public:
    // Takes up to len bytes and returns how many it took; 0 or less means "not now".
    using Writer = std::function<qsizetype(const char* data, qsizetype len)>;

    // Returns false (and drops the record) when recordLimit bytes of records already wait.
    bool pushRecord(const QByteArray& bytes, qsizetype pauseAt = -1, int pauseMs = 0);
    void pushReply(const QByteArray& bytes);
    void clear();

    bool empty() const { return segments_.empty(); }
    qsizetype recordBytes() const { return recordBytes_; }
    void setRecordLimit(qsizetype bytes) { recordLimit_ = bytes; }

    // True when there is something to write at nowMs (not held by a pause).
    bool writable(qint64 nowMs) const;
    // The moment a pause ends, or -1 when none is running.
    qint64 resumeAtMs() const;

    struct Progress {
        QByteArray written;
        int recordsCompleted = 0;
        bool blocked = false; // the writer refused bytes
    };
    Progress drain(qint64 nowMs, const Writer& write);

private:
    struct Segment {
        QByteArray bytes;
        qsizetype written = 0;
        qsizetype pauseAt = -1; // stop before this offset until resumeAt
        int pauseMs = 0;
        qint64 resumeAt = -1;
        bool record = false;
    };

    std::deque<Segment> segments_;
    qsizetype recordBytes_ = 0;
    qsizetype recordLimit_ = 256 * 1024;
};

} // namespace ktr6sim
