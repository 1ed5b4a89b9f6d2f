#include "core/Others.h"
#include "serial/SettingsFile.h"
#include "support/Immutable.h"
#include "support/PipeWatchdog.h"
#include "support/ScriptedPort.h"
#include "support/TestLocale.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <optional>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

struct stat statOf(const QString& path) {
    struct stat st {};
    ::stat(QFile::encodeName(path).constData(), &st);
    return st;
}

QString shown(const QString& path) {
    return QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath());
}

// The file's lines as a message shows them.
QString linesOf(const QByteArray& fileText) {
    return QString::fromLatin1(fileText).remove(QLatin1Char('\r'));
}

// Entries a save may have left behind: anything hidden.
QStringList hiddenEntries(const QString& dir) {
    return QDir(dir).entryList({QStringLiteral(".*")}, QDir::AllEntries | QDir::Hidden |
                                                           QDir::System | QDir::NoDotAndDotDot);
}

bool isRoot() {
    return ::geteuid() == 0;
}

// Why a row cannot mean anything under this account; empty where it can.
// "root": only root can set it up. "account": root would pass the folder's
// permissions. "field": the root-owned folders scripts/test prepares for its
// run as an unprivileged account.
QString whyNotHere(const QString& needs) {
    if (needs == QLatin1String("root") && !isRoot())
        return QStringLiteral("needs root to set up; the run as root covers it");
    if (needs == QLatin1String("account") && isRoot())
        return QStringLiteral("root passes any folder's permissions; scripts/test runs this "
                              "once more as an unprivileged account");
    if (needs == QLatin1String("field") &&
        (isRoot() || qEnvironmentVariableIsEmpty("KTR6_FIELD_DIR")))
        return QStringLiteral("needs the root-owned folders scripts/test prepares for its run "
                              "as an unprivileged account (KTR6_FIELD_DIR)");
    return {};
}

// A group of this account's other than its own (root: dialout's 20), or -1.
gid_t anotherGroup() {
    if (isRoot())
        return 20;
    gid_t groups[64];
    const int count = ::getgroups(64, groups);
    for (int i = 0; i < count; ++i) {
        if (groups[i] != ::getegid())
            return groups[i];
    }
    return gid_t(-1);
}

// Undoes what a row did to the disk however it ends, before the temporary
// directory goes.
struct Undo {
    QList<std::function<void()>> steps;
    ~Undo() {
        for (auto step = steps.rbegin(); step != steps.rend(); ++step)
            (*step)();
    }
};

// A folder nobody but root may write (the folder's permissions), undone later.
void makeReadOnlyFolder(const QString& dir, Undo& undo) {
    QVERIFY(::chmod(QFile::encodeName(dir).constData(), 0555) == 0);
    undo.steps.append([dir] { ::chmod(QFile::encodeName(dir).constData(), 0755); });
}

} // namespace

class TestSettingsFile : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { checkTestLocale(); }
    void init();
    void cleanup();
    void readsEntriesByPosition_data();
    void readsEntriesByPosition();
    void refusesWhatDoesNotFit_data();
    void refusesWhatDoesNotFit();
    void writerProducesExactLines();
    void writerThenReaderRoundTrip();
    void loadConfiguresThePortClosed();
    void missingFileEndsWithMessage();
    void badValueEndsWithMessageAndKeepsFile();
    void fileFoundWithoutRegardToCase();
    void writerReplacesFileWhateverItsCase();
    void failedWriteKeepsOldFile();
    void readerAndWriterAgreeOnTheName_data();
    void readerAndWriterAgreeOnTheName();
    void refusesWhatIsNotAFile_data();
    void refusesWhatIsNotAFile();
    void rewriteKeepsTheFile_data();
    void rewriteKeepsTheFile();
    void writersShareTheLock_data();
    void writersShareTheLock();

private:
    QTemporaryDir* dir_ = nullptr;
};

void TestSettingsFile::init() {
    dir_ = new QTemporaryDir;
    QVERIFY(dir_->isValid());
    seams::setProgramDirectory(dir_->path());
}

