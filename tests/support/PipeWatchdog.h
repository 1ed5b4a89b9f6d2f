#pragma once
// A reader stuck on a named pipe is released after a while: the watchdog
// opens the pipe's writing end (which succeeds only while a reader waits)
// and closes it again, so the reader sees the end of the file. A test that
// would otherwise hang fails in seconds, and fired() says why.

#include <QFile>
#include <QString>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fcntl.h>
#include <mutex>
#include <thread>
#include <unistd.h>

class PipeWatchdog {
public:
    PipeWatchdog(const QString& path, std::chrono::milliseconds after)
        : path_(QFile::encodeName(path)), thread_([this, after] { run(after); }) {}
    ~PipeWatchdog() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    PipeWatchdog(const PipeWatchdog&) = delete;
    PipeWatchdog& operator=(const PipeWatchdog&) = delete;

    // True once a reader had to be released.
    bool fired() const { return fired_; }

private:
    void run(std::chrono::milliseconds after) {
        std::unique_lock lock(mutex_);
        if (wake_.wait_for(lock, after, [this] { return stop_; }))
            return;
        while (!stop_) {
            const int fd = ::open(path_.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd >= 0) {
                fired_ = true;
                ::close(fd);
            }
            wake_.wait_for(lock, std::chrono::milliseconds(50), [this] { return stop_; });
        }
    }

    QByteArray path_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::atomic<bool> fired_{false};
    std::thread thread_;
};
