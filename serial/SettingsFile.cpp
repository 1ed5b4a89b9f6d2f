#include "SettingsFile.h"

#include "core/NumText.h"
#include "core/Others.h"
#include "core/Seams.h"
#include "serial/MSComm.h"
#include "serial/PortMap.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <algorithm>
#include <cerrno>
#include <limits>

#ifdef Q_OS_UNIX
#include "core/DurableFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#else
#include <QSaveFile>
#endif

namespace {

QString fileNameForMessages(const QString& dir, const QString& name) {
    return QDir::toNativeSeparators(QDir(dir).absoluteFilePath(name));
}

QString shownPath(const QString& path) {
    return QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath());
}

// The settings file's name in any letter case; ASCII only, so that no other
// alphabet's case rules make a stranger name match.
bool isSettingsFileName(const QByteArray& name) {
    static const QByteArray wanted = kSettingsWriterName.toLatin1();
    if (name.size() != wanted.size())
        return false;
    for (qsizetype i = 0; i < name.size(); ++i) {
        const char c = name[i];
        const char lower = (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
        const char w = wanted[i];
        const char wantedLower = (w >= 'A' && w <= 'Z') ? char(w - 'A' + 'a') : w;
        if (lower != wantedLower)
            return false;
    }
    return true;
}

// A file's lines as the operator reads them in a message.
QString linesForMessage(const QByteArray& fileText) {
    QString text = QString::fromLatin1(fileText);
    text.remove(QLatin1Char('\r'));
    return text;
}

bool sameFile(const QString& a, const QString& b) {
    const QString canonical = QFileInfo(a).canonicalFilePath();
    return !canonical.isEmpty() && canonical == QFileInfo(b).canonicalFilePath();
}

// What the operator can put in the place of the file in use: the default
// file shipped with the program, where there is one, or its five lines.
QString replacementText(const QString& inUse) {
    const QString lines = linesForMessage(formatSettingsText(kDefaultPortSettings));
    const QString shipped = defaultSettingsFilePath();
    if (!shipped.isEmpty() && !sameFile(shipped, inUse))
        return QStringLiteral("a copy of the default settings file %1, or a file of these five "
                              "lines:\n\n%2\n")
            .arg(shipped, lines);
    return QStringLiteral("a file of these five lines (the default settings):\n\n%1\n").arg(lines);
}

// What stands at path where it is not a regular file or a link to one, in
// words for the operator; empty for a regular file, and for a file that
// cannot be looked at (opening it then tells why).
QString whatIsNotAFile(const QString& path) {
#ifdef Q_OS_UNIX
    const QByteArray name = QFile::encodeName(path);
    struct stat st {};
    const bool isLink = ::lstat(name.constData(), &st) == 0 && S_ISLNK(st.st_mode);
    const QString target = QDir::toNativeSeparators(QFileInfo(path).symLinkTarget());
    if (::stat(name.constData(), &st) != 0) {
        const int error = errno;
        if (!isLink)
            return {};
        if (error == ENOENT)
            return QStringLiteral("a link to %1, which does not exist").arg(target);
        return QStringLiteral("a link that cannot be followed (%1)").arg(qt_error_string(error));
    }
    QString kind;
    if (S_ISREG(st.st_mode))
        return {};
    if (S_ISDIR(st.st_mode))
        kind = QStringLiteral("a directory");
    else if (S_ISFIFO(st.st_mode))
        kind = QStringLiteral("a named pipe (FIFO)");
    else if (S_ISSOCK(st.st_mode))
        kind = QStringLiteral("a socket");
    else if (S_ISCHR(st.st_mode))
        kind = QStringLiteral("a character device");
    else if (S_ISBLK(st.st_mode))
        kind = QStringLiteral("a block device");
    else
        kind = QStringLiteral("not a regular file");
    if (isLink)
        return QStringLiteral("a link to %1, which is %2").arg(target, kind);
    return kind;
#else
    const QFileInfo info(path);
    if (info.isSymLink() && !info.exists())
        return QStringLiteral("a link to %1, which does not exist")
            .arg(QDir::toNativeSeparators(info.symLinkTarget()));
    if (info.isDir())
        return QStringLiteral("a directory");
    if (info.exists() && !info.isFile())
        return QStringLiteral("not a regular file");
    return {};
#endif
}

// A settings file is five short lines; anything beyond 64 KiB is not one.
constexpr qsizetype kReadMax = 64 * 1024;

// Reads the start of the regular file at path without ever waiting: should
// a pipe or a device have taken its place since it was looked at, it is
// refused instead of read.
bool readSettingsBytes(const QString& path, QByteArray* text, QString* reason) {
#ifdef Q_OS_UNIX
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        *reason = qt_error_string(errno);
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        *reason = QStringLiteral("it is not a regular file");
        return false;
    }
    text->resize(kReadMax);
    qsizetype got = 0;
    while (got < kReadMax) {
        const ssize_t n = ::read(fd, text->data() + got, size_t(kReadMax - got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *reason = qt_error_string(errno);
            ::close(fd);
            return false;
        }
        if (n == 0)
            break;
        got += n;
    }
    ::close(fd);
    text->truncate(got);
    return true;
#else
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *reason = file.errorString();
        return false;
    }
    *text = file.read(kReadMax);
    return true;
#endif
}