void TestSettingsFile::cleanup() {
    seams::setProgramDirectory(QString());
    delete dir_;
    dir_ = nullptr;
}

void TestSettingsFile::readsEntriesByPosition_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("port");
    QTest::addColumn<int>("handshake");
    QTest::addColumn<int>("baud");
    QTest::addColumn<int>("wait");
    QTest::addColumn<int>("delay");
    const QByteArray rest =
        "Handshaking =  2 \r\nBaudRate =  9600 \r\nWaitTime =  5 \r\nTimeDelay = -7 \r\n";
    QTest::newRow("as written") << "Port=3\r\n" + rest << 3 << 2 << 9600 << 5 << -7;
    QTest::newRow("Port=12") << "Port=12\r\n" + rest << 12 << 2 << 9600 << 5 << -7;
    QTest::newRow("Port=123 takes two characters")
        << "Port=123\r\n" + rest << 12 << 2 << 9600 << 5 << -7;
    QTest::newRow("one blank then 7") << "Port= 7\r\n" + rest << 7 << 2 << 9600 << 5 << -7;
    QTest::newRow("two blanks then 7") << "Port=  7\r\n" + rest << 0 << 2 << 9600 << 5 << -7;
    QTest::newRow("no equals sign") << "Port 5\r\n" + rest << 0 << 2 << 9600 << 5 << -7;
    QTest::newRow("other keys") << QByteArray("P=1\r\nH=1\r\nSpeed = 9600\r\nW=0\r\nT=0\r\n") << 1
                                << 1 << 9600 << 0 << 0;
    QTest::newRow("value only") << QByteArray("Port=1\r\n0\r\n9600\r\n0\r\n0\r\n") << 1 << 0 << 9600
                                << 0 << 0;
    QTest::newRow("no blanks")
        << QByteArray("Port=1\r\nHandshaking=0\r\nBaudRate=9600\r\nWaitTime=0\r\nTimeDelay=0\r\n")
        << 1 << 0 << 9600 << 0 << 0;
    QTest::newRow("2.5 to even") << QByteArray("Port=1\r\nH=2.5\r\nB=9600\r\nW=3.5\r\nT=0\r\n") << 1
                                 << 2 << 9600 << 4 << 0;
    QTest::newRow("decimal point and exponent")
        << QByteArray("Port=1\r\nH=1.0\r\nBaudRate = 9.6e3\r\nW=2.5e1\r\nT=-0.7e1\r\n") << 1 << 1
        << 9600 << 25 << -7;
    QTest::newRow("comma shifts entries")
        << QByteArray("Port=1\r\nH=1,B=2400\r\nB=9600\r\nW=3\r\nT=4\r\n") << 1 << 1 << 2400 << 9600
        << 3;
    QTest::newRow("LF line ends") << QByteArray("Port=4\nH=0\nB=1200\nW=0\nT=0\n") << 4 << 0 << 1200
                                  << 0 << 0;
    QTest::newRow("leading blanks skipped")
        << QByteArray("   Port=4\r\n  H=1\r\nB=1200\r\nW=0\r\nT=0") << 4 << 1 << 1200 << 0 << 0;
    QTest::newRow("text value gives 0")
        << QByteArray("Port=1\r\nH=x\r\nB=9600\r\nW=abc\r\nT=0\r\n") << 1 << 0 << 9600 << 0 << 0;
}

void TestSettingsFile::readsEntriesByPosition() {
    QFETCH(QByteArray, text);
    const SettingsParseResult result = parseSettingsText(text);
    QVERIFY2(result.values, qPrintable(result.problem));
    QTEST(int(result.values->portNumber), "port");
    QTEST(int(result.values->handshakeMode), "handshake");
    QTEST(int(result.values->baudRate), "baud");
    QTEST(int(result.values->waitTime), "wait");
    QTEST(int(result.values->timeDelay), "delay");
}

