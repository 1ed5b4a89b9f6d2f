// The durable write through its system-call seam, one call made to fail: what stands at the name
// afterwards, its mode, the order of flushes and locks, no descriptor or temporary file left.

#include "core/DurableFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using enum DurableFile::Outcome;
using enum DurableFile::Step;
enum Way { Create, Probe, Replace, Log };
enum Before { Nothing, OldFile, TwoNames, CutLine };

const QByteArray kOld = "the old settings, a long line\n";
const QByteArray kNew = "new, shorter";
const QByteArray kCut = "first line\nsecond, cut";
const QByteArray kHalf = kNew.left(8) + kOld.mid(8); // in place, cut off after the first write
const QByteArray kNone;                              // no entry at the name

struct Case {
    const char* name;
    Way way;
    Before before;
    const char* fail; // this call fails, the failAt-th time, with error
    int failAt, error;
    DurableFile::Outcome outcome;
    DurableFile::Step step;
    QByteArray holds;  // what the name holds afterwards
    mode_t mode;       // its mode under the umask 022; 0: not looked at
    const char* order; // calls that come in this order
};

const char* const kAtomic = "fsync temp, close temp, rename, fsync folder";
const char* const kInPlace = "write file, ftruncate file, fsync file, close file";
const char* const kLocked = "flock log, write log, fsync log, flock log, fsync folder";

// clang-format off
const Case kCases[] = {
    {"create", Create, Nothing, "", 0, 0, Done, None, kNew, 0644, kAtomic},
    {"create over a file", Create, OldFile, "", 0, 0, Exists, Name, kOld, 0640, ""},
    {"create, no NOREPLACE, over a file", Create, OldFile, "rename", 1, EINVAL, Exists, Name, kOld, 0, ""},
    {"create, no NOREPLACE", Create, Nothing, "rename", 1, EINVAL, Done, None, kNew, 0644, "fsync temp, link, fsync folder"},
    {"create, write fails part way", Create, Nothing, "write", 2, EIO, Unchanged, Write, kNone, 0, ""},
    {"create, fsync fails", Create, Nothing, "fsync", 1, EIO, Unchanged, Sync, kNone, 0, ""},
    {"create, no temp", Create, Nothing, "open", 1, EACCES, Unchanged, Temp, kNone, 0, ""},
    {"probe", Probe, Nothing, "", 0, 0, Done, None, kNone, 0, "close temp, unlink"},
    {"probe a taken name", Probe, OldFile, "", 0, 0, Exists, Look, kOld, 0, ""},
    {"replace", Replace, OldFile, "", 0, 0, Done, None, kNew, 0640, kAtomic},
    {"replace a missing file", Replace, Nothing, "", 0, 0, Done, None, kNew, 0644, kAtomic},
    {"replace, write fails part way", Replace, OldFile, "write", 2, ENOSPC, Unchanged, Write, kOld, 0640, ""},
    {"replace, rename fails", Replace, OldFile, "rename", 1, EIO, Unchanged, Name, kOld, 0640, ""},
    {"replace two names: in place", Replace, TwoNames, "", 0, 0, Done, None, kNew, 0640, kInPlace},
    {"replace, no temp: in place", Replace, OldFile, "open", 1, EACCES, Done, None, kNew, 0640, kInPlace},
    {"replace, temp keeps no mode: in place", Replace, OldFile, "fchmod", 1, EPERM, Done, None, kNew, 0640, kInPlace},
    {"in place, write fails part way", Replace, TwoNames, "write", 2, EFBIG, Damaged, Write, kHalf, 0640, ""},
    {"in place, first write fails", Replace, TwoNames, "write", 1, ENOSPC, Unchanged, Write, kOld, 0640, ""},
    {"in place, fsync fails", Replace, TwoNames, "fsync", 1, EIO, Damaged, Sync, kNew, 0640, ""},
    {"log a line", Log, CutLine, "", 0, 0, Done, None, kCut + '\n' + kNew + '\n', 0640, kLocked},
    {"log to a new file", Log, Nothing, "", 0, 0, Done, None, kNew + '\n', 0644, kLocked},
    {"log, lock fails", Log, CutLine, "flock", 1, ENOLCK, Unchanged, Lock, kCut, 0640, ""},
    {"log, write fails", Log, CutLine, "write", 1, ENOSPC, Unchanged, Write, kCut, 0640, "write log, flock log"},
};
// clang-format on

