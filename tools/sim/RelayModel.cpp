#include "RelayModel.h"

#include <QRandomGenerator>

#include <algorithm>

namespace ktr6sim {

namespace {

constexpr qsizetype kReceivedLimit = 1 << 20;
// Requested and as-fast-as-possible records are fed into the output queue only while less than
// this waits in it, so they wait for the PC side to read rather than being dropped.
constexpr qsizetype kLowWater = 16 * 1024;
constexpr int kUnthrottledBatch = 256;
// The PC side holds RTS up until 200 ms after its request; the device keeps quiet about records
// a little longer, so none lands in a reply window.
constexpr qint64 kQuietAfterRequestMs = 250;
// The PC side discards its input right before a request; records stop from there, for no
// longer than this if no request follows.
constexpr qint64 kQuietAfterDiscardMs = 50;
// A write block whose octets stop coming holds records back no longer than this after the
// last one; the PC side sends them 20 ms apart.
constexpr qint64 kBlockStallMs = 1000;

QByteArray randomBytes(int count) {
    QByteArray bytes(count, Qt::Uninitialized);
    for (char& c : bytes)
        c = char(QRandomGenerator::global()->bounded(256));
    return bytes;
}

// The earlier of two moments, -1 being none.
qint64 earliest(qint64 a, qint64 b) {
    if (b < 0)
        return a;
    return a < 0 || b < a ? b : a;
}

} // namespace

RelayModel::RelayModel(SimSettings& settings, TraceLog& trace)
    : settings_(settings), trace_(trace) {}

void RelayModel::plugged() {
    decoder_.reset();
    blocked_ = false;
    line_ = Line::PortClosed; // until a PC side opens the new port
    quietUntil_ = blockStallAt_ = -1;
}

void RelayModel::portOpened() {
    line_ = Line::PortOpen;
    blocked_ = false;
    ++counters_.portOpens;
}

void RelayModel::portClosed(qint64 now) {
    line_ = Line::PortClosed;
    blocked_ = false;
    const OutputQueue::Dropped dropped = output_.dropForClosedPort();
    counters_.recordsDropped += dropped.streamRecords;
    counters_.recordsWhileClosed += dropped.streamRecords;
    if (dropped.replies > 0)
        quietFor(now, kQuietAfterRequestMs);
}

void RelayModel::unplugged() {
    forgetInFlight();
    quietUntil_ = blockStallAt_ = -1;
    ++counters_.hangups;
}

void RelayModel::stopped() {
    forgetInFlight();
    stream_.stop();
}

void RelayModel::forgetInFlight() {
    line_ = Line::Unplugged;
    output_.clear();
    decoder_.reset();
    lateReplies_.clear();
    runs_.clear();
}

void RelayModel::pcSideDiscarded(qint64 now) {
    quietFor(now, kQuietAfterDiscardMs);
}

void RelayModel::quietFor(qint64 now, qint64 ms) {
    quietUntil_ = std::max(quietUntil_, now + ms);
}

RelayModel::HangUp RelayModel::receive(QByteArrayView chunk, qint64 now) {
    bool fires = false;
    const QByteArrayView data = chunk.first(settings_.admitReceived(chunk.size(), &fires));
    logReceived(data);
    for (const RequestDecoder::Request& request : decoder_.feed(data)) {
        // Covers a reply that never comes (silence) as well; one that does extends it.
        quietFor(now, kQuietAfterRequestMs);
        if (request.type == RequestDecoder::Request::Type::Write)
            storeBlock(request.block);
        else if (!answerRead(now))
            return HangUp::Now; // hung up on a "*": the rest never reached the device
    }
    if (decoder_.inBlock())
        blockStallAt_ = now + kBlockStallMs;
    if (!fires)
        return HangUp::No;
    settings_.useUpFault();
    return HangUp::AfterSending;
}

void RelayModel::logReceived(QByteArrayView data) {
    trace_.add(TraceDirection::Received, data.toByteArray());
    counters_.bytesReceived += data.size();
    received_.append(data);
    if (received_.size() > kReceivedLimit)
        received_.remove(0, received_.size() - kReceivedLimit);
}

bool RelayModel::answerRead(qint64 now) {
    ++counters_.readRequests;
    const SimSettings::Values settings = settings_.values();
    const Fault& fault = settings.fault;
    switch (fault.kind) {
    case FaultKind::Silence:
        return true;
    case FaultKind::Hangup:
        if (fault.arg == 0) {
            settings_.useUpFault(); // a re-plugged device works again
            return false;
        }
        break;
    case FaultKind::Late:
        lateReplies_.emplace_back(now + fault.arg,
                                  formatReply(settings.params, settings.reply, fault));
        return true;
    case FaultKind::Garbage:
        output_.pushReply(randomBytes(fault.arg));
        return true;
    default:
        break;
    }
    output_.pushReply(formatReply(settings.params, settings.reply, fault));
    return true;
}

void RelayModel::storeBlock(const QByteArray& block) {
    const std::optional<ParamSet> written = decodeWriteBlock(block);
    if (!written)
        return;
    ++counters_.writeBlocks;
    const ParamSet params = settings_.storeWritten(*written);
    note(QStringLiteral("stored %1 sign=%2 output=%3")
             .arg(formatParamList(params), QString::number(params.signMask),
                  QString::number(params.output)));
}

void RelayModel::advance(qint64 now) {
    deliverLateReplies(now);
    fillRecords(now);
}

void RelayModel::deliverLateReplies(qint64 now) {
    for (auto it = lateReplies_.begin(); it != lateReplies_.end();) {
        if (it->first > now) {
            ++it;
            continue;
        }
        if (listening()) {
            output_.pushReply(it->second);
        } else {
            quietFor(now, kQuietAfterRequestMs);
            note(QStringLiteral("late reply lost: the port is closed"));
        }
        it = lateReplies_.erase(it);
    }
}

void RelayModel::fillRecords(qint64 now) {
    qint64 lost = 0;
    if (!listening() || holdingRecords(now)) {
        // Nobody listens, or the device is busy with a request: timed records falling due now
        // are lost (counted, never kept, whatever the rate), as-fast-as-possible ones are
        // simply not made, requested ones wait.
        stream_.take(now, 0, 0, &lost);
        counters_.recordsDropped += lost;
        (listening() ? counters_.recordsWhileQuiet : counters_.recordsWhileClosed) += lost;
        return;
    }
    const RecordStyle style = settings_.recordStyle();
    const auto push = [&](int channel, RecordOrigin origin = RecordOrigin::Stream) {
        return output_.pushRecord(formatRecord(channel, style), 1, style.splitMs, origin);
    };
    const int room = !blocked_ && output_.recordBytes() < kLowWater ? kUnthrottledBatch : 0;
    // Timed records beyond what the queue can hold are lost as on a full line.
    const qsizetype recordSize = formatRecord(kFirstChannel, style).size();
    const int timedRoom =
        int(std::min<qsizetype>(output_.recordRoom() / recordSize, RecordScheduler::kTimedBatch));
    for (int channel : stream_.take(now, room, timedRoom, &lost)) {
        if (!push(channel))
            ++counters_.recordsDropped;
    }
    counters_.recordsDropped += lost;
    while (!runs_.empty() && output_.recordBytes() < kLowWater) {
        RecordRun& run = runs_.front();
        push(run.pattern[run.next++ % run.pattern.size()] - '0', RecordOrigin::Requested);
        if (--run.remaining == 0)
            runs_.pop_front();
    }
}

bool RelayModel::wantsToSend(qint64 now) const {
    return listening() && output_.writable(now, holdingRecords(now));
}

QByteArray RelayModel::send(qint64 now, const OutputQueue::Writer& write) {
    if (!listening())
        return {};
    const OutputQueue::Progress progress = output_.drain(now, write, holdingRecords(now));
    blocked_ = progress.blocked;
    counters_.recordsSent += progress.recordsCompleted;
    if (progress.repliesCompleted > 0)
        quietFor(now, kQuietAfterRequestMs);
    if (!progress.written.isEmpty()) {
        counters_.bytesSent += progress.written.size();
        trace_.add(TraceDirection::Sent, progress.written);
    }
    return progress.written;
}

bool RelayModel::holdingRecords(qint64 now) const {
    return now < quietUntil_ || output_.replyPending() || !lateReplies_.empty() ||
           (decoder_.inBlock() && now < blockStallAt_);
}

// When keeping quiet about records ends, as far as time alone ends it.
qint64 RelayModel::holdEndsMs(qint64 now) const {
    qint64 next = -1;
    if (quietUntil_ > now)
        next = quietUntil_;
    if (decoder_.inBlock() && blockStallAt_ > now)
        next = earliest(next, blockStallAt_);
    return next;
}

qint64 RelayModel::nextEventMs(qint64 now) const {
    const bool live = listening();
    const bool holding = holdingRecords(now);
    if (live && !holding && !blocked_ && output_.recordBytes() < kLowWater &&
        (stream_.unthrottled() || !runs_.empty()))
        return now;
    qint64 next = stream_.nextDueMs(); // timed records fall due (and are dropped) even unheard
    if (live)
        next = earliest(next, output_.resumeAtMs());
    if (live && holding)
        next = earliest(next, holdEndsMs(now));
    for (const auto& late : lateReplies_)
        next = earliest(next, late.first);
    return next;
}

bool RelayModel::sendBurst(int count, const QByteArray& pattern) {
    if (count <= 0 || !validChannelPattern(pattern))
        return false;
    if (!connected()) {
        counters_.recordsDropped += count;
        counters_.recordsWhileClosed += count;
        return false;
    }
    runs_.push_back({pattern, count, 0});
    return true;
}

} // namespace ktr6sim