void TestSettingsFile::refusesWhatDoesNotFit_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("line");
    QTest::addColumn<QString>("value");
    QTest::newRow("four entries") << QByteArray("Port=1\r\nH=0\r\nB=9600\r\nW=0\r\n") << 0 << "";
    QTest::newRow("empty file") << QByteArray() << 0 << "";
    QTest::newRow("baud 32768") << QByteArray("Port=1\r\nH=0\r\nB=32768\r\nW=0\r\nT=0\r\n") << 3
                                << "32768";
    QTest::newRow("baud 0") << QByteArray("Port=1\r\nH=0\r\nB=0\r\nW=0\r\nT=0\r\n") << 3 << "0";
    QTest::newRow("handshake 4") << QByteArray("Port=1\r\nH=4\r\nB=9600\r\nW=0\r\nT=0\r\n") << 2
                                 << "4";
    QTest::newRow("handshake -1") << QByteArray("Port=1\r\nH=-1\r\nB=9600\r\nW=0\r\nT=0\r\n") << 2
                                  << "-1";
    QTest::newRow("wait time beyond 32 bits")
        << QByteArray("Port=1\r\nH=0\r\nB=9600\r\nW=2147483648\r\nT=0\r\n") << 4 << "2147483648";
    QTest::newRow("time delay beyond 16 bits")
        << QByteArray("Port=1\r\nH=0\r\nB=9600\r\nW=0\r\nT=40000\r\n") << 5 << "40000";
}

void TestSettingsFile::refusesWhatDoesNotFit() {
    QFETCH(QByteArray, text);
    QFETCH(int, line);
    QFETCH(QString, value);
    const SettingsParseResult result = parseSettingsText(text);
    QVERIFY(!result.values);
    QCOMPARE(result.line, line);
    QCOMPARE(result.valueText, value);
    QVERIFY(!result.problem.isEmpty());
}

void TestSettingsFile::writerProducesExactLines() {
    QCOMPARE(formatSettingsText({3, 2, 9600, 0, 0}),
             QByteArray("Port=3\r\nHandshaking =  2 \r\nBaudRate =  9600 \r\nWaitTime =  0 "
                        "\r\nTimeDelay =  0 \r\n"));
    QCOMPARE(formatSettingsText({15, 0, 19200, -5, -7}),
             QByteArray("Port=15\r\nHandshaking =  0 \r\nBaudRate =  19200 \r\nWaitTime = -5 "
                        "\r\nTimeDelay = -7 \r\n"));
}

void TestSettingsFile::writerThenReaderRoundTrip() {
    TestSeams seams;
    const PortSettingsValues written{11, 3, 32767, 2147483647, -32768};
    QString error;
    QVERIFY2(writePortSettings(written, &error), qPrintable(error));
    QVERIFY(LoadPortSettings());
    QCOMPARE(Others::PortNumber, written.portNumber);
    QCOMPARE(Others::HandshakeMode, written.handshakeMode);
    QCOMPARE(Others::BaudRate, written.baudRate);
    QCOMPARE(Others::WaitTime, written.waitTime);
    QCOMPARE(Others::TimeDelay, written.timeDelay);
    QVERIFY(seams.messages.isEmpty());
}

void TestSettingsFile::loadConfiguresThePortClosed() {
    TestSeams seams;
    writeFile(QDir(dir_->path()).filePath("KTR.INI"), formatSettingsText({7, 2, 4800, 0, 0}));
    QVERIFY(LoadPortSettings());
    QCOMPARE(seams.port.trace, QStringList({"commport 7", "handshaking 2", "settings 4800,N,8,1",
                                            "inputmode 0", "dtr off"}));
    QVERIFY(!seams.port.PortOpen());
}

void TestSettingsFile::missingFileEndsWithMessage() {
    TestSeams seams;
    QVERIFY(!LoadPortSettings());
    QCOMPARE(seams.messages.size(), 1);
    const QString path = QDir::toNativeSeparators(QDir(dir_->path()).absoluteFilePath("Ktr.INI"));
    QCOMPARE(seams.messages[0].text, "File " + path + " not found !\n");
    QCOMPARE(seams.messages[0].title, QStringLiteral("Error"));
    QCOMPARE(seams.messages[0].icon, MsgIcon::Warning);
    QVERIFY(seams.port.trace.isEmpty());
    QVERIFY(!QFile::exists(QDir(dir_->path()).filePath("Ktr.INI")));
}

