#include "Pty.h"

#include <QFile>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace ktr6sim {

namespace {

bool fail(QString* error, const QString& what) {
    if (error)
        *error = QStringLiteral("%1: %2").arg(what, QString::fromLocal8Bit(std::strerror(errno)));
    return false;
}

} // namespace

PtyPair::~PtyPair() {
    close();
}

bool PtyPair::open(QString* error) {
    close();
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0)
        return fail(error, QStringLiteral("posix_openpt"));
    // ptsname_r: several simulators may open ptys from different threads at once.
    char name[256];
    if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
        ::ptsname_r(master_, name, sizeof name) != 0) {
        fail(error, QStringLiteral("preparing the pty"));
        close();
        return false;
    }
    slavePath_ = QString::fromLocal8Bit(name);
    // The slave is opened once to make it raw (the PC side must see the relay's bytes untouched,
    // with no echo); the setting stays with the pty for every later opener. Closing it again
    // also marks the master hung up until a PC side opens the port.
    const int slave = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios tio{};
    if (slave < 0 || ::tcgetattr(slave, &tio) != 0) {
        fail(error, QStringLiteral("opening %1").arg(slavePath_));
        if (slave >= 0)
            ::close(slave);
        close();
        return false;
    }
    ::cfmakeraw(&tio);
    ::cfsetispeed(&tio, B9600);
    ::cfsetospeed(&tio, B9600);
    tio.c_cflag |= CLOCAL | CREAD;
    const bool raw = ::tcsetattr(slave, TCSANOW, &tio) == 0;
    ::close(slave);
    // Packet mode: besides the PC side's bytes, the master then reports when the PC side
    // discards its input, which it does just before each request.
    int packet = 1;
    const int flags = ::fcntl(master_, F_GETFL);
    if (!raw || ::fcntl(master_, F_SETFL, flags | O_NONBLOCK) != 0 ||
        ::ioctl(master_, TIOCPKT, &packet) != 0) {
        fail(error, QStringLiteral("setting up %1").arg(slavePath_));
        close();
        return false;
    }
    return true;
}

void PtyPair::close() {
    if (master_ >= 0)
        ::close(master_);
    master_ = -1;
    slavePath_.clear();
}

bool PtyPair::peerOpen() const {
    if (master_ < 0)
        return false;
    // Hang-up is reported whatever events are asked for, so none are.
    pollfd pfd{master_, 0, 0};
    return ::poll(&pfd, 1, 0) >= 0 && !(pfd.revents & POLLHUP);
}

bool PtyPair::discardUnread() {
    if (master_ < 0)
        return false;
    // A port left locked for exclusive use (TIOCEXCL) keeps us out unless we run as root; the
    // bytes then stay, which is all that is lost. Returns whether it discarded.
    const int slave = ::open(QFile::encodeName(slavePath_).constData(),
                             O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave < 0)
        return false;
    const bool flushed = ::tcflush(slave, TCIFLUSH) == 0;
    ::close(slave);
    return flushed;
}

DeviceLink::~DeviceLink() {
    remove();
}

bool DeviceLink::create(const QString& linkPath, const QString& target, QString* error) {
    remove();
    const QByteArray link = QFile::encodeName(linkPath);
    struct stat st {};
    if (::lstat(link.constData(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        if (error)
            *error =
                QStringLiteral("%1 exists and is not a symlink; not replacing it").arg(linkPath);
        return false;
    }
    // Made under a temporary name and renamed over the old one, so the name never dangles
    // into nothing while a PC side might be looking.
    const QByteArray temp = link + ".tmp" + QByteArray::number(::getpid());
    ::unlink(temp.constData());
    if (::symlink(QFile::encodeName(target).constData(), temp.constData()) != 0)
        return fail(error, QStringLiteral("creating %1").arg(QString::fromLocal8Bit(temp)));
    if (::rename(temp.constData(), link.constData()) != 0) {
        fail(error, QStringLiteral("renaming to %1").arg(linkPath));
        ::unlink(temp.constData());
        return false;
    }
    path_ = linkPath;
    target_ = target;
    return true;
}

void DeviceLink::remove() {
    if (path_.isEmpty())
        return;
    const QByteArray link = QFile::encodeName(path_);
    char buf[4096];
    const ssize_t len = ::readlink(link.constData(), buf, sizeof buf);
    if (len > 0 && QByteArray(buf, len) == QFile::encodeName(target_))
        ::unlink(link.constData());
    path_.clear();
    target_.clear();
}

} // namespace ktr6sim
