#pragma once

#include <QString>

namespace ktr6sim {

// The device end of a pseudo-terminal. The slave is put in raw mode (the PC side must see the
// relay's bytes untouched, with no echo) and a slave descriptor stays open here, so that the
// master never reads EIO or hang-up while the PC side has its port closed between transactions.
class PtyPair {
public:
    PtyPair() = default;
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool open(QString* error = nullptr);
    void close();
    bool isOpen() const { return master_ >= 0; }
    int masterFd() const { return master_; } // non-blocking
    QString slavePath() const { return slavePath_; }

private:
    int master_ = -1;
    int keepAlive_ = -1;
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