void TestSettingsFile::badValueEndsWithMessageAndKeepsFile() {
    TestSeams seams;
    const QString path = QDir(dir_->path()).filePath("KTR.INI");
    const QByteArray bad("Port=1\r\nHandshaking =  0 \r\nBaudRate =  40000 \r\nWaitTime =  0 "
                         "\r\nTimeDelay =  0 \r\n");
    writeFile(path, bad);
    QVERIFY(!LoadPortSettings());
    QCOMPARE(seams.messages.size(), 1);
    const QString text = seams.messages[0].text;
    QVERIFY2(text.contains(QDir::toNativeSeparators(path)), qPrintable(text));
    QVERIFY2(text.contains("line 3"), qPrintable(text));
    QVERIFY2(text.contains("40000"), qPrintable(text));
    QCOMPARE(seams.messages[0].title, QStringLiteral("Error"));
    QCOMPARE(readAll(path), bad);
    QCOMPARE(Others::BaudRate, int16_t(0));

    // Deleting the file would leave a program that cannot start: the message
    // says what to put there instead, naming the default file where the
    // program has one (a source tree's resources/KTR.INI).
    const QString shipped = defaultSettingsFilePath();
    const QString source = QStringLiteral(KTR6_SOURCE_DIR "/resources/KTR.INI");
    if (QFileInfo(source).isFile())
        QCOMPARE(shipped, shown(source));
    const QString lines = linesOf(formatSettingsText({1, 0, 9600, 0, 0}));
    const QString replacement =
        shipped.isEmpty()
            ? QStringLiteral("a file of these five lines (the default settings):\n\n%1\n")
                  .arg(lines)
            : QStringLiteral("a copy of the default settings file %1, or a file of these five "
                             "lines:\n\n%2\n")
                  .arg(shipped, lines);
    QVERIFY2(text.endsWith(QStringLiteral(".\nCorrect the file, or replace it with ") +
                           replacement + QStringLiteral("Then start the program again.\n")),
             qPrintable(text));
}

void TestSettingsFile::fileFoundWithoutRegardToCase() {
    TestSeams seams;
    writeFile(QDir(dir_->path()).filePath("kTr.iNi"), formatSettingsText({2, 0, 1200, 0, 0}));
    QVERIFY(LoadPortSettings());
    QCOMPARE(Others::PortNumber, int16_t(2));
}

void TestSettingsFile::writerReplacesFileWhateverItsCase() {
    TestSeams seams;
    const QString lower = QDir(dir_->path()).filePath("ktr.ini");
    writeFile(lower, formatSettingsText({2, 0, 1200, 0, 0}));
    QString error;
    QVERIFY(writePortSettings({5, 1, 2400, 0, 0}, &error));
    QCOMPARE(QDir(dir_->path()).entryList(QDir::Files), QStringList({"ktr.ini"}));
    QCOMPARE(readAll(lower), formatSettingsText({5, 1, 2400, 0, 0}));
}

void TestSettingsFile::failedWriteKeepsOldFile() {
    TestSeams seams;
    const QString path = QDir(dir_->path()).filePath("KTR.INI");
    const QByteArray old = formatSettingsText({2, 0, 1200, 0, 0});
    writeFile(path, old);
    // A program directory that does not exist cannot take the new file.
    seams::setProgramDirectory(QDir(dir_->path()).filePath("gone"));
    QString error;
    QVERIFY(!writePortSettings({5, 1, 2400, 0, 0}, &error));
    QVERIFY2(error.contains("KTR.INI"), qPrintable(error));
    QCOMPARE(readAll(path), old);
}

