#include "SimDevice.h"

#include <QDir>
#include <QRandomGenerator>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace ktr6sim {

namespace {

constexpr qsizetype kReceivedLimit = 1 << 20;
// Requested and as-fast-as-possible records are fed into the output queue only while less than
// this waits in it, so they wait for the PC side to read rather than being dropped.
constexpr qsizetype kLowWater = 16 * 1024;
constexpr int kUnthrottledBatch = 256;
// A pty that failed to come back is tried again this much later.
constexpr qint64 kReopenRetryMs = 1000;
// While no PC side has the port open the master is looked at this often (it reports hang-up
// at once every time, so it cannot simply be waited on); an opened port is served this soon.
constexpr qint64 kLineCheckMs = 10;
// The PC side holds RTS up until 200 ms after its request; the device keeps quiet about records
// a little longer, so none lands in a reply window.
constexpr qint64 kQuietAfterRequestMs = 250;
// The PC side discards its input right before a request; records stop from there, for no
// longer than this if no request follows.
constexpr qint64 kQuietAfterDiscardMs = 50;
// A write block whose octets stop coming holds records back no longer than this after the
// last one; the PC side sends them 20 ms apart.
constexpr qint64 kBlockStallMs = 1000;

qsizetype writeSome(int fd, const char* data, qsizetype len) {
    for (;;) {
        const ssize_t n = ::write(fd, data, size_t(len));
        if (n >= 0)
            return n;
        if (errno != EINTR)
            return 0; // EAGAIN: the slave's input queue is full; anything else shows up in poll
    }
}

QByteArray randomBytes(int count) {
    QByteArray bytes(count, Qt::Uninitialized);
    for (char& c : bytes)
        c = char(QRandomGenerator::global()->bounded(256));
    return bytes;
}

} // namespace

SimDevice::SimDevice(SimConfig config)
    : config_(std::move(config)), epoch_(std::chrono::steady_clock::now()) {
    if (config_.fault.kind == FaultKind::Hangup && config_.fault.arg > 0)
        hangupCountdown_ = config_.fault.arg;
}

SimDevice::~SimDevice() {
    stop();
}

qint64 SimDevice::nowMs() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 epoch_)
        .count();
}

bool SimDevice::start(const QString& dir, const QString& name, QString* error) {
    std::lock_guard lock(mutex_);
    if (running_) {
        if (error)
            *error = QStringLiteral("already running");
        return false;
    }
    linkPath_ = QDir(dir).absoluteFilePath(name);
    int fds[2];
    if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) {
        if (error)
            *error = QStringLiteral("cannot create the wake-up pipe");
        return false;
    }
    if (!doOpen(error)) {
        ::close(fds[0]);
        ::close(fds[1]);
        return false;
    }
    wakeRead_ = fds[0];
    wakeWrite_ = fds[1];
    stopping_ = false;
    running_ = true;
    thread_ = std::thread(&SimDevice::run, this);
    ioThread_ = thread_.get_id();
    return true;
}

void SimDevice::stop() {
    {
        std::lock_guard lock(mutex_);
        if (!running_ || stopping_)
            return;
        stopping_ = true;
        wake();
    }
    thread_.join();
    std::lock_guard lock(mutex_);
    running_ = false;
    ioThread_ = {};
    link_.remove();
    pty_.close();
    lineUp_ = false;
    output_.clear();
    decoder_.reset();
    stream_.stop();
    runs_.clear();
    lateReplies_.clear();
    reopenAt_ = -1;
    ::close(wakeRead_);
    ::close(wakeWrite_);
    wakeRead_ = wakeWrite_ = -1;
    tasks_.clear();
    tasksDone_ = tasksPosted_;
    taskDone_.notify_all();
}

bool SimDevice::isRunning() const {
    std::lock_guard lock(mutex_);
    return running_ && !stopping_;
}

bool SimDevice::isConnected() const {
    std::lock_guard lock(mutex_);
    return pty_.isOpen();
}

bool SimDevice::pcSideOpen() const {
    std::lock_guard lock(mutex_);
    return pty_.isOpen() && lineUp_;
}

