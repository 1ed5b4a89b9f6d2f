#pragma once

// The PC end of the simulator's pty, opened through its link with plain POSIX calls the way a
// serial port is: raw, non-blocking, input flushed before each request.

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QString>
#include <QThread>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

class PcPort {
public:
    PcPort() = default;
    ~PcPort() { close(); }
    PcPort(const PcPort&) = delete;
    PcPort& operator=(const PcPort&) = delete;

    bool open(const QString& path) {
        close();
        fd_ = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd_ < 0)
            return false;
        termios tio{};
        ::tcgetattr(fd_, &tio);
        ::cfmakeraw(&tio);
        ::cfsetspeed(&tio, B9600);
        ::tcsetattr(fd_, TCSANOW, &tio);
        return true;
    }

    void close() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

    void flushInput() { ::tcflush(fd_, TCIFLUSH); }

    bool write(const QByteArray& bytes) {
        return ::write(fd_, bytes.constData(), size_t(bytes.size())) == bytes.size();
    }

    // Writes one octet at a time, gapMs apart, as the PC side sends a parameter block.
    bool writeSlowly(const QByteArray& bytes, int gapMs) {
        for (char c : bytes) {
            if (!write(QByteArray(1, c)))
                return false;
            QThread::msleep(gapMs);
        }
        return true;
    }

    // Everything that arrives within ms.
    QByteArray readFor(int ms) {
        return readUntil(ms, [](const QByteArray&) { return false; });
    }

    // Reads until done(data) holds or ms pass.
    template <typename Done> QByteArray readUntil(int ms, Done done) {
        QByteArray data;
        QElapsedTimer timer;
        timer.start();
        while (!done(data)) {
            const qint64 left = ms - timer.elapsed();
            if (left <= 0)
                break;
            pollfd pfd{fd_, POLLIN, 0};
            if (::poll(&pfd, 1, int(left)) <= 0)
                continue;
            if (pfd.revents & (POLLHUP | POLLERR)) {
                hungUp_ = true;
                break;
            }
            char buf[4096];
            const ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n > 0)
                data.append(buf, n);
            else if (n == 0 || errno != EAGAIN) {
                hungUp_ = true;
                break;
            }
        }
        return data;
    }

    // True once the far end has gone: poll reports hang-up or read fails for good.
    bool hungUp() {
        readFor(0);
        pollfd pfd{fd_, POLLIN, 0};
        if (::poll(&pfd, 1, 0) > 0 && (pfd.revents & (POLLHUP | POLLERR)))
            hungUp_ = true;
        return hungUp_;
    }

private:
    int fd_ = -1;
    bool hungUp_ = false;
};