void TestSettingsFile::readerAndWriterAgreeOnTheName_data() {
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QString>("inUse");
    QTest::newRow("one name in another case") << QStringList{"kTr.iNi"} << "kTr.iNi";
    QTest::newRow("the reader's and the writer's names")
        << QStringList{"Ktr.INI", "KTR.INI"} << "KTR.INI";
    QTest::newRow("the exact name among three")
        << QStringList{"ktr.ini", "KTR.INI", "Ktr.INI"} << "KTR.INI";
    QTest::newRow("no exact name: byte order")
        << QStringList{"ktr.ini", "kTR.INI", "Ktr.ini", "KTr.inI"} << "KTr.inI";
    QTest::newRow("other names are not the file")
        << QStringList{"KTR.INI.bak", "KTR.IN", "ktr.ini"} << "ktr.ini";
}

void TestSettingsFile::readerAndWriterAgreeOnTheName() {
    QFETCH(QStringList, names);
    QFETCH(QString, inUse);
    TestSeams seams;
    const QDir dir(dir_->path());
    for (int i = 0; i < names.size(); ++i)
        writeFile(dir.filePath(names[i]), formatSettingsText({int16_t(i + 1), 0, 1200, 0, 0}));

    // The reader takes the file in use ...
    QVERIFY(LoadPortSettings());
    QCOMPARE(int(Others::PortNumber), int(names.indexOf(inUse)) + 1);
    // ... and the writer writes that one and no other.
    const PortSettingsValues written{9, 1, 2400, 0, 0};
    QString error;
    QVERIFY2(writePortSettings(written, &error), qPrintable(error));
    for (int i = 0; i < names.size(); ++i) {
        const PortSettingsValues expected =
            names[i] == inUse ? written : PortSettingsValues{int16_t(i + 1), 0, 1200, 0, 0};
        QCOMPARE(readAll(dir.filePath(names[i])), formatSettingsText(expected));
    }
    QVERIFY(LoadPortSettings());
    QCOMPARE(Others::PortNumber, int16_t(9));

    // Several names of the settings file give one notice naming the file in use.
    const QString notice = settingsFileNotice();
    QStringList matching;
    for (const QString& name : names) {
        if (name.compare(QStringLiteral("KTR.INI"), Qt::CaseInsensitive) == 0)
            matching << name;
    }
    if (matching.size() == 1) {
        QVERIFY2(notice.isEmpty(), qPrintable(notice));
    } else {
        QVERIFY2(notice.contains(shown(dir.filePath(inUse))), qPrintable(notice));
        for (const QString& name : matching)
            QVERIFY2(notice.contains(name), qPrintable(notice));
        QVERIFY2(!notice.contains(QLatin1Char('\n')), qPrintable(notice));
    }
    QVERIFY(seams.messages.isEmpty());
}

void TestSettingsFile::refusesWhatIsNotAFile_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("found");   // as the reader tells it
    QTest::addColumn<QString>("refused"); // as the writer tells it
    QTest::newRow("directory") << "directory"
                               << "is not a settings file: it is a directory."
                               << "is a directory; nothing was written";
    QTest::newRow("named pipe") << "pipe"
                                << "is not a settings file: it is a named pipe (FIFO)."
                                << "is a named pipe (FIFO); nothing was written";
    QTest::newRow("link to a directory") << "link to directory"
                                         << ", which is a directory."
                                         << ") is a directory; nothing was written";
    QTest::newRow("link to nothing") << "link to nothing"
                                     << ", which does not exist."
                                     << ", which does not exist; nothing was written";
}