QString SimDevice::linkPath() const {
    std::lock_guard lock(mutex_);
    return linkPath_;
}

QString SimDevice::slavePath() const {
    std::lock_guard lock(mutex_);
    return pty_.slavePath();
}

void SimDevice::setFault(const Fault& fault) {
    std::lock_guard lock(mutex_);
    config_.fault = fault;
    hangupCountdown_ = fault.kind == FaultKind::Hangup && fault.arg > 0 ? fault.arg : -1;
    note(QStringLiteral("fault %1").arg(faultToString(fault)));
}

Fault SimDevice::fault() const {
    std::lock_guard lock(mutex_);
    return config_.fault;
}

ParamSet SimDevice::storedParams() const {
    std::lock_guard lock(mutex_);
    return config_.params;
}

void SimDevice::setParams(const ParamSet& params) {
    std::lock_guard lock(mutex_);
    config_.params = params;
}

ReplyStyle SimDevice::replyStyle() const {
    std::lock_guard lock(mutex_);
    return config_.reply;
}

void SimDevice::setReplyStyle(const ReplyStyle& style) {
    std::lock_guard lock(mutex_);
    config_.reply = style;
}

RecordStyle SimDevice::recordStyle() const {
    std::lock_guard lock(mutex_);
    return config_.records;
}

void SimDevice::setRecordStyle(const RecordStyle& style) {
    std::lock_guard lock(mutex_);
    config_.records = style;
}

void SimDevice::setReopenMs(int ms) {
    std::lock_guard lock(mutex_);
    config_.reopenMs = ms;
}

void SimDevice::sendRecords(int channel, int count) {
    sendBurst(count, QByteArray(1, char('0' + channel)));
}

void SimDevice::sendBurst(int count, const QByteArray& pattern) {
    std::lock_guard lock(mutex_);
    if (count <= 0 || !validChannelPattern(pattern))
        return;
    if (!pty_.isOpen()) {
        counters_.recordsDropped += count;
        return;
    }
    runs_.push_back({pattern, count, 0});
    wake();
}

void SimDevice::startStream(const StreamConfig& config) {
    std::lock_guard lock(mutex_);
    stream_.start(config, nowMs());
    wake();
}

void SimDevice::stopStream() {
    std::lock_guard lock(mutex_);
    stream_.stop();
}

bool SimDevice::streaming() const {
    std::lock_guard lock(mutex_);
    return stream_.active();
}

StreamConfig SimDevice::streamConfig() const {
    std::lock_guard lock(mutex_);
    return stream_.config();
}

void SimDevice::hangUp() {
    runOnIoThread([this] {
        if (pty_.isOpen())
            doHangUp(nowMs());
    });
}

bool SimDevice::replug(QString* error) {
    bool ok = false;
    runOnIoThread([&] {
        if (pty_.isOpen())
            doHangUp(nowMs());
        reopenAt_ = -1;
        ok = doOpen(error);
        if (ok)
            ++counters_.reopens;
    });
    return ok;
}

QByteArray SimDevice::receivedBytes() const {
    std::lock_guard lock(mutex_);
    return received_;
}

void SimDevice::clearReceived() {
    std::lock_guard lock(mutex_);
    received_.clear();
}

SimCounters SimDevice::counters() const {
    std::lock_guard lock(mutex_);
    return counters_;
}

void SimDevice::wake() {
    // A full pipe already holds a wake-up, so a failed write loses nothing.
    if (wakeWrite_ >= 0 && ::write(wakeWrite_, "w", 1) < 0) {
    }
}

void SimDevice::runOnIoThread(const std::function<void()>& task) {
    std::unique_lock lock(mutex_);
    if (!running_ || stopping_)
        return;
    if (std::this_thread::get_id() == ioThread_) {
        task(); // called back from a trace sink
        return;
    }
    tasks_.push_back(task);
    const qint64 ticket = ++tasksPosted_;
    wake();
    taskDone_.wait(lock, [&] { return tasksDone_ >= ticket; });
}

void SimDevice::note(const QString& text) {
    traces_.emplace_back(TraceDirection::Note, text.toUtf8());
}

