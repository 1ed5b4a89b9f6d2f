#include "DurableFile.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

DurableFile::SystemCalls::SystemCalls()
    : open([](const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }),
      close([](int fd) { return ::close(fd); }),
      write([](int fd, const void* data, size_t size) { return ::write(fd, data, size); }),
      pread([](int fd, void* data, size_t size, off_t at) { return ::pread(fd, data, size, at); }),
      stat([](const char* path, struct stat* st, int flags) {
          return ::fstatat(AT_FDCWD, path, st, flags);
      }),
      fstat([](int fd, struct stat* st) { return ::fstat(fd, st); }),
      ftruncate([](int fd, off_t size) { return ::ftruncate(fd, size); }),
      fsync([](int fd) { return ::fsync(fd); }),
      fchown([](int fd, uid_t owner, gid_t group) { return ::fchown(fd, owner, group); }),
      fchmod([](int fd, mode_t mode) { return ::fchmod(fd, mode); }),
      rename([](const char* from, const char* to, unsigned flags) {
          return ::renameat2(AT_FDCWD, from, AT_FDCWD, to, flags);
      }),
      link([](const char* from, const char* to) { return ::link(from, to); }),
      unlink([](const char* path) { return ::unlink(path); }),
      flock([](int fd, int operation) { return ::flock(fd, operation); }) {}

namespace {

using Outcome = DurableFile::Outcome;
using Result = DurableFile::Result;
using Step = DurableFile::Step;

const DurableFile::SystemCalls& sys() {
    static const DurableFile::SystemCalls system;
    return DurableFile::systemCallsForTests ? *DurableFile::systemCallsForTests : system;
}

Result failure(Outcome outcome, Step step, int error, bool inPlace = false) {
    return {outcome, step, error, inPlace};
}

QByteArray folderOf(const QString& path) {
    return QFile::encodeName(QFileInfo(path).absolutePath());
}

// Writes all of bytes from where the file stands; returns how many were
// written before an error (errno then says which).
qsizetype writeAll(int fd, const QByteArray& bytes) {
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = sys().write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            break;
        }
        done += n;
    }
    return done;
}

// The folder's own entry for a new name reaches the disk too.
void syncFolder(const QByteArray& folder) {
    const int fd = sys().open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (fd < 0)
        return;
    sys().fsync(fd);
    sys().close(fd);
}

struct Temp {
    QByteArray name;
    int fd = -1;
};