void TestSettingsFile::refusesWhatIsNotAFile() {
    QFETCH(QString, kind);
    QFETCH(QString, found);
    QFETCH(QString, refused);
    TestSeams seams;
    const QString path = QDir(dir_->path()).filePath(QStringLiteral("KTR.INI"));
    const QString elsewhere = QDir(dir_->path()).filePath(QStringLiteral("elsewhere"));
    const QByteArray name = QFile::encodeName(path);
    if (kind == QLatin1String("directory"))
        QVERIFY(QDir().mkdir(path));
    if (kind == QLatin1String("pipe"))
        QVERIFY(::mkfifo(name.constData(), 0644) == 0);
    if (kind == QLatin1String("link to directory"))
        QVERIFY(QDir().mkdir(elsewhere));
    if (kind.startsWith(QLatin1String("link")))
        QVERIFY(QFile::link(elsewhere, path));
    struct stat before {};
    QVERIFY(::lstat(name.constData(), &before) == 0);

    {
        // Should the reader open the pipe, it waits for a writer forever.
        const PipeWatchdog watchdog(path, std::chrono::seconds(3));
        QVERIFY(!LoadPortSettings());
        QVERIFY2(!watchdog.fired(), "the reader waited on the pipe");
    }
    QCOMPARE(seams.messages.size(), 1);
    const QString text = seams.messages[0].text;
    QVERIFY2(text.startsWith(QStringLiteral("File ") + shown(path) + QLatin1Char(' ')),
             qPrintable(text));
    QVERIFY2(text.contains(found), qPrintable(text));
    QVERIFY2(text.contains(linesOf(formatSettingsText({1, 0, 9600, 0, 0}))), qPrintable(text));
    QCOMPARE(seams.messages[0].title, QStringLiteral("Error"));
    QVERIFY(seams.port.trace.isEmpty());

    // The writer refuses it as well, and leaves it as it stands.
    QString error;
    QVERIFY(!writePortSettings({5, 1, 2400, 0, 0}, &error));
    QVERIFY2(error.contains(shown(path)), qPrintable(error));
    QVERIFY2(error.contains(refused), qPrintable(error));
    struct stat after {};
    QVERIFY(::lstat(name.constData(), &after) == 0);
    QCOMPARE(after.st_ino, before.st_ino);
    QCOMPARE(after.st_mode, before.st_mode);
    QVERIFY(!QFileInfo::exists(elsewhere) || QFileInfo(elsewhere).isDir());
}

// The system's reason in the user's language: the suite also runs in sk_SK.
static QString notWritten(int error) {
    return QStringLiteral("could not be written: ") + qt_error_string(error);
}

void TestSettingsFile::rewriteKeepsTheFile_data() {
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QString>("needs");
    QTest::addColumn<QString>("outcome"); // atomic, in place, refused, damaged
    QTest::addColumn<QString>("told");    // what a refusal says
    QTest::newRow("plain file") << "plain"
                                << "any"
                                << "atomic"
                                << "";
    QTest::newRow("a group of the account's") << "group"
                                              << "any"
                                              << "atomic"
                                              << "";
    QTest::newRow("another account's file") << "owner"
                                            << "root"
                                            << "atomic"
                                            << "";
    QTest::newRow("link into a writable folder") << "link"
                                                 << "any"
                                                 << "atomic"
                                                 << "";
    QTest::newRow("two names (hard link)") << "hard link"
                                           << "any"
                                           << "in place"
                                           << "";
    QTest::newRow("immutable folder") << "immutable folder"
                                      << "root"
                                      << "in place"
                                      << "";
    QTest::newRow("read-only folder") << "read-only folder"
                                      << "account"
                                      << "in place"
                                      << "";
    QTest::newRow("link into a read-only folder") << "link read-only"
                                                  << "account"
                                                  << "in place"
                                                  << "";
    QTest::newRow("root's folder, group-writable file") << "opt"
                                                        << "field"
                                                        << "in place"
                                                        << "";
    QTest::newRow("group-writable folder, root's file") << "shared"
                                                        << "field"
                                                        << "in place"
                                                        << "";
    QTest::newRow("link into root's folder") << "lib"
                                             << "field"
                                             << "in place"
                                             << "";
    const QString readOnly = QStringLiteral("is read-only (mode 0444); nothing was written");
    QTest::newRow("no write bit (0444)") << "0444"
                                         << "any"
                                         << "refused" << readOnly;
    QTest::newRow("no write bit, through a link") << "link 0444"
                                                  << "any"
                                                  << "refused" << readOnly;
    QTest::newRow("immutable file") << "immutable file"
                                    << "root"
                                    << "refused" << notWritten(EPERM);
    QTest::newRow("root's file in root's folder") << "locked"
                                                  << "field"
                                                  << "refused" << notWritten(EACCES);
    QTest::newRow("in place, disk full part way") << "cut short"
                                                  << "root"
                                                  << "damaged" << notWritten(EFBIG);
}