void SimDevice::run() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        qint64 now = nowMs();
        while (!tasks_.empty()) {
            const auto task = std::move(tasks_.front());
            tasks_.pop_front();
            task();
            ++tasksDone_;
        }
        taskDone_.notify_all();

        if (reopenAt_ >= 0 && now >= reopenAt_) {
            QString error;
            reopenAt_ = -1;
            if (doOpen(&error)) {
                ++counters_.reopens;
            } else {
                reopenAt_ = now + kReopenRetryMs;
                note(error);
            }
        }
        checkLine(now);
        for (auto it = lateReplies_.begin(); it != lateReplies_.end();) {
            if (it->first <= now) {
                if (lineUp_) {
                    output_.pushReply(it->second);
                } else {
                    quietUntil_ = std::max(quietUntil_, now + kQuietAfterRequestMs);
                    note(QStringLiteral("late reply lost: the port is closed"));
                }
                it = lateReplies_.erase(it);
            } else {
                ++it;
            }
        }
        fillRecords(now);
        writeOutput(now);

        // Without a PC side the master reports hang-up at once every time, so it stays out of
        // the poll set then and checkLine() looks at it between sleeps.
        pollfd fds[2] = {{wakeRead_, POLLIN, 0}, {-1, 0, 0}};
        if (pty_.isOpen() && lineUp_) {
            const bool writable = output_.writable(now, holdingRecords(now));
            fds[1] = {pty_.masterFd(), short(POLLIN | (writable ? POLLOUT : 0)), 0};
        }
        const int timeout = pollTimeout(now);
        Traces traces;
        traces.swap(traces_);
        lock.unlock();
        if (config_.trace) {
            for (const auto& [direction, bytes] : traces)
                config_.trace(direction, bytes);
        }
        ::poll(fds, 2, timeout);
        lock.lock();

        char sink[64];
        while (::read(wakeRead_, sink, sizeof sink) > 0) {
        }
        if (fds[1].fd >= 0 && fds[1].fd == pty_.masterFd() && lineUp_ &&
            (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            readInput(nowMs());
            // Reading normally ends in EIO once the last PC side has gone; this is for a pty
            // that says hang-up without it, which would otherwise wake us forever.
            if (lineUp_ && pty_.isOpen() && (fds[1].revents & POLLHUP))
                lineDown(nowMs());
        }
    }
    Traces traces;
    traces.swap(traces_);
    lock.unlock();
    if (config_.trace) {
        for (const auto& [direction, bytes] : traces)
            config_.trace(direction, bytes);
    }
}

int SimDevice::pollTimeout(qint64 now) const {
    const bool live = pty_.isOpen() && lineUp_;
    const bool holding = holdingRecords(now);
    if (live && !holding && !blocked_ && output_.recordBytes() < kLowWater &&
        (stream_.unthrottled() || !runs_.empty()))
        return 0;
    qint64 next = -1;
    const auto consider = [&](qint64 t) {
        if (t >= 0 && (next < 0 || t < next))
            next = t;
    };
    consider(stream_.nextDueMs()); // timed records fall due (and are dropped) even unheard
    if (live)
        consider(output_.resumeAtMs());
    if (pty_.isOpen() && !lineUp_)
        consider(nextLineCheck_);
    if (live && holding) {
        if (quietUntil_ > now)
            consider(quietUntil_);
        if (decoder_.inBlock() && blockStallAt_ > now)
            consider(blockStallAt_);
    }
    consider(reopenAt_);
    for (const auto& late : lateReplies_)
        consider(late.first);
    if (next < 0)
        return -1;
    return int(std::clamp<qint64>(next - now, 0, 60000));
}

bool SimDevice::doOpen(QString* error) {
    if (!pty_.open(error))
        return false;
    if (!link_.create(linkPath_, pty_.slavePath(), error)) {
        pty_.close();
        return false;
    }
    decoder_.reset();
    blocked_ = false;
    lineUp_ = false; // until a PC side opens the new port
    nextLineCheck_ = 0;
    quietUntil_ = blockStallAt_ = -1;
    ownDiscard_ = false;
    note(QStringLiteral("linked %1 -> %2").arg(linkPath_, pty_.slavePath()));
    return true;
}