// How a save ended.
struct SaveOutcome {
    enum Kind { Saved, NotAFile, ReadOnly, Unchanged, Damaged } kind = Saved;
    QString detail; // what was found, " (mode 0444)", or the system's reason
};

#ifdef Q_OS_UNIX

SaveOutcome failed(SaveOutcome::Kind kind, int error) {
    return {kind, qt_error_string(error)};
}

// The file is replaced keeping its owner, group and mode, or rewritten in
// place (DurableFile::replace); a new one is made only under the name the
// program looked for, never at the far end of a dangling link.
SaveOutcome saveSettingsFile(const QString& path, const QString& target, const QByteArray& bytes) {
    struct stat st {};
    if (::stat(QFile::encodeName(target).constData(), &st) != 0) {
        if (errno != ENOENT || path != target)
            return failed(SaveOutcome::Unchanged, errno);
    } else {
        if (!S_ISREG(st.st_mode))
            return {SaveOutcome::NotAFile, whatIsNotAFile(target)};
        // A file without any write permission is read-only for every
        // account, root included, whom no access check would stop.
        if ((st.st_mode & 0222) == 0)
            return {
                SaveOutcome::ReadOnly,
                QStringLiteral(" (mode %1)").arg(uint(st.st_mode & 07777), 4, 8, QLatin1Char('0'))};
        if (::faccessat(AT_FDCWD, QFile::encodeName(target).constData(), W_OK, AT_EACCESS) != 0)
            return failed(SaveOutcome::Unchanged, errno);
    }
    const DurableFile::Result saved = DurableFile::replace(target, bytes);
    switch (saved.outcome) {
    case DurableFile::Outcome::Done:
        return {};
    case DurableFile::Outcome::NotAFile:
        return {SaveOutcome::NotAFile, QStringLiteral("not a regular file")};
    case DurableFile::Outcome::Damaged:
        return failed(SaveOutcome::Damaged, saved.error);
    case DurableFile::Outcome::Exists:
    case DurableFile::Outcome::Unchanged:
        break;
    }
    return failed(SaveOutcome::Unchanged, saved.error);
}

#else

SaveOutcome saveSettingsFile(const QString& path, const QString& target, const QByteArray& bytes) {
    Q_UNUSED(path);
    const QFileInfo info(target);
    if (info.exists() && !info.isFile())
        return {SaveOutcome::NotAFile, whatIsNotAFile(target)};
    if (info.exists() &&
        !(info.permissions() & (QFile::WriteOwner | QFile::WriteGroup | QFile::WriteOther)))
        return {SaveOutcome::ReadOnly, {}};
    QSaveFile file(target);
    file.setDirectWriteFallback(true);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
        return {SaveOutcome::Unchanged, file.errorString()};
    return {};
}

#endif

// The writers' advisory lock: flock on the program directory, which stays
// in place while the file in it is replaced and while there is no file yet.
// Held from construction until destruction; a directory that cannot be
// opened is written without it.
class SettingsWriteLock {
public:
    explicit SettingsWriteLock(const QString& dir) {
#ifdef Q_OS_UNIX
        fd_ = ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd_ < 0)
            return;
        QElapsedTimer clock;
        clock.start();
        while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            if ((errno != EWOULDBLOCK && errno != EINTR) ||
                clock.elapsed() >= kSettingsLockWaitMs) {
                held_ = false;
                return;
            }
            QThread::msleep(10);
        }