void TestSettingsFile::rewriteKeepsTheFile() {
    QFETCH(QString, setup);
    QFETCH(QString, needs);
    QFETCH(QString, outcome);
    QFETCH(QString, told);
    if (const QString why = whyNotHere(needs); !why.isEmpty())
        QSKIP(qPrintable(why));
    TestSeams seams;
    Undo undo;
    QString program = QDir(dir_->path()).filePath(QStringLiteral("program"));
    const QString other = QDir(dir_->path()).filePath(QStringLiteral("etc"));
    QString file = program + QStringLiteral("/KTR.INI");
    const QString secondName = program + QStringLiteral("/second.ini");
    const bool linked = setup.startsWith(QLatin1String("link")) || setup == QLatin1String("lib");
    if (needs == QLatin1String("field")) {
        program = qEnvironmentVariable("KTR6_FIELD_DIR") + QLatin1Char('/') + setup;
        file = QFileInfo(program + QStringLiteral("/KTR.INI")).canonicalFilePath();
        QVERIFY2(!file.isEmpty(), qPrintable(program));
    } else {
        QVERIFY(QDir().mkpath(program));
        QVERIFY(QDir().mkpath(other));
        if (linked) {
            file = other + QStringLiteral("/KTR.INI");
            QVERIFY(QFile::link(QStringLiteral("../etc/KTR.INI"),
                                program + QStringLiteral("/KTR.INI")));
        }
        writeFile(file, formatSettingsText({2, 0, 1200, 0, 0}));
    }
    const QByteArray fileName = QFile::encodeName(file);
    if (setup == QLatin1String("group")) {
        const gid_t group = anotherGroup();
        if (group == gid_t(-1))
            QSKIP("this account belongs to no other group");
        QVERIFY(::chown(fileName.constData(), uid_t(-1), group) == 0);
        QVERIFY(::chmod(fileName.constData(), 0664) == 0);
    } else if (setup == QLatin1String("owner")) {
        QVERIFY(::chown(fileName.constData(), 65534, 65534) == 0);
        QVERIFY(::chmod(fileName.constData(), 0640) == 0);
    } else if (setup == QLatin1String("hard link")) {
        QVERIFY(::link(fileName.constData(), QFile::encodeName(secondName).constData()) == 0);
    } else if (setup == QLatin1String("read-only folder")) {
        makeReadOnlyFolder(program, undo);
    } else if (setup == QLatin1String("link read-only")) {
        makeReadOnlyFolder(other, undo);
    } else if (setup.endsWith(QLatin1String("0444"))) {
        QVERIFY(::chmod(fileName.constData(), 0444) == 0);
        undo.steps.append([fileName] { ::chmod(fileName.constData(), 0644); });
    } else if (setup.startsWith(QLatin1String("immutable")) ||
               setup == QLatin1String("cut short")) {
        const QString which = setup == QLatin1String("immutable file") ? file : program;
        if (!setImmutable(which, true))
            QSKIP("this file system cannot make a file or folder immutable");
        undo.steps.append([which] { setImmutable(which, false); });
    }
    if (setup == QLatin1String("cut short")) {
        // Only the file may be written, and the disk takes 16 octets of it.
        rlimit limit{};
        ::getrlimit(RLIMIT_FSIZE, &limit);
        const rlimit old = limit;
        const auto oldSignal = std::signal(SIGXFSZ, SIG_IGN);
        undo.steps.append([old, oldSignal] {
            ::setrlimit(RLIMIT_FSIZE, &old);
            std::signal(SIGXFSZ, oldSignal);
        });
        limit.rlim_cur = 16;
        QVERIFY(::setrlimit(RLIMIT_FSIZE, &limit) == 0);
    }
    seams::setProgramDirectory(program);
    const QByteArray bytesBefore = readAll(file);
    const struct stat before = statOf(file);

    const PortSettingsValues written{7, 3, 4800, 11, -12};
    QString error;
    const bool saved = writePortSettings(written, &error);

    const struct stat after = statOf(file);
    QCOMPARE(after.st_uid, before.st_uid);
    QCOMPARE(after.st_gid, before.st_gid);
    QCOMPARE(after.st_mode, before.st_mode);
    // A new file where one can be made that keeps all three, else in place.
    QCOMPARE(after.st_ino == before.st_ino, outcome != QLatin1String("atomic"));
    QCOMPARE(QFileInfo(program + QStringLiteral("/KTR.INI")).isSymLink(), linked);
    QCOMPARE(hiddenEntries(program), QStringList());
    QCOMPARE(hiddenEntries(QFileInfo(file).path()), QStringList());
    QVERIFY(seams.messages.isEmpty());
    if (told.isEmpty()) {
        QVERIFY2(saved, qPrintable(error));
        QCOMPARE(readAll(file), formatSettingsText(written));
        if (setup == QLatin1String("hard link"))
            QCOMPARE(readAll(secondName), formatSettingsText(written));
        QVERIFY(LoadPortSettings());
        QCOMPARE(Others::PortNumber, int16_t(7));
        return;
    }
    QVERIFY(!saved);
    QVERIFY2(error.startsWith(QStringLiteral("The settings file %1")
                                  .arg(shown(program + QStringLiteral("/KTR.INI")))),
             qPrintable(error));
    QVERIFY2(error.contains(told), qPrintable(error));
    if (outcome == QLatin1String("damaged")) {
        // The operator is told what the file must hold.
        QVERIFY2(error.endsWith(QStringLiteral("The file may be damaged. Before the program is "
                                               "started again it must hold these five lines:\n\n") +
                                linesOf(formatSettingsText(written))),
                 qPrintable(error));
    } else {
        QVERIFY2(error.endsWith(QStringLiteral("\nThe old settings are unchanged.")),
                 qPrintable(error));
        QCOMPARE(readAll(file), bytesBefore);
    }
}

