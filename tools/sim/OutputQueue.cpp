#include "OutputQueue.h"

namespace ktr6sim {

bool OutputQueue::pushRecord(const QByteArray& bytes, qsizetype pauseAt, int pauseMs) {
    if (recordBytes_ + bytes.size() > recordLimit_)
        return false;
    Segment segment;
    segment.bytes = bytes;
    segment.record = true;
    if (pauseMs > 0 && pauseAt > 0 && pauseAt < bytes.size()) {
        segment.pauseAt = pauseAt;
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
}

void OutputQueue::clear() {
    segments_.clear();
    recordBytes_ = 0;
}

bool OutputQueue::writable(qint64 nowMs) const {
    if (segments_.empty())
        return false;
    const Segment& front = segments_.front();
    return front.resumeAt < 0 || front.resumeAt <= nowMs;
}

qint64 OutputQueue::resumeAtMs() const {
    return segments_.empty() ? -1 : segments_.front().resumeAt;
}

OutputQueue::Progress OutputQueue::drain(qint64 nowMs, const Writer& write) {
    Progress progress;
    while (!segments_.empty()) {
        Segment& front = segments_.front();
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
        }
        segments_.pop_front();
    }
    return progress;
}

} // namespace ktr6sim