void SimDevice::checkLine(qint64 now) {
    if (!pty_.isOpen() || lineUp_ || now < nextLineCheck_)
        return;
    nextLineCheck_ = now + kLineCheckMs;
    if (!pty_.peerOpen())
        return;
    lineUp_ = true;
    blocked_ = false;
    ++counters_.portOpens;
    note(QStringLiteral("port opened by the PC side"));
}

void SimDevice::lineDown(qint64 now) {
    lineUp_ = false;
    blocked_ = false;
    nextLineCheck_ = now + kLineCheckMs;
    const OutputQueue::Dropped dropped = output_.dropForClosedPort();
    counters_.recordsDropped += dropped.streamRecords;
    if (dropped.replies > 0)
        quietUntil_ = std::max(quietUntil_, now + kQuietAfterRequestMs);
    ownDiscard_ = pty_.discardUnread();
    note(QStringLiteral("port closed by the PC side"));
}

void SimDevice::pcSideDiscarded(qint64 now) {
    if (ownDiscard_) {
        ownDiscard_ = false;
        return;
    }
    quietUntil_ = std::max(quietUntil_, now + kQuietAfterDiscardMs);
    // What was written since the master was last seen quiet may have gone out just after the
    // discard, where the relay, already keeping quiet for RTS, would have sent nothing. It is
    // discarded again; if it went out before, it was gone anyway.
    if (unconfirmedWrite_) {
        unconfirmedWrite_ = false;
        ownDiscard_ = pty_.discardUnread();
    }
}

bool SimDevice::holdingRecords(qint64 now) const {
    return now < quietUntil_ || output_.replyPending() || !lateReplies_.empty() ||
           (decoder_.inBlock() && now < blockStallAt_);
}

void SimDevice::doHangUp(qint64 now) {
    link_.remove();
    pty_.close();
    lineUp_ = false;
    quietUntil_ = blockStallAt_ = -1;
    output_.clear();
    decoder_.reset();
    lateReplies_.clear();
    runs_.clear();
    hangupCountdown_ = -1;
    ++counters_.hangups;
    reopenAt_ = config_.reopenMs >= 0 ? now + config_.reopenMs : -1;
    note(reopenAt_ >= 0
             ? QStringLiteral("hung up, link removed; back in %1 ms").arg(config_.reopenMs)
             : QStringLiteral("hung up, link removed"));
}

void SimDevice::readInput(qint64 now) {
    char buf[4096];
    while (pty_.isOpen() && lineUp_) {
        const ssize_t n = ::read(pty_.masterFd(), buf, sizeof buf);
        if (n > 1 && buf[0] == TIOCPKT_DATA) {
            handleChunk(QByteArrayView(buf + 1, n - 1), now);
            continue;
        }
        if (n == 1) {
            if (buf[0] & TIOCPKT_FLUSHREAD)
                pcSideDiscarded(now);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            unconfirmedWrite_ = false;
            return;
        }
        // EIO once the last PC side has closed the port and what it sent has been read.
        if (n < 0 && errno != EIO)
            note(QStringLiteral("pty master read failed (%1)").arg(errno));
        lineDown(now);
        return;
    }
}

void SimDevice::handleChunk(QByteArrayView chunk, qint64 now) {
    QByteArrayView data = chunk;
    bool hangUpAfter = false;
    if (hangupCountdown_ >= 0) {
        if (data.size() >= hangupCountdown_) {
            data = data.first(hangupCountdown_);
            hangUpAfter = true;
        } else {
            hangupCountdown_ -= data.size();
        }
    }
    traces_.emplace_back(TraceDirection::Received, data.toByteArray());
    counters_.bytesReceived += data.size();
    received_.append(data);
    if (received_.size() > kReceivedLimit)
        received_.remove(0, received_.size() - kReceivedLimit);

    for (const RequestDecoder::Request& request : decoder_.feed(data)) {
        if (!pty_.isOpen())
            break; // hung up on a "*": the rest never reached the device
        // Covers a reply that never comes (silence) as well; one that does extends it.
        quietUntil_ = std::max(quietUntil_, now + kQuietAfterRequestMs);
        if (request.type == RequestDecoder::Request::Type::Read)
            answerRead(now);
        else
            storeBlock(request.block);
    }
    if (decoder_.inBlock())
        blockStallAt_ = now + kBlockStallMs;
    if (hangUpAfter && pty_.isOpen()) {
        config_.fault = {};
        drainOutput(now);
        doHangUp(now);
    }
}