#else
        Q_UNUSED(dir);
#endif
    }
    ~SettingsWriteLock() {
#ifdef Q_OS_UNIX
        if (fd_ >= 0)
            ::close(fd_); // lets the lock go
#endif
    }
    SettingsWriteLock(const SettingsWriteLock&) = delete;
    SettingsWriteLock& operator=(const SettingsWriteLock&) = delete;
    // False when another writer kept the lock for the whole wait.
    bool held() const {
        return held_;
    }

private:
    int fd_ = -1;
    bool held_ = true;
};

} // namespace

SettingsFileLookup findSettingsFile(const QString& dir) {
    const QDir directory(dir);
    const QByteArray exact = kSettingsWriterName.toLatin1();
    QList<QByteArray> names;
    const QStringList entries = directory.entryList(
        QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Unsorted);
    for (const QString& entry : entries) {
        const QByteArray name = QFile::encodeName(entry);
        if (isSettingsFileName(name))
            names.append(name);
    }
    // The exact name is found even in a folder that cannot be listed.
    const QFileInfo exactInfo(directory.filePath(kSettingsWriterName));
    if (!names.contains(exact) && (exactInfo.exists() || exactInfo.isSymLink()))
        names.append(exact);
    std::sort(names.begin(), names.end());
    const auto exactAt = std::find(names.begin(), names.end(), exact);
    if (exactAt != names.end())
        std::rotate(names.begin(), exactAt, exactAt + 1);

    SettingsFileLookup found;
    if (names.isEmpty())
        return found;
    found.path = directory.filePath(QFile::decodeName(names.first()));
    for (qsizetype i = 1; i < names.size(); ++i)
        found.otherNames.append(QFile::decodeName(names[i]));
    return found;
}

QString settingsFileNotice() {
    const QString dir = programDirectory();
    const SettingsFileLookup found = findSettingsFile(dir);
    if (found.otherNames.isEmpty())
        return {};
    const QStringList names = QStringList{QFileInfo(found.path).fileName()} + found.otherNames;
    return QStringLiteral("The folder %1 holds %2 settings files (%3); the program reads and "
                          "writes %4 and ignores the others.")
        .arg(QDir::toNativeSeparators(QFileInfo(dir).absoluteFilePath()),
             QString::number(names.size()), names.join(QStringLiteral(", ")),
             shownPath(found.path));
}

QString defaultSettingsFilePath() {
    QStringList candidates;
#ifdef KTR6_DEFAULT_SETTINGS
    candidates << QStringLiteral(KTR6_DEFAULT_SETTINGS);
#endif
#ifdef Q_OS_UNIX
    candidates << QStringLiteral("/usr/share/ktr6/KTR.INI");
#endif
    for (const QString& candidate : candidates) {
        if (QFileInfo(candidate).isFile())
            return shownPath(candidate);
    }
    return {};
}

PortSettingsRead readPortSettings() {
    PortSettingsRead read;
    const QString dir = programDirectory();
    const SettingsFileLookup found = findSettingsFile(dir);
    if (found.path.isEmpty()) {
        read.missing = true;
        read.message = QStringLiteral("File ") + fileNameForMessages(dir, kSettingsReaderName) +
                       QStringLiteral(" not found !\n");
        return read;
    }
    const QString path = shownPath(found.path);
    // A pipe or a directory in its place is named, never opened: opening a
    // pipe would wait for a writer that never comes.
    const QString notAFile = whatIsNotAFile(found.path);
    if (!notAFile.isEmpty()) {
        read.message = QStringLiteral("File %1 is not a settings file: it is %2.\nRemove it and "
                                      "put in its place %3Then start the program again.\n")
                           .arg(path, notAFile, replacementText(found.path));
        return read;
    }
    QByteArray text;
    QString reason;
    if (!readSettingsBytes(found.path, &text, &reason)) {
        read.message = QStringLiteral("File %1 cannot be read: %2\n").arg(path, reason);
        return read;
    }

    const SettingsParseResult parsed = parseSettingsText(text);
    if (!parsed.values) {
        const QString where =
            parsed.line > 0 ? QStringLiteral(", line %1").arg(parsed.line) : QString();
        QString message = QStringLiteral("File ") + path + where + QStringLiteral(": ");
        if (parsed.line > 0)
            message += QStringLiteral("\"%1\": ").arg(parsed.valueText);
        // Deleting the file would leave a program that cannot start: the
        // operator is told what to put there instead.
        message += QStringLiteral("%1.\nCorrect the file, or replace it with %2Then start the "
                                  "program again.\n")
                       .arg(parsed.problem, replacementText(found.path));
        read.message = message;
        return read;
    }
    read.values = parsed.values;
    return read;
}