// A new file ".NAME.XXXXXX.part" beside path, open for writing; fd is -1
// when none could be made (errno says why).
Temp makeTemp(const QString& path, mode_t mode) {
    static const char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    const QFileInfo info(path);
    const QByteArray stem =
        QFile::encodeName(info.absolutePath() + QStringLiteral("/.") + info.fileName()) + '.';
    Temp temp;
    for (int attempt = 0; attempt < 16; ++attempt) {
        temp.name = stem;
        for (int i = 0; i < 6; ++i)
            temp.name += kLetters[QRandomGenerator::global()->bounded(int(sizeof kLetters - 1))];
        temp.name += ".part";
        temp.fd = sys().open(temp.name.constData(),
                             O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (temp.fd >= 0 || errno != EEXIST)
            break;
    }
    return temp;
}

// Closes and removes the temporary file; errno stays that of the failure.
void discard(const Temp& temp) {
    const int error = errno;
    if (temp.fd >= 0)
        sys().close(temp.fd);
    sys().unlink(temp.name.constData());
    errno = error;
}

// Writes bytes to the temporary file, flushes and closes it; a temporary
// file that could not be filled is removed.
Result fill(Temp& temp, const QByteArray& bytes) {
    Step failed = Step::None;
    if (writeAll(temp.fd, bytes) != bytes.size())
        failed = Step::Write;
    else if (sys().fsync(temp.fd) != 0)
        failed = Step::Sync;
    if (failed != Step::None) {
        discard(temp);
        return failure(Outcome::Unchanged, failed, errno);
    }
    const int closed = sys().close(temp.fd);
    temp.fd = -1;
    if (closed != 0) {
        discard(temp);
        return failure(Outcome::Unchanged, Step::Close, errno);
    }
    return {};
}

// Gives the temporary file the name path unless path exists (EEXIST then);
// returns 0 or the error.
int nameWithoutReplacing(const QByteArray& temp, const QByteArray& path) {
    if (sys().rename(temp.constData(), path.constData(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
        return errno;
    // A file system without the flag: a hard link fails the same way on an
    // existing name; the temporary name is removed afterwards.
    if (sys().link(temp.constData(), path.constData()) != 0)
        return errno;
    sys().unlink(temp.constData());
    return 0;
}

// Whether the new file fd has old's owner, group and mode, given them where
// the account may.
bool keepsOwnerGroupMode(int fd, const struct stat& old) {
    struct stat made {};
    const mode_t mode = old.st_mode & 07777;
    return sys().fstat(fd, &made) == 0 &&
           ((made.st_uid == old.st_uid && made.st_gid == old.st_gid) ||
            sys().fchown(fd, old.st_uid, old.st_gid) == 0) &&
           sys().fchmod(fd, mode) == 0 && sys().fstat(fd, &made) == 0 &&
           made.st_uid == old.st_uid && made.st_gid == old.st_gid && (made.st_mode & 07777) == mode;
}

// Writes a new file beside path and renames it over path. old is the file
// being replaced (null for a new one): the new file must get its owner,
// group and mode, or the save is left to the in-place rewrite (*fallBack).
Result replaceAtomically(const QString& path, const struct stat* old, const QByteArray& bytes,
                         bool* fallBack) {
    // The file replaced is no one else's to read before it has its mode.
    Temp temp = makeTemp(path, old ? 0600 : 0666);
    if (temp.fd < 0) {
        *fallBack = old != nullptr;
        return failure(Outcome::Unchanged, Step::Temp, errno);
    }
    if (old && !keepsOwnerGroupMode(temp.fd, *old)) {
        discard(temp);
        *fallBack = true;
        return failure(Outcome::Unchanged, Step::Keep, errno);
    }
    if (const Result filled = fill(temp, bytes); !filled.done())
        return filled;
    if (sys().rename(temp.name.constData(), QFile::encodeName(path).constData(), 0) != 0) {
        discard(temp);
        return failure(Outcome::Unchanged, Step::Name, errno);
    }
    syncFolder(folderOf(path));
    return {};
}

// Rewrites the file where it stands: owner, group, mode and links stay as
// they are. Nothing is cut before the new text is in.
Result rewriteInPlace(const QByteArray& path, const QByteArray& bytes) {
    const int fd = sys().open(path.constData(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0);
    if (fd < 0)
        return failure(Outcome::Unchanged, Step::Open, errno, true);
    struct stat st {};
    if (sys().fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        sys().close(fd);
        return failure(Outcome::NotAFile, Step::Open, 0, true);
    }
    Result result{Outcome::Done, Step::None, 0, true};
    const qsizetype written = writeAll(fd, bytes);
    if (written != bytes.size())
        result = failure(written > 0 ? Outcome::Damaged : Outcome::Unchanged, Step::Write, errno);
    else if (sys().ftruncate(fd, off_t(bytes.size())) != 0)
        result = failure(Outcome::Damaged, Step::Truncate, errno);
    else if (sys().fsync(fd) != 0)
        result = failure(Outcome::Damaged, Step::Sync, errno);
    result.inPlace = true;
    if (sys().close(fd) != 0 && result.done())
        result = failure(Outcome::Damaged, Step::Close, errno, true);
    return result;
}

} // namespace

DurableFile::Result DurableFile::create(const QString& path, const QByteArray& bytes) {
    Temp temp = makeTemp(path, 0666);
    if (temp.fd < 0)
        return failure(Outcome::Unchanged, Step::Temp, errno);
    if (const Result filled = fill(temp, bytes); !filled.done())
        return filled;
    if (const int error = nameWithoutReplacing(temp.name, QFile::encodeName(path)); error != 0) {
        sys().unlink(temp.name.constData());
        return failure(error == EEXIST ? Outcome::Exists : Outcome::Unchanged, Step::Name, error);
    }
    syncFolder(folderOf(path));
    return {};
}

qsizetype DurableFile::nameLimit(const QString& path) {
    const long limit = ::pathconf(folderOf(path).constData(), _PC_NAME_MAX);
    return limit > 0 ? qsizetype(limit) : qsizetype(NAME_MAX);
}

qsizetype DurableFile::temporaryNameBytes(const QString& path) {
    constexpr qsizetype kAround = 13; // "." before the name, ".XXXXXX.part" after it
    return QFile::encodeName(QFileInfo(path).fileName()).size() + kAround;
}

DurableFile::Result DurableFile::canCreate(const QString& path) {
    struct stat entry {};
    if (sys().stat(QFile::encodeName(path).constData(), &entry, AT_SYMLINK_NOFOLLOW) == 0)
        return failure(Outcome::Exists, Step::Look, EEXIST);
    // A name that fits while its temporary one does not would fail only
    // once the file is written.
    if (temporaryNameBytes(path) > nameLimit(path))
        return failure(Outcome::Unchanged, Step::Temp, ENAMETOOLONG);
    const Temp probe = makeTemp(path, 0600);
    if (probe.fd < 0)
        return failure(Outcome::Unchanged, Step::Temp, errno);
    discard(probe);
    return {};
}

DurableFile::Result DurableFile::replace(const QString& path, const QByteArray& bytes) {
    const QByteArray name = QFile::encodeName(path);
    struct stat old {};
    bool fallBack = false;
    if (sys().stat(name.constData(), &old, 0) != 0) {
        if (errno != ENOENT)
            return failure(Outcome::Unchanged, Step::Look, errno);
        return replaceAtomically(path, nullptr, bytes, &fallBack);
    }
    if (!S_ISREG(old.st_mode))
        return failure(Outcome::NotAFile, Step::Look, 0);
    if (old.st_nlink == 1) {
        const Result atomic = replaceAtomically(path, &old, bytes, &fallBack);
        if (!fallBack)
            return atomic;
    }
    return rewriteInPlace(name, bytes);
}

DurableLog::~DurableLog() {
    if (fd_ >= 0)
        sys().close(fd_);
}

DurableFile::Result DurableLog::open(const QString& path) {
    if (fd_ >= 0)
        sys().close(fd_);
    folder_ = folderOf(path);
    fd_ = sys().open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC,
                     0666);
    if (fd_ < 0)
        return failure(Outcome::Unchanged, Step::Open, errno);
    struct stat info {};
    if (sys().fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) {
        sys().close(fd_);
        fd_ = -1;
        return failure(Outcome::NotAFile, Step::Open, 0);
    }
    return {};
}

DurableFile::Result DurableLog::append(const QByteArray& line) {
    while (sys().flock(fd_, LOCK_EX) != 0) {
        if (errno != EINTR)
            return failure(Outcome::Unchanged, Step::Lock, errno);
    }
    QByteArray entry = line + '\n';
    struct stat info {};
    char last = '\n';
    if (sys().fstat(fd_, &info) == 0 && info.st_size > 0 &&
        sys().pread(fd_, &last, 1, info.st_size - 1) == 1 && last != '\n')
        entry.prepend('\n');
    // One write: a second writer, under the same lock, never lands inside it.
    const ssize_t n = sys().write(fd_, entry.constData(), size_t(entry.size()));
    Result result;
    if (n != entry.size())
        result = failure(n > 0 ? Outcome::Damaged : Outcome::Unchanged, Step::Write,
                         n < 0 ? errno : ENOSPC);
    else if (sys().fsync(fd_) != 0)
        result = failure(Outcome::Damaged, Step::Sync, errno);
    sys().flock(fd_, LOCK_UN);
    if (result.done())
        syncFolder(folder_);
    return result;
}
