#include "SimIoLoop.h"

#include <algorithm>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace ktr6sim {

SimIoLoop::SimIoLoop(SimSettings& settings, TraceSink trace)
    : trace_(std::move(trace)), epoch_(std::chrono::steady_clock::now()), model_(settings, traces_),
      line_(settings, model_, traces_) {}

SimIoLoop::~SimIoLoop() {
    stop();
}

qint64 SimIoLoop::nowMs() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 epoch_)
        .count();
}

bool SimIoLoop::start(const QString& linkPath, QString* error) {
    std::lock_guard lock(mutex_);
    if (running_) {
        if (error)
            *error = QStringLiteral("already running");
        return false;
    }
    line_.setLinkPath(linkPath);
    int fds[2];
    if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) {
        if (error)
            *error = QStringLiteral("cannot create the wake-up pipe");
        return false;
    }
    if (!line_.plugIn(error)) {
        ::close(fds[0]);
        ::close(fds[1]);
        return false;
    }
    wakeRead_ = fds[0];
    wakeWrite_ = fds[1];
    stopping_ = false;
    running_ = true;
    thread_ = std::thread(&SimIoLoop::run, this);
    ioThread_ = thread_.get_id();
    return true;
}

void SimIoLoop::stop() {
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
    line_.close();
    ::close(wakeRead_);
    ::close(wakeWrite_);
    wakeRead_ = wakeWrite_ = -1;
    tasks_.clear();
    tasksDone_ = tasksPosted_;
    taskDone_.notify_all();
}

bool SimIoLoop::isRunning() const {
    std::lock_guard lock(mutex_);
    return running_ && !stopping_;
}

bool SimIoLoop::isConnected() const {
    std::lock_guard lock(mutex_);
    return line_.isOpen();
}

bool SimIoLoop::pcSideOpen() const {
    std::lock_guard lock(mutex_);
    return line_.pcSideOpen();
}

QString SimIoLoop::linkPath() const {
    std::lock_guard lock(mutex_);
    return line_.linkPath();
}

QString SimIoLoop::slavePath() const {
    std::lock_guard lock(mutex_);
    return line_.slavePath();
}

void SimIoLoop::hangUp() {
    runOnIoThread([this] {
        if (line_.isOpen())
            line_.hangUp(nowMs());
    });
}

bool SimIoLoop::replug(QString* error) {
    bool ok = false;
    runOnIoThread([&] { ok = line_.replug(nowMs(), error); });
    return ok;
}

void SimIoLoop::wake() {
    // A full pipe already holds a wake-up, so a failed write loses nothing.
    if (wakeWrite_ >= 0 && ::write(wakeWrite_, "w", 1) < 0) {
    }
}

void SimIoLoop::runOnIoThread(const std::function<void()>& task) {
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

void SimIoLoop::runTasks() {
    while (!tasks_.empty()) {
        const auto task = std::move(tasks_.front());
        tasks_.pop_front();
        task();
        ++tasksDone_;
    }
    taskDone_.notify_all();
}

void SimIoLoop::run() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        const qint64 now = nowMs();
        runTasks();
        line_.look(now);
        model_.advance(now);
        line_.writeOutput(now);
        waitForEvents(lock, now);
    }
    passTraces(lock);
}

// Hands what was traced to the sink outside the lock, which it leaves unlocked.
void SimIoLoop::passTraces(std::unique_lock<std::mutex>& lock) {
    const TraceLog::Entries traces = traces_.take();
    lock.unlock();
    if (trace_) {
        for (const auto& [direction, bytes] : traces)
            trace_(direction, bytes);
    }
}

void SimIoLoop::waitForEvents(std::unique_lock<std::mutex>& lock, qint64 now) {
    pollfd fds[2] = {{wakeRead_, POLLIN, 0}, line_.pollRequest(now)};
    const int timeout = pollTimeout(now);
    passTraces(lock);
    ::poll(fds, 2, timeout);
    lock.lock();

    char sink[64];
    while (::read(wakeRead_, sink, sizeof sink) > 0) {
    }
    line_.serve(fds[1], nowMs());
}

int SimIoLoop::pollTimeout(qint64 now) const {
    qint64 next = model_.nextEventMs(now);
    const qint64 line = line_.nextEventMs();
    if (line >= 0 && (next < 0 || line < next))
        next = line;
    if (next < 0)
        return -1;
    return int(std::clamp<qint64>(next - now, 0, 60000));
}

} // namespace ktr6sim
