#include "OutputQueue.h"

namespace ktr6sim {

bool OutputQueue::pushRecord(const QByteArray& bytes, qsizetype pauseAt, int pauseMs,
                             RecordOrigin origin) {
    if (recordBytes_ + bytes.size() > recordLimit_)
        return false;
    Segment segment;
    segment.bytes = bytes;
    segment.record = true;
    segment.origin = origin;
    if (pauseMs > 0 && pauseAt > 0 && pauseAt < bytes.size()) {
        segment.splitAt = segment.pauseAt = pauseAt;
        segment.pauseMs = pauseMs;
    }
    segments_.push_back(segment);
    recordBytes_ += bytes.size();
    return true;
}

void OutputQueue::pushReply(const QByteArray& bytes) {
    auto pos = segments_.begin();
    // Skip a segment that is already on the wire, then any replies queued before this one.
    if (pos != segments_.end() && pos->written > 0)
        ++pos;
    while (pos != segments_.end() && !pos->record)
        ++pos;
    Segment segment;
    segment.bytes = bytes;
    segments_.insert(pos, segment);
    ++replies_;
}

void OutputQueue::clear() {
    segments_.clear();
    recordBytes_ = 0;
    replies_ = 0;
}

OutputQueue::Dropped OutputQueue::dropForClosedPort() {
    Dropped dropped;
    std::deque<Segment> kept;
    for (Segment& segment : segments_) {
        if (!segment.record) {
            ++dropped.replies;
            continue;
        }
        if (segment.origin == RecordOrigin::Stream) {
            ++dropped.streamRecords;
            recordBytes_ -= segment.bytes.size();
            continue;
        }
        segment.written = 0;
        segment.pauseAt = segment.splitAt;
        segment.resumeAt = -1;
        kept.push_back(segment);
    }
    segments_.swap(kept);
    replies_ = 0;
    return dropped;
}

bool OutputQueue::writable(qint64 nowMs, bool holdRecords) const {
    if (segments_.empty())
        return false;
    const Segment& front = segments_.front();
    if (held(front, holdRecords))
        return false;
    return front.resumeAt < 0 || front.resumeAt <= nowMs;
}

qint64 OutputQueue::resumeAtMs() const {
    return segments_.empty() ? -1 : segments_.front().resumeAt;
}

OutputQueue::Progress OutputQueue::drain(qint64 nowMs, const Writer& write, bool holdRecords) {
    Progress progress;
    while (!segments_.empty()) {
        Segment& front = segments_.front();
        if (held(front, holdRecords))
            break;
        if (front.resumeAt >= 0) {
            if (front.resumeAt > nowMs)
                break;
            front.resumeAt = -1;
            front.pauseAt = -1; // the pause is over
        }
        const qsizetype end = front.pauseAt > front.written ? front.pauseAt : front.bytes.size();
        const qsizetype took = write(front.bytes.constData() + front.written, end - front.written);
        if (took <= 0) {
            progress.blocked = true;
            break;
        }
        progress.written.append(front.bytes.constData() + front.written, took);
        front.written += took;
        if (front.written == front.pauseAt) {
            front.resumeAt = nowMs + front.pauseMs;
            continue;
        }
        if (front.written < front.bytes.size()) {
            progress.blocked = true; // partial write: the pty is full
            break;
        }
        if (front.record) {
            recordBytes_ -= front.bytes.size();
            ++progress.recordsCompleted;
        } else {
            --replies_;
            ++progress.repliesCompleted;
        }
        segments_.pop_front();
    }
    return progress;
}

} // namespace ktr6sim
