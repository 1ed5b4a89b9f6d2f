#pragma once

#include "PtyLine.h"
#include "RelayModel.h"
#include "SimSettings.h"
#include "Trace.h"

#include <QString>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

namespace ktr6sim {

// The simulated relay's I/O thread: it sleeps in poll until the PC side writes, the relay model
// or the line has something due, or a caller wakes it; then it lets the line and the model do
// their part. The model and the line are only touched under the loop's lock, and the fds only
// on its thread.
class SimIoLoop {
public:
    using TraceSink = std::function<void(TraceDirection, QByteArrayView)>;

    // trace is called on the I/O thread, outside the lock.
    SimIoLoop(SimSettings& settings, TraceSink trace);
    ~SimIoLoop();
    SimIoLoop(const SimIoLoop&) = delete;
    SimIoLoop& operator=(const SimIoLoop&) = delete;

    // Opens the pty, links linkPath to it and starts the I/O thread.
    bool start(const QString& linkPath, QString* error);
    void stop();
    bool isRunning() const;
    bool isConnected() const;
    bool pcSideOpen() const;
    QString linkPath() const;
    QString slavePath() const;
    // Unplugs now; back after the reopen time.
    void hangUp();
    // Comes back now on a new pty.
    bool replug(QString* error);

    // Runs f(model, now) under the lock and returns what it returns.
    template <typename F> auto withModel(F&& f) {
        std::lock_guard lock(mutex_);
        return f(model_, nowMs());
    }
    template <typename F> auto withModel(F&& f) const {
        std::lock_guard lock(mutex_);
        return f(std::as_const(model_), nowMs());
    }
    // As withModel; when f returns true, the I/O thread looks at the model again at once.
    template <typename F> void changeModel(F&& f) {
        std::lock_guard lock(mutex_);
        if (f(model_, nowMs()))
            wake();
    }

private:
    void run();
    qint64 nowMs() const;
    // The members below are called with mutex_ held.
    void wake();
    void runTasks();
    // Runs task on the I/O thread and waits for it, so that only that thread touches the fds.
    void runOnIoThread(const std::function<void()>& task);
    void passTraces(std::unique_lock<std::mutex>& lock);
    void waitForEvents(std::unique_lock<std::mutex>& lock, qint64 now);
    int pollTimeout(qint64 now) const;

    const TraceSink trace_;
    const std::chrono::steady_clock::time_point epoch_;

    mutable std::mutex mutex_;
    std::condition_variable taskDone_;
    std::thread thread_;
    std::thread::id ioThread_; // thread_ itself is not read while stop() may be joining it
    bool running_ = false;
    bool stopping_ = false;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    std::deque<std::function<void()>> tasks_;
    qint64 tasksDone_ = 0;
    qint64 tasksPosted_ = 0;

    TraceLog traces_;
    RelayModel model_;
    PtyLine line_;
};

} // namespace ktr6sim