bool LoadPortSettings() {
    const PortSettingsRead read = readPortSettings();
    if (!read.values) {
        MsgBox(read.message, MsgIcon::Warning, QStringLiteral("Error"));
        return false;
    }

    const PortSettingsValues& v = *read.values;
    Others::PortNumber = v.portNumber;
    Others::HandshakeMode = v.handshakeMode;
    Others::BaudRate = v.baudRate;
    Others::WaitTime = v.waitTime;
    Others::TimeDelay = v.timeDelay;
    applyPortSettings(MSComm1(), v);
    return true;
}

// The settings file's path: the one in use, or a new KTR.INI.
static QString settingsFileToWrite(const QString& dir) {
    const QString path = findSettingsFile(dir).path;
    return path.isEmpty() ? QDir(dir).filePath(kSettingsWriterName) : path;
}

// writePortSettings under the writers' lock.
static bool writeLocked(const PortSettingsValues& values, QString* error) {
    const QString dir = programDirectory();
    const QString path = settingsFileToWrite(dir);
    // Through a link the target is written; the link stays.
    const QFileInfo info(path);
    QString target = path;
    QString shown = shownPath(path);
    if (info.isSymLink()) {
        target = info.canonicalFilePath();
        if (!target.isEmpty())
            shown = QStringLiteral("%1 (a link to %2)").arg(shown, shownPath(target));
    }
    const QByteArray bytes = formatSettingsText(values);
    const SaveOutcome outcome = target.isEmpty()
                                    ? SaveOutcome{SaveOutcome::NotAFile, whatIsNotAFile(path)}
                                    : saveSettingsFile(path, target, bytes);
    if (outcome.kind == SaveOutcome::Saved)
        return true;
    if (!error)
        return false;
    switch (outcome.kind) {
    case SaveOutcome::NotAFile:
        *error = QStringLiteral("The settings file %1 is %2; nothing was written.\n"
                                "The old settings are unchanged.")
                     .arg(shown, outcome.detail);
        break;
    case SaveOutcome::ReadOnly:
        *error = QStringLiteral("The settings file %1 is read-only%2; nothing was written.\n"
                                "The old settings are unchanged.")
                     .arg(shown, outcome.detail);
        break;
    case SaveOutcome::Damaged:
        *error = QStringLiteral("The settings file %1 could not be written: %2.\nThe file may be "
                                "damaged. Before the program is started again it must hold "
                                "these five lines:\n\n%3")
                     .arg(shown, outcome.detail, linesForMessage(bytes));
        break;
    case SaveOutcome::Saved:
    case SaveOutcome::Unchanged:
        *error = QStringLiteral("The settings file %1 could not be written: %2.\n"
                                "The old settings are unchanged.")
                     .arg(shown, outcome.detail);
        break;
    }
    return false;
}

// Another writer kept the lock: nothing was written.
static bool lockRefused(QString* error) {
    if (error)
        *error = QStringLiteral("The settings file %1 is being written by another program; "
                                "nothing was written.\nThe old settings are unchanged.")
                     .arg(shownPath(settingsFileToWrite(programDirectory())));
    return false;
}

bool writePortSettings(const PortSettingsValues& values, QString* error) {
    const SettingsWriteLock lock(programDirectory());
    if (!lock.held())
        return lockRefused(error);
    return writeLocked(values, error);
}

bool writePortNumber(int16_t portNumber, QString* error) {
    const SettingsWriteLock lock(programDirectory());
    if (!lock.held())
        return lockRefused(error);
    const PortSettingsRead read = readPortSettings();
    if (!read.values && !read.missing) {
        if (error)
            *error = read.message.trimmed();
        return false;
    }
    PortSettingsValues values = read.values.value_or(kDefaultPortSettings);
    values.portNumber = portNumber;
    return writeLocked(values, error);
}