void TestSettingsFile::writersShareTheLock_data() {
    QTest::addColumn<bool>("portOnly"); // scan --save's writer, else the dialog's
    QTest::addColumn<int>("holdMs");    // how long another writer holds the lock
    QTest::newRow("the dialog's writer waits for the lock") << false << 300;
    QTest::newRow("the port-only writer reads the file after the lock") << true << 300;
    QTest::newRow("a lock kept past the wait: nothing written")
        << false << kSettingsLockWaitMs + 2000;
}

// Another writer holds the lock (flock on the program folder) and changes
// the file before it lets go.
void TestSettingsFile::writersShareTheLock() {
    QFETCH(bool, portOnly);
    QFETCH(int, holdMs);
    const QString ini = QDir(dir_->path()).filePath("KTR.INI");
    const QByteArray before = formatSettingsText({1, 0, 9600, 0, 0});
    writeFile(ini, before);
    const int folder =
        ::open(QFile::encodeName(dir_->path()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    QVERIFY(folder >= 0);
    QCOMPARE(::flock(folder, LOCK_EX), 0);

    std::atomic<bool> done{false};
    bool saved = false;
    QString error;
    std::thread writer([&] {
        saved =
            portOnly ? writePortNumber(5, &error) : writePortSettings({5, 0, 9600, 0, 0}, &error);
        done = true;
    });
    QElapsedTimer clock;
    clock.start();
    while (!done && clock.elapsed() < holdMs)
        QThread::msleep(5);
    const bool waited = !done;
    const QByteArray unchanged = readAll(ini);
    writeFile(ini, formatSettingsText({1, 2, 19200, 0, 0}));
    ::close(folder);
    writer.join();

    if (holdMs > kSettingsLockWaitMs) {
        QVERIFY(!saved);
        QCOMPARE(unchanged, before);
        QVERIFY2(error.contains(QStringLiteral("is being written by another program; nothing "
                                               "was written.\nThe old settings are unchanged.")),
                 qPrintable(error));
        return;
    }
    QVERIFY(waited);
    QVERIFY2(saved, qPrintable(error));
    QCOMPARE(readAll(ini), portOnly ? formatSettingsText({5, 2, 19200, 0, 0})
                                    : formatSettingsText({5, 0, 9600, 0, 0}));
}
QTEST_GUILESS_MAIN(TestSettingsFile)
#include "test_settings_file.moc"