void SimDevice::answerRead(qint64 now) {
    ++counters_.readRequests;
    const Fault fault = config_.fault;
    switch (fault.kind) {
    case FaultKind::Silence:
        return;
    case FaultKind::Hangup:
        if (fault.arg == 0) {
            config_.fault = {}; // a re-plugged device works again
            doHangUp(now);
            return;
        }
        break;
    case FaultKind::Late:
        lateReplies_.emplace_back(now + fault.arg,
                                  formatReply(config_.params, config_.reply, fault));
        return;
    case FaultKind::Garbage:
        output_.pushReply(randomBytes(fault.arg));
        return;
    default:
        break;
    }
    output_.pushReply(formatReply(config_.params, config_.reply, fault));
}

void SimDevice::storeBlock(const QByteArray& block) {
    std::optional<ParamSet> params = decodeWriteBlock(block);
    if (!params)
        return;
    ++counters_.writeBlocks;
    if (config_.fault.kind == FaultKind::StoreDifferent)
        params->numerators[0] = quint16(params->numerators[0] + 1);
    config_.params = *params;
    note(QStringLiteral("stored %1 sign=%2 output=%3")
             .arg(formatParamList(*params), QString::number(params->signMask),
                  QString::number(params->output)));
}

void SimDevice::fillRecords(qint64 now) {
    if (!pty_.isOpen() || !lineUp_ || holdingRecords(now)) {
        // Nobody listens, or the device is busy with a request: timed records falling due now
        // are lost (counted, never kept, whatever the rate), as-fast-as-possible ones are
        // simply not made, requested ones wait.
        qint64 lost = 0;
        stream_.take(now, 0, 0, &lost);
        counters_.recordsDropped += lost;
        return;
    }
    const auto push = [this](int channel, RecordOrigin origin = RecordOrigin::Stream) {
        return output_.pushRecord(formatRecord(channel, config_.records), 1,
                                  config_.records.splitMs, origin);
    };
    const int room = !blocked_ && output_.recordBytes() < kLowWater ? kUnthrottledBatch : 0;
    // Timed records beyond what the queue can hold are lost as on a full line.
    const qsizetype recordSize = formatRecord(kFirstChannel, config_.records).size();
    const int timedRoom =
        int(std::min<qsizetype>(output_.recordRoom() / recordSize, RecordScheduler::kTimedBatch));
    qint64 lost = 0;
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

void SimDevice::writeOutput(qint64 now) {
    if (!pty_.isOpen() || !lineUp_ || !output_.writable(now, holdingRecords(now)))
        return;
    // A request that came in since the last look stops records before they start, as the
    // relay hears the PC raise RTS; and a PC side that has gone is noticed before writing.
    readInput(now);
    drainOutput(now);
}

void SimDevice::drainOutput(qint64 now) {
    if (!pty_.isOpen() || !lineUp_)
        return;
    const int fd = pty_.masterFd();
    const OutputQueue::Progress progress = output_.drain(
        now, [fd](const char* data, qsizetype len) { return writeSome(fd, data, len); },
        holdingRecords(now));
    blocked_ = progress.blocked;
    counters_.recordsSent += progress.recordsCompleted;
    if (progress.repliesCompleted > 0)
        quietUntil_ = std::max(quietUntil_, now + kQuietAfterRequestMs);
    if (!progress.written.isEmpty()) {
        unconfirmedWrite_ = true;
        counters_.bytesSent += progress.written.size();
        traces_.emplace_back(TraceDirection::Sent, progress.written);
    }
}

} // namespace ktr6sim
