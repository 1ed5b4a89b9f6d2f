#include "RecordFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace recordfiles {

namespace {

QString systemError(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

QString folderOf(const QString& path) {
    return QFileInfo(path).absolutePath();
}

// A read-write file the account's umask allows, as any new file it makes
// (mkstemp makes 0600, which would hide the record from the group).
void giveUsualMode(int fd) {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
}

bool writeAll(int fd, const QByteArray& bytes) {
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            return false;
        }
        done += n;
    }
    return true;
}

// The folder's own entry for a new name reaches the disk too.
void syncFolder(const QString& folder) {
    const int fd =
        ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

// Gives temp the name path unless path exists: EEXIST then.
int placeWithoutReplacing(const QByteArray& temp, const QByteArray& path) {
    if (::renameat2(AT_FDCWD, temp.constData(), AT_FDCWD, path.constData(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
        return errno;
    // A file system without the flag: a hard link fails the same way on an
    // existing name; the temporary name is removed afterwards.
    if (::link(temp.constData(), path.constData()) != 0)
        return errno;
    ::unlink(temp.constData());
    return 0;
}

} // namespace

bool canCreate(const QString& path, QString* error) {
    struct stat entry {};
    if (::lstat(QFile::encodeName(path).constData(), &entry) == 0) {
        *error = QStringLiteral("%1 already exists, and a record never replaces a file")
                     .arg(QDir::toNativeSeparators(path));
        return false;
    }
    const QString folder = folderOf(path);
    QByteArray probe = QFile::encodeName(folder + QStringLiteral("/.ktr6-probe-XXXXXX"));
    const int fd = ::mkstemp(probe.data());
    if (fd < 0) {
        *error = QStringLiteral("cannot create a file in %1: %2")
                     .arg(QDir::toNativeSeparators(folder), systemError(errno));
        return false;
    }
    ::close(fd);
    ::unlink(probe.constData());
    return true;
}

Placed writeNewFile(const QString& path, const QByteArray& bytes, QString* error) {
    const QFileInfo info(path);
    const QString shown = QDir::toNativeSeparators(path);
    QByteArray temp =
        QFile::encodeName(info.absolutePath() + QStringLiteral("/.") + info.fileName()) +
        ".XXXXXX.part";
    const int fd = ::mkstemps(temp.data(), 5);
    if (fd < 0) {
        *error =
            QStringLiteral("cannot create a file beside %1: %2").arg(shown, systemError(errno));
        return Placed::Failed;
    }
    giveUsualMode(fd);
    const bool written = writeAll(fd, bytes) && ::fsync(fd) == 0;
    const int writeError = errno;
    if (::close(fd) != 0 || !written) {
        *error = QStringLiteral("cannot write %1: %2")
                     .arg(shown, systemError(written ? errno : writeError));
        ::unlink(temp.constData());
        return Placed::Failed;
    }
    const int placed = placeWithoutReplacing(temp, QFile::encodeName(path));
    if (placed != 0) {
        ::unlink(temp.constData());
        if (placed == EEXIST) {
            *error = QStringLiteral("%1 appeared while the run went on; it was left as it is")
                         .arg(shown);
            return Placed::Exists;
        }
        *error = QStringLiteral("cannot name the file %1: %2").arg(shown, systemError(placed));
        return Placed::Failed;
    }
    syncFolder(info.absolutePath());
    return Placed::Written;
}

Journal::~Journal() {
    if (fd_ >= 0)
        ::close(fd_);
}

bool Journal::open(const QString& path, QString* error) {
    path_ = path;
    fd_ =
        ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd_ < 0) {
        *error = QStringLiteral("cannot open the journal %1: %2").arg(path_, systemError(errno));
        return false;
    }
    struct stat info {};
    if (::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) {
        *error = QStringLiteral("the journal %1 is not a regular file").arg(path_);
        ::close(fd_);
        fd_ = -1;
        return false;
    }
    return true;
}

bool Journal::append(const QByteArray& line, QString* error) {
    while (::flock(fd_, LOCK_EX) != 0) {
        if (errno != EINTR) {
            *error =
                QStringLiteral("cannot lock the journal %1: %2").arg(path_, systemError(errno));
            return false;
        }
    }
    QByteArray entry = line + '\n';
    struct stat info {};
    char last = '\n';
    if (::fstat(fd_, &info) == 0 && info.st_size > 0 &&
        ::pread(fd_, &last, 1, info.st_size - 1) == 1 && last != '\n')
        entry.prepend('\n');
    // One write: a second writer, under the same lock, never lands inside it.
    const ssize_t n = ::write(fd_, entry.constData(), size_t(entry.size()));
    const int writeError = n < 0 ? errno : ENOSPC;
    bool ok = n == entry.size();
    if (!ok)
        *error = QStringLiteral("cannot write to the journal %1: %2")
                     .arg(path_, systemError(writeError));
    else if (::fsync(fd_) != 0) {
        *error =
            QStringLiteral("cannot write to the journal %1: %2").arg(path_, systemError(errno));
        ok = false;
    }
    ::flock(fd_, LOCK_UN);
    if (ok)
        syncFolder(folderOf(path_));
    return ok;
}

} // namespace recordfiles
