#pragma once

#include <QByteArray>

#include <algorithm>
#include <deque>
#include <functional>

namespace ktr6sim {

// Where a record came from decides what happens to it when nobody listens: stream records are
// the relay counting live impulses and are gone if the PC side misses them; records asked for
// by hand (a test, the console) wait for the PC side.
enum class RecordOrigin { Stream, Requested };

// Bytes waiting for the pty master, which is non-blocking: whatever it does not take now stays
// queued. Records may carry a pause in the middle (split records); replies overtake records
// that have not started, because the relay answers between two records, never inside one.
class OutputQueue {
public:
    // Takes up to len bytes and returns how many it took; 0 or less means "not now".
    using Writer = std::function<qsizetype(const char* data, qsizetype len)>;

    // Returns false (and drops the record) when recordLimit bytes of records already wait.
    bool pushRecord(const QByteArray& bytes, qsizetype pauseAt = -1, int pauseMs = 0,
                    RecordOrigin origin = RecordOrigin::Stream);
    void pushReply(const QByteArray& bytes);
    void clear();

    struct Dropped {
        int streamRecords = 0;
        int replies = 0;
    };
    // The PC side closed its port: replies and stream records are lost, and so is the part of
    // anything already on the wire. Requested records stay; one cut short starts over.
    Dropped dropForClosedPort();

    bool empty() const { return segments_.empty(); }
    qsizetype recordBytes() const { return recordBytes_; }
    bool replyPending() const { return replies_ > 0; }
    void setRecordLimit(qsizetype bytes) { recordLimit_ = bytes; }
    // Bytes of records that may still be pushed.
    qsizetype recordRoom() const { return std::max<qsizetype>(recordLimit_ - recordBytes_, 0); }

    // True when there is something to write at nowMs (not held by a pause). With holdRecords
    // only replies and the rest of a record already on the wire count.
    bool writable(qint64 nowMs, bool holdRecords = false) const;
    // The moment a pause ends, or -1 when none is running.
    qint64 resumeAtMs() const;

    struct Progress {
        QByteArray written;
        int recordsCompleted = 0;
        int repliesCompleted = 0;
        bool blocked = false; // the writer refused bytes
    };
    // With holdRecords no record is started: the relay keeps quiet while the PC side asks.
    Progress drain(qint64 nowMs, const Writer& write, bool holdRecords = false);

private:
    struct Segment {
        QByteArray bytes;
        qsizetype written = 0;
        qsizetype splitAt = -1; // where the pause goes, as pushed
        qsizetype pauseAt = -1; // stop before this offset until resumeAt
        int pauseMs = 0;
        qint64 resumeAt = -1;
        bool record = false;
        RecordOrigin origin = RecordOrigin::Stream;
    };

    bool held(const Segment& segment, bool holdRecords) const {
        return holdRecords && segment.record && segment.written == 0;
    }

    std::deque<Segment> segments_;
    qsizetype recordBytes_ = 0;
    int replies_ = 0;
    qsizetype recordLimit_ = 256 * 1024;
};

} // namespace ktr6sim
