// ktr6ctl: the parameter read, write and on-line watch of the desktop tool,
// from the command line, with the same settings file and port mapping.

#include "Coefficient.h"
#include "Commission.h"
#include "CtlCommand.h"
#include "Monitor.h"
#include "ParameterJson.h"
#include "Record.h"
#include "RecordFiles.h"
#include "RecordPdf.h"
#include "Scan.h"
#include "StopSignals.h"
#include "app/Others.h"
#include "app/Seams.h"
#include "app/Version.h"
#include "protocol/ParameterBlock.h"
#include "serial/QtSerialComm.h"
#include "serial/SettingsFile.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QLocale>
#include <QSysInfo>
#include <QTextStream>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <unistd.h>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitDevice = 1;
constexpr int kExitUsage = 2;
constexpr int kExitDiffers = 3; // diff: the device holds another set; commission: not verified
constexpr int kExitRecord = 4;  // commission: the record or the journal could not be written

void printErr(const QString& text) {
    QTextStream err(stderr);
    err << text;
    if (!text.endsWith(QLatin1Char('\n')))
        err << '\n';
}

// What is under way when a stop signal comes.
bool watching = false;  // the monitor command, from its first read on
bool writing = false;   // a parameter write, until it has returned
bool blockSent = false; // ... and its port has been closed after the block

// Closes the port, as an ordinary end of the program would, and exits.
[[noreturn]] void stopNow() {
    const int signo = stopsignals::received();
    try {
        MSComm& port = MSComm1();
        if (port.PortOpen()) {
            try {
                port.RTSEnable(false);
            } catch (const std::exception&) {
            }
            port.PortOpen(false);
        }
    } catch (const std::exception&) {
        // A port that broke on its own has nothing left to release.
    }
    if (writing && blockSent)
        printErr(QStringLiteral("ktr6ctl: stopped; the parameters were sent but not verified."));
    std::fflush(stdout);
    std::exit(stopsignals::exitStatus(signo, watching));
}

void stopIfSignalled() {
    if (stopsignals::received())
        stopNow();
}

// The transactions' pauses. A stop signal ends the program from here; during
// a write not before the port has been closed after the block, so the device
// never gets half a block.
void pauseOrStop(int ms) {
    if (writing && !MSComm1().PortOpen())
        blockSent = true;
    const bool mayStop = !writing || blockSent;
    if (stopsignals::sleep(ms, mayStop) && mayStop)
        stopNow();
}

// Standard output is what a script takes the result from: a write that fails
// (a full disk, a closed file) fails the command instead of losing the result.
int writeOutput(const QByteArray& bytes) {
    if (std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout) == size_t(bytes.size()) &&
        std::fflush(stdout) == 0)
        return kExitOk;
    if (errno == EPIPE) // the reader has gone: nothing to tell it
        return stopsignals::exitStatus(SIGPIPE, watching);
    printErr(QStringLiteral("ktr6ctl: cannot write the output: %1")
                 .arg(QString::fromLocal8Bit(std::strerror(errno))));
    return kExitDevice;
}

// Message boxes become "TITLE: text" lines on stderr (until quiet() is
// called); the texts are kept so the outcome of a write can be told from
// what it showed.
class MessageLog {
public:
    void bind() {
        seams::bindMessage([this](const QString& text, const QString& title, MsgIcon) {
            texts_ << text;
            QString shown = text;
            shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
            if (!quiet_)
                printErr(title.trimmed() + QStringLiteral(": ") + shown);
        });
    }
    void quiet() { quiet_ = true; }
    bool showed(const QString& text) const { return texts_.contains(text); }
    bool empty() const { return texts_.isEmpty(); }

private:
    QStringList texts_;
    bool quiet_ = false;
};

// The "ERROR" box tells only that the link failed; a person at a terminal
// also learns which port, which device and why.
void explainPortError(const MSComm& port) {
    if (!Others::LastPortError.isEmpty())
        printErr(QStringLiteral("ktr6ctl: ") + readFailure(port, true));
}

