#pragma once

#include <QString>

namespace ktr6sim {

// The device end of a pseudo-terminal. Only the PC side holds the slave open: the master then
// reports hang-up exactly while no PC side has the port open, which is how the device learns
// that nobody listens, as a UART whose far end is closed drops what it is sent.
class PtyPair {
public:
    PtyPair() = default;
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool open(QString* error = nullptr);
    void close();
    bool isOpen() const { return master_ >= 0; }
    // Non-blocking, in packet mode: each read returns either TIOCPKT_DATA and bytes from the PC
    // side, or a single status byte (TIOCPKT_FLUSHREAD: the PC side discarded its input).
    int masterFd() const { return master_; }
    QString slavePath() const { return slavePath_; }

    // True while some PC side has the slave open. Cheap: one poll that does not wait.
    bool peerOpen() const;
    // Throws away what was written to the PC side and never read, as a serial driver does when
    // its port is closed; otherwise the next opener would get it. The master then reports a
    // discard, which is ours and not the PC side's.
    bool discardUnread();

private:
    int master_ = -1;
    QString slavePath_;
};

// The comN symlink through which the PC side finds the pty.
class DeviceLink {
public:
    DeviceLink() = default;
    ~DeviceLink();
    DeviceLink(const DeviceLink&) = delete;
    DeviceLink& operator=(const DeviceLink&) = delete;

    // Points linkPath at target, replacing an old symlink of that name (left behind by a
    // simulator that was killed) but never a real file.
    bool create(const QString& linkPath, const QString& target, QString* error = nullptr);
    // Removes the link if it still points where we made it point: another simulator may have
    // taken the name over since.
    void remove();
    QString path() const { return path_; }

private:
    QString path_;
    QString target_;
};

} // namespace ktr6sim
