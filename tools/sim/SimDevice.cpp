#include "SimDevice.h"

#include <QDir>
#include <QRandomGenerator>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
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
        for (auto it = lateReplies_.begin(); it != lateReplies_.end();) {
            if (it->first <= now) {
                output_.pushReply(it->second);
                it = lateReplies_.erase(it);
            } else {
                ++it;
            }
        }
        fillRecords(now);
        writeOutput(now);

        pollfd fds[2] = {{wakeRead_, POLLIN, 0}, {-1, 0, 0}};
        if (pty_.isOpen())
            fds[1] = {pty_.masterFd(), short(POLLIN | (output_.writable(now) ? POLLOUT : 0)), 0};
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
        if (fds[1].fd >= 0 && fds[1].fd == pty_.masterFd() &&
            (fds[1].revents & (POLLIN | POLLHUP | POLLERR)))
            readInput(nowMs());
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
    if (pty_.isOpen() && !blocked_ && output_.recordBytes() < kLowWater &&
        (stream_.unthrottled() || !runs_.empty()))
        return 0;
    qint64 next = -1;
    const auto consider = [&](qint64 t) {
        if (t >= 0 && (next < 0 || t < next))
            next = t;
    };
    consider(stream_.nextDueMs());
    consider(output_.resumeAtMs());
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
    note(QStringLiteral("linked %1 -> %2").arg(linkPath_, pty_.slavePath()));
    return true;
}

void SimDevice::doHangUp(qint64 now) {
    link_.remove();
    pty_.close();
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
    while (pty_.isOpen()) {
        const ssize_t n = ::read(pty_.masterFd(), buf, sizeof buf);
        if (n > 0) {
            handleChunk(QByteArrayView(buf, n), now);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        // Cannot happen while the slave stays open here; hang up rather than spin on it.
        note(QStringLiteral("pty master read failed (%1)").arg(n < 0 ? errno : 0));
        doHangUp(now);
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
        if (request.type == RequestDecoder::Request::Type::Read)
            answerRead(now);
        else
            storeBlock(request.block);
    }
    if (hangUpAfter && pty_.isOpen()) {
        config_.fault = {};
        writeOutput(now);
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
             .arg(formatParamList(*params))
             .arg(params->signMask)
             .arg(params->output));
}

void SimDevice::fillRecords(qint64 now) {
    if (!pty_.isOpen()) {
        counters_.recordsDropped += stream_.take(now, 0).size();
        return;
    }
    const auto push = [this](int channel) {
        return output_.pushRecord(formatRecord(channel, config_.records), 1,
                                  config_.records.splitMs);
    };
    const int room = !blocked_ && output_.recordBytes() < kLowWater ? kUnthrottledBatch : 0;
    for (int channel : stream_.take(now, room)) {
        if (!push(channel))
            ++counters_.recordsDropped;
    }
    while (!runs_.empty() && output_.recordBytes() < kLowWater) {
        RecordRun& run = runs_.front();
        push(run.pattern[run.next++ % run.pattern.size()] - '0');
        if (--run.remaining == 0)
            runs_.pop_front();
    }
}

void SimDevice::writeOutput(qint64 now) {
    if (!pty_.isOpen())
        return;
    const int fd = pty_.masterFd();
    const OutputQueue::Progress progress = output_.drain(
        now, [fd](const char* data, qsizetype len) { return writeSome(fd, data, len); });
    blocked_ = progress.blocked;
    counters_.recordsSent += progress.recordsCompleted;
    if (!progress.written.isEmpty()) {
        counters_.bytesSent += progress.written.size();
        traces_.emplace_back(TraceDirection::Sent, progress.written);
    }
}

} // namespace ktr6sim