// The read as the desktop tool runs it; a silent failure gets a line of its
// own, since a person at a terminal otherwise sees nothing at all.
bool readParameters(const MSComm& port, const MessageLog& log) {
    ReadParameterBlock();
    if (!Others::ReadFailed)
        return true;
    if (log.empty())
        printErr(QStringLiteral("ktr6ctl: ") + readFailure(port, false));
    else
        explainPortError(port);
    return false;
}

// The write as the desktop tool runs it, with its verifying read. A stop
// signal ends the program only once the block has gone out whole. Returns
// whether it has.
bool sendParameters(const EditorFields& fields) {
    writing = true;
    blockSent = false;
    WriteParameterBlock(fields);
    writing = false;
    stopIfSignalled();
    return blockSent;
}

// A parameter file is a few hundred bytes. Anything larger is refused whole
// before it is parsed, so a stray file or an endless stream is never taken in part.
constexpr qint64 kParameterFileLimit = 1024 * 1024;

std::optional<QByteArray> readParameterFile(const QString& file) {
    const bool fromStdin = file == QLatin1String("-");
    const QString name = fromStdin ? QStringLiteral("standard input") : file;
    QFile in;
    bool opened = false;
    if (fromStdin) {
        opened = in.open(STDIN_FILENO, QIODevice::ReadOnly, QFileDevice::DontCloseHandle);
    } else {
        in.setFileName(file);
        opened = in.open(QIODevice::ReadOnly);
    }
    if (!opened) {
        printErr(QStringLiteral("ktr6ctl: cannot read %1: %2").arg(name, in.errorString()));
        return std::nullopt;
    }
    // To the end: a pipe hands over what its writer has written so far, which
    // may be part of the set.
    QByteArray json;
    for (;;) {
        const QByteArray chunk = in.read(kParameterFileLimit + 1 - json.size());
        if (chunk.isEmpty())
            break;
        json += chunk;
        if (json.size() > kParameterFileLimit) {
            printErr(QStringLiteral("ktr6ctl: %1 holds more than 1 MiB (%2 bytes), too much for "
                                    "a parameter set; nothing was sent.")
                         .arg(name, QString::number(kParameterFileLimit)));
            return std::nullopt;
        }
    }
    if (in.error() != QFileDevice::NoError) {
        printErr(QStringLiteral("ktr6ctl: cannot read %1: %2").arg(name, in.errorString()));
        return std::nullopt;
    }
    return json;
}

// The parameter file of write, diff and commission, checked whole before
// the port is touched, so a bad file never sends anything.
std::optional<ParameterPlan> loadPlan(const QString& file) {
    const auto json = readParameterFile(file);
    if (!json)
        return std::nullopt;
    QString error;
    auto plan = parameterPlanFromJson(*json, &error);
    if (!plan)
        printErr(
            QStringLiteral("ktr6ctl: %1: %2; nothing was sent.")
                .arg(file == QLatin1String("-") ? QStringLiteral("standard input") : file, error));
    return plan;
}

int runWrite(const EditorFields& fields, const MSComm& port, const MessageLog& log) {
    sendParameters(fields);
    if (log.showed(kWriteVerifiedText))
        return kExitOk;
    if (Others::ReadFailed && log.empty())
        printErr(QStringLiteral("ktr6ctl: the parameters were sent, but the device on %1 did not "
                                "answer the read that verifies them.")
                     .arg(portDescription(port)));
    else if (Others::ReadFailed)
        explainPortError(port);
    else if (log.showed(kPortErrorText))
        printErr(QStringLiteral("ktr6ctl: the device on %1 reports other values than were written.")
                     .arg(portDescription(port)));
    return Others::ReadFailed || log.showed(kPortErrorText) ? kExitDevice : kExitUsage;
}

// The shortest text that reads back as the same double, "." in every locale.
QString numberText(double value) {
    return QString::number(value, 'g', QLocale::FloatingPointShortest);
}

