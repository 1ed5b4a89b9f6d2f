#pragma once
// The one durable write. A file is made whole under a temporary name beside
// its final one (".NAME.XXXXXX.part"), flushed to the disk, then given that
// name, and the folder is flushed after it: a kill at any moment leaves the
// old file or the whole new one at the name, never a half one (it may leave
// the temporary file behind). Two ways:
//  - create: a new file, which never replaces one (the commissioning records);
//  - replace: a file kept with its owner, group and mode (the settings file),
//    rewritten in place where no temporary file keeping all three can be made
//    or the file has several names.
// And the locked append of one line to a log (the journal of a site).
// What happened comes back as an outcome, the step that failed and the
// system's error number; the callers word the messages.
// Linux and other POSIX systems; local file systems.

#include <QByteArray>
#include <QString>
#include <functional>
#include <sys/types.h>

struct stat;

class DurableFile {
public:
    enum class Outcome {
        Done,      // the whole new file is at its name (a probe: one could be made)
        Exists,    // create: something has the name, and is left as it is
        NotAFile,  // what stands at the name is not a regular file; nothing was written
        Unchanged, // failed; the name holds what it held before
        Damaged,   // failed while rewriting in place: the file may hold part of the new text
    };
    enum class Step { None, Look, Temp, Keep, Open, Write, Truncate, Sync, Close, Name, Lock };
    struct Result {
        Outcome outcome = Outcome::Done;
        Step step = Step::None; // which step failed
        int error = 0;          // errno of that step
        bool inPlace = false;   // the file was rewritten where it stands
        bool done() const { return outcome == Outcome::Done; }
    };

    // Writes bytes to a new file at path, its mode the one the umask gives.
    // The temporary file gets the name in one step that fails when path
    // exists (renameat2 with RENAME_NOREPLACE, or link and unlink where the
    // file system refuses that flag): Exists, with path left as it is.
    static Result create(const QString& path, const QByteArray& bytes);

    // Whether a new file can be made in path's folder, and no entry of any
    // kind (a dangling link included) has path's name: Done, Exists, or
    // Unchanged at Temp with the reason a file cannot be made there
    // (ENAMETOOLONG, before anything is made, when the temporary name would
    // pass nameLimit). The probe makes and removes a temporary file, never
    // the final name.
    static Result canCreate(const QString& path);

    // The longest file name path's folder takes, in bytes (255 where the
    // file system does not say).
    static qsizetype nameLimit(const QString& path);
    // The length in bytes of the temporary name a file at path is written
    // under first (".NAME.XXXXXX.part"): 13 more than its own name.
    static qsizetype temporaryNameBytes(const QString& path);

    // Puts bytes in the place of the regular file at path (path names the
    // file itself, not a link to it), keeping its owner, group and mode; a
    // missing file is made new with the mode the umask gives. Where the
    // temporary file cannot be made in the folder, or cannot keep all three,
    // or the file has several names (hard links), the file is rewritten in
    // place instead: written from the start, cut to the new length, flushed.
    // A failure after the first octet written in place is Damaged.
    static Result replace(const QString& path, const QByteArray& bytes);

    // The system calls a durable write makes, bound to the system's own.
    // For tests only: a test puts its own in their place to see every call
    // and to make one of them fail.
    struct SystemCalls {
        SystemCalls(); // the system's calls
        std::function<int(const char* path, int flags, mode_t mode)> open;
        std::function<int(int fd)> close;
        std::function<ssize_t(int fd, const void* data, size_t size)> write;
        std::function<ssize_t(int fd, void* data, size_t size, off_t at)> pread;
        std::function<int(const char* path, struct stat* st, int flags)> stat; // fstatat
        std::function<int(int fd, struct stat* st)> fstat;
        std::function<int(int fd, off_t size)> ftruncate;
        std::function<int(int fd)> fsync;
        std::function<int(int fd, uid_t owner, gid_t group)> fchown;
        std::function<int(int fd, mode_t mode)> fchmod;
        std::function<int(const char* from, const char* to, unsigned flags)> rename; // renameat2
        std::function<int(const char* from, const char* to)> link;
        std::function<int(const char* path)> unlink;
        std::function<int(int fd, int operation)> flock;
    };
    static inline SystemCalls* systemCallsForTests = nullptr;
};

// A log of lines: opened for appending (created when missing, its mode the
// one the umask gives), each line added in a single write under an exclusive
// lock, so that a second writer under the same lock never lands inside it.
class DurableLog {
public:
    DurableLog() = default;
    DurableLog(const DurableLog&) = delete;
    DurableLog& operator=(const DurableLog&) = delete;
    ~DurableLog();

    // Unchanged at Open with the system's reason, or NotAFile.
    DurableFile::Result open(const QString& path);
    bool isOpen() const { return fd_ >= 0; }
    // Appends line and a newline, after a newline of its own when the file
    // does not end in one (a line cut short by a crash stays alone on its
    // line), then flushes the file and its folder to the disk. Fails at
    // Lock, Write (a short write too, as ENOSPC) or Sync.
    DurableFile::Result append(const QByteArray& line);

private:
    int fd_ = -1;
    QByteArray folder_;
};