// Every call through the seam as "call role" (role: temp, folder, file or log, by the descriptor),
// descriptors opened and closed, and the one call made to fail. Writes other than the log's take
// at most 8 octets a call, as a full disk or a signal may cut one short.
struct Recorder {
    DurableFile::SystemCalls calls;
    const DurableFile::SystemCalls system;
    QStringList trace;
    QHash<int, QString> role;
    QHash<QString, int> seen;
    int opened = 0;
    const Case& c;

    bool fails(const QString& call) {
        if (++seen[call] != c.failAt || call != QLatin1String(c.fail))
            return false;
        errno = c.error;
        return true;
    }
    template <typename R, typename First, typename... A>
    std::function<R(First, A...)> on(const char* call, std::function<R(First, A...)> real) {
        return [this, call, real](First first, A... args) -> R {
            if constexpr (std::is_same_v<First, int>)
                trace << QStringLiteral("%1 %2").arg(QLatin1String(call), role.value(first));
            else
                trace << QLatin1String(call);
            return fails(QLatin1String(call)) ? -1 : real(first, args...);
        };
    }
    explicit Recorder(const Case& c) : c(c) {
        calls.open = [this](const char* path, int flags, mode_t mode) {
            const int fd = fails(QStringLiteral("open")) ? -1 : system.open(path, flags, mode);
            opened += fd >= 0;
            role[fd] = flags & O_DIRECTORY                  ? "folder"
                       : flags & O_APPEND                   ? "log"
                       : QByteArray(path).endsWith(".part") ? "temp"
                                                            : "file";
            return fd;
        };
        calls.write =
            on("write", decltype(calls.write)([this](int fd, const void* data, size_t n) {
                   return system.write(fd, data, role[fd] == "log" ? n : std::min<size_t>(n, 8));
               }));
        calls.close = on("close", system.close);
        calls.fsync = on("fsync", system.fsync);
        calls.ftruncate = on("ftruncate", system.ftruncate);
        calls.fchmod = on("fchmod", system.fchmod);
        calls.flock = on("flock", system.flock);
        calls.rename = on("rename", system.rename);
        calls.link = on("link", system.link);
        calls.unlink = on("unlink", system.unlink);
    }
};

} // namespace

class TestDurableFile : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { ::umask(022); }
    void cleanup() { DurableFile::systemCallsForTests = nullptr; }
    void leavesOldOrWholeFile_data() {
        QTest::addColumn<int>("row");
        for (const Case& c : kCases)
            QTest::newRow(c.name) << int(&c - kCases);
    }
    void leavesOldOrWholeFile() {
        QFETCH(int, row);
        const Case& c = kCases[row];
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("KTR.INI"));
        QFile file(path);
        if (c.before != Nothing) {
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(c.before == CutLine ? kCut : kOld);
            file.close();
            QVERIFY(file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
        }
        if (c.before == TwoNames)
            QVERIFY(::link(QFile::encodeName(path).constData(),
                           QFile::encodeName(dir.filePath("second")).constData()) == 0);

        Recorder recorder(c);
        DurableFile::systemCallsForTests = &recorder.calls;
        DurableFile::Result result;
        if (c.way == Create)
            result = DurableFile::create(path, kNew);
        else if (c.way == Probe)
            result = DurableFile::canCreate(path);
        else if (c.way == Replace)
            result = DurableFile::replace(path, kNew);
        else if (DurableLog log; (result = log.open(path)).done())
            result = log.append(kNew);
        DurableFile::systemCallsForTests = nullptr;

        QCOMPARE(result.outcome, c.outcome);
        QCOMPARE(result.step, c.step);
        if (c.outcome == Unchanged || c.outcome == Damaged)
            QCOMPARE(result.error, c.error);
        QCOMPARE(recorder.trace.filter(QRegularExpression("^close ")).size(), recorder.opened);
        QCOMPARE(QFileInfo::exists(path), !c.holds.isNull());
        if (!c.holds.isNull()) {
            QVERIFY(file.open(QIODevice::ReadOnly));
            QCOMPARE(file.readAll(), c.holds);
        }
        struct stat st {};
        if (c.mode != 0)
            QCOMPARE(::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : 0,
                     c.mode);
        QCOMPARE(QDir(dir.path()).entryList({"*.part"}, QDir::Hidden | QDir::Files), QStringList());
        qsizetype at = 0;
        for (const QString& call : QString::fromLatin1(c.order).split(", ", Qt::SkipEmptyParts)) {
            at = recorder.trace.indexOf(call, at) + 1;
            QVERIFY2(at > 0, qPrintable(call + " out of order in: " + recorder.trace.join(", ")));
        }
    }
};

QTEST_GUILESS_MAIN(TestDurableFile)
#include "test_durable_file.moc"