int runCoefficient(const CtlOptions& options) {
    QString error;
    const auto amount = parseAmount(options.amount, &error);
    if (!amount) {
        printErr(QStringLiteral("ktr6ctl: ") + error);
        return kExitUsage;
    }
    const FractionFit fit =
        bestFraction(*amount, uint32_t(options.maxNumerator), uint32_t(options.maxDivisor));
    const QString numerator = QString::number(fit.numerator);
    const QString divisor = QString::number(fit.divisor);
    const QString text =
        options.json
            ? QStringLiteral(
                  "{\"numerator\":%1,\"divisor\":%2,\"value\":%3,\"relative_error\":%4}\n")
                  .arg(numerator, divisor, numberText(fit.value), numberText(fit.relativeError))
            : QStringLiteral("Amount          %1\nNumerator       %2\nDivisor         %3\n"
                             "Value           %4\nRelative error  %5\n")
                  .arg(options.amount.trimmed(), numerator, divisor, numberText(fit.value),
                       numberText(fit.relativeError));
    const int status = writeOutput(text.toUtf8());
    if (fit.outOfReach)
        printErr(QStringLiteral("ktr6ctl: warning: %1 is out of the device's reach with numerators "
                                "1..%2 and divisors 1..%3: the closest fraction, %4/%5, is off by "
                                "a relative error of %6.")
                     .arg(options.amount.trimmed(), QString::number(options.maxNumerator),
                          QString::number(options.maxDivisor), numerator, divisor,
                          numberText(fit.relativeError)));
    return status;
}

// The differences go to stdout, one a line, for a script or a person to
// read; stderr says in one line what was compared with what.
int runDiff(const ParameterSet& fileSet, const QString& fileName, const MSComm& port,
            const MessageLog& log) {
    const bool read = readParameters(port, log);
    stopIfSignalled();
    if (!read)
        return kExitDevice;
    const QStringList differences = parameterSetDifferences(currentParameterSet(), fileSet);
    const int status =
        writeOutput(differences.isEmpty() ? QByteArray()
                                          : (differences.join(QLatin1Char('\n')) + '\n').toUtf8());
    if (status != kExitOk)
        return status;
    if (differences.isEmpty()) {
        printErr(QStringLiteral("ktr6ctl: the device on %1 holds the set in %2.")
                     .arg(portDescription(port), fileName));
        return kExitOk;
    }
    printErr(
        QStringLiteral("ktr6ctl: the device on %1 holds another set than %2: %3.")
            .arg(portDescription(port), fileName,
                 differences.size() == 1
                     ? QStringLiteral("1 difference")
                     : QStringLiteral("%1 differences").arg(QString::number(differences.size()))));
    return kExitDiffers;
}

// ---- commission -----------------------------------------------------------

// Qt's own start-up lines (a missing XDG_RUNTIME_DIR and the like) are not
// the tool's: commission keeps stderr to its own lines.
void dropQtMessages(QtMsgType type, const QMessageLogContext&, const QString& text) {
    if (type == QtFatalMsg)
        printErr(QStringLiteral("ktr6ctl: ") + text);
}

// Drawing the record needs a QGuiApplication. It runs on Qt's offscreen
// platform whatever the environment names, so it starts with no display at
// all (over SSH, in CI); no argument reaches Qt.
std::unique_ptr<QCoreApplication> recordApplication(char* program) {
    qInstallMessageHandler(dropQtMessages);
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qunsetenv("QT_QPA_PLATFORMTHEME");
    static int argc = 1;
    static char* argv[] = {program, nullptr};
    return std::make_unique<QGuiApplication>(argc, argv);
}

// Everything the run will write, checked before the port is opened: both
// record files can be made and neither exists, and the journal is open.
bool prepareRecord(const CtlOptions::Record& options, const RecordPaths& paths,
                   recordfiles::Journal* journal) {
    QString error;
    bool ready =
        recordfiles::canCreate(paths.pdf, &error) && recordfiles::canCreate(paths.json, &error);
    if (ready && !options.journal.isEmpty()) {
        const QString journalPath = QDir::cleanPath(QFileInfo(options.journal).absoluteFilePath());
        if (journalPath == paths.pdf || journalPath == paths.json) {
            error = QStringLiteral("the journal %1 would be the record itself").arg(journalPath);
            ready = false;
        } else {
            ready = journal->open(options.journal, &error);
        }
    }
    if (!ready)
        printErr(QStringLiteral("ktr6ctl: %1; nothing was sent.").arg(error));
    return ready;
}

// The outcome on stderr: it stands whatever becomes of the record.
int reportOutcome(const CommissionRecord& record, const QString& planName) {
    const QString port = portText(record.port);
    switch (record.outcome) {
    case Outcome::Verified:
        printErr(QStringLiteral("ktr6ctl: verified: the device on %1 holds the set in %2.")
                     .arg(port, planName));
        return kExitOk;
    case Outcome::Unchanged:
        printErr(QStringLiteral("ktr6ctl: unchanged: the device on %1 held the set in %2 "
                                "already; nothing was written.")
                     .arg(port, planName));
        return kExitOk;
    case Outcome::NotVerified:
        printErr(record.differences.join(QLatin1Char('\n')));
        printErr(QStringLiteral("ktr6ctl: not verified: after the write the device on %1 holds "
                                "another set than %2: %3.")
                     .arg(port, planName,
                          record.differences.size() == 1
                              ? QStringLiteral("1 difference")
                              : QStringLiteral("%1 differences")
                                    .arg(QString::number(record.differences.size()))));
        return kExitDiffers;
    case Outcome::Failed:
        break;
    }
    printErr(QStringLiteral("ktr6ctl: failed: ") + record.reason);
    return kExitDevice;
}

// The PDF, then its twin, then the journal line; each path on stdout once
// its file is in place. Returns kExitOk, or kExitRecord when a file could
// not be written.
int writeRecord(CommissionRecord& record, const RecordPaths& paths, recordfiles::Journal& journal) {
    record.pdf = paths.pdf;
    QString warning;
    const QByteArray pdf = recordPdf(record, &warning);
    if (!warning.isEmpty())
        printErr(QStringLiteral("ktr6ctl: warning: ") + warning);
    QString error;
    if (pdf.isEmpty())
        error = QStringLiteral("the record could not be drawn");
    else if (recordfiles::writeNewFile(paths.pdf, pdf, &error) != recordfiles::Placed::Written)
        error += QStringLiteral("; no record was written");
    if (!error.isEmpty()) {
        printErr(QStringLiteral("ktr6ctl: ") + error + QLatin1Char('.'));
        return kExitRecord;
    }
    int status = writeOutput((paths.pdf + QLatin1Char('\n')).toUtf8());
    record.pdfSha256 = QCryptographicHash::hash(pdf, QCryptographicHash::Sha256).toHex();
    if (recordfiles::writeNewFile(paths.json, recordJson(record), &error) !=
        recordfiles::Placed::Written) {
        printErr(QStringLiteral("ktr6ctl: %1; the record %2 has no twin.").arg(error, paths.pdf));
        status = kExitRecord;
    } else if (status == kExitOk) {
        status = writeOutput((paths.json + QLatin1Char('\n')).toUtf8());
    }
    if (journal.isOpen() && !journal.append(journalLine(record), &error)) {
        printErr(QStringLiteral("ktr6ctl: %1.").arg(error));
        status = kExitRecord;
    }
    // Paths that could not be printed (a full disk) are a record not
    // reported, not a device that failed.
    return status == kExitDevice ? kExitRecord : status;
}

int runCommission(const CtlOptions& options, const ParameterPlan& plan, const QDateTime& start,
                  MSComm& port, MessageLog& log) {
    QString error;
    const auto paths = recordPaths(options.record.pdf, start, port.CommPort(), &error);
    recordfiles::Journal journal;
    if (!paths) {
        printErr(QStringLiteral("ktr6ctl: ") + error);
        return kExitUsage;
    }
    if (!prepareRecord(options.record, *paths, &journal))
        return kExitUsage;

    // The write's own message boxes are the desktop tool's; the outcome is
    // told below.
    log.quiet();
    const CommissionSteps steps{[] {
                                    ReadParameterBlock();
                                    stopIfSignalled();
                                },
                                [](const EditorFields& fields) { return sendParameters(fields); },
                                [&log] { return !log.empty(); }};
    const DeviceOutcome device = commissionDevice(plan, port, steps);

    CommissionRecord record;
    record.time = start;
    record.site = options.record.site;
    record.relay = options.record.relay;
    record.technician = options.record.technician;
    record.host = QSysInfo::machineHostName();
    record.version = programVersion();
    record.port = {port.CommPort(), port.DeviceFor(port.CommPort()), port.Settings(),
                   port.Handshaking()};
    record.outcome = device.outcome;
    record.reason = device.reason;
    record.differences = device.differences;
    record.before = device.before;
    record.after = device.after;
    record.plan = plan;

    const int status =
        reportOutcome(record, options.file == QLatin1String("-") ? QStringLiteral("standard input")
                                                                 : options.file);
    const int written = writeRecord(record, *paths, journal);
    return written == kExitOk ? status : written;
}

} // namespace

int main(int argc, char* argv[]) {
    // The command line is read before any application object exists: a bad
    // one starts nothing, and only commission starts Qt's graphical part.
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const CtlParseResult parsed = parseCommandLine(arguments);
    if (!parsed.options) {
        printErr(QStringLiteral("ktr6ctl: %1\nTry 'ktr6ctl --help'.").arg(parsed.error));
        return kExitUsage;
    }
    const CtlOptions& options = *parsed.options;
    if (options.command == CtlOptions::Command::Help) {
        return writeOutput(usageText(options.helpCommand).toUtf8());
    }
    if (options.command == CtlOptions::Command::Version)
        return writeOutput(versionText().toUtf8());
    // A record names the moment its run began.
    const QDateTime start = QDateTime::currentDateTime();
    const bool commission = options.command == CtlOptions::Command::Commission;
    const std::unique_ptr<QCoreApplication> app =
        commission ? recordApplication(argv[0]) : std::make_unique<QCoreApplication>(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("ktr6ctl"));

    if (options.command == CtlOptions::Command::Coefficient)
        return runCoefficient(options);

    std::optional<ParameterPlan> plan;
    const QString fileName =
        options.file == QLatin1String("-") ? QStringLiteral("standard input") : options.file;
    if (!options.file.isEmpty()) {
        plan = loadPlan(options.file);
        if (!plan)
            return kExitUsage;
    }

    const QString programDir = qEnvironmentVariable("KTR6_PROGRAM_DIR");
    if (!programDir.isEmpty())
        seams::setProgramDirectory(programDir);
    // From here on the port may be opened: a stop signal closes it first.
    stopsignals::install();
    seams::bindSleep(pauseOrStop);
    watching = options.command == CtlOptions::Command::Monitor;
    QtSerialComm port;
    seams::bindPort(&port);
    MessageLog log;
    log.bind();
    if (const QString notice = settingsFileNotice(); !notice.isEmpty())
        printErr(QStringLiteral("ktr6ctl: ") + notice);
    if (options.command == CtlOptions::Command::Scan) {
        const int status = runScanCommand(options.json, options.save, printErr, writeOutput);
        stopIfSignalled();
        return status;
    }
    if (!LoadPortSettings())
        return kExitDevice;
    if (options.port) {
        Others::PortNumber = *options.port;
        port.CommPort(*options.port);
    }

    switch (options.command) {
    case CtlOptions::Command::Read: {
        const bool read = readParameters(port, log);
        stopIfSignalled();
        if (!read)
            return kExitDevice;
        const ParameterSet set = currentParameterSet();
        if (options.json)
            return writeOutput(parameterSetJson(set));
        return writeOutput((QStringLiteral("Device       %1\n").arg(portDescription(port)) +
                            parameterSetReport(set))
                               .toUtf8());
    }
    case CtlOptions::Command::Write:
        return runWrite(plan->fields, port, log);
    case CtlOptions::Command::Monitor: {
        const bool read = readParameters(port, log);
        stopIfSignalled();
        if (!read)
            return kExitDevice;
        printErr(QStringLiteral("ktr6ctl: watching %1, firmware SW %2; Ctrl+C stops.")
                     .arg(portDescription(port), Others::FirmwareVersion));
        Monitor monitor(port, options.count.value_or(0), stdout);
        const int status = monitor.run();
        if (status != kExitOk)
            explainPortError(port);
        return status;
    }
    case CtlOptions::Command::Diff:
        return runDiff(plan->set, fileName, port, log);
    case CtlOptions::Command::Commission:
        return runCommission(options, *plan, start, port, log);
    case CtlOptions::Command::Help:
    case CtlOptions::Command::Version:
    case CtlOptions::Command::Scan:
    case CtlOptions::Command::Coefficient:
        break;
    }
    return kExitOk;
}
