// ktr6ctl: the parameter read, write and on-line watch of the desktop tool,
// from the command line, with the same settings file and port mapping.

#include "Commands.h"
#include "CtlCommand.h"
#include "CtlRun.h"
#include "StopSignals.h"

#include "core/Seams.h"
#include "serial/SettingsFile.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <memory>

namespace {

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

int dispatch(const CtlJob& job, CtlRun& run) {
    switch (job.options.command) {
    case CtlOptions::Command::Read:
        return runRead(job, run);
    case CtlOptions::Command::Write:
        return runWrite(job, run);
    case CtlOptions::Command::Monitor:
        return runMonitor(job, run);
    case CtlOptions::Command::Diff:
        return runDiff(job, run);
    case CtlOptions::Command::Commission:
        return runCommission(job, run);
    case CtlOptions::Command::Audit:
        return runAudit(job, run);
    case CtlOptions::Command::Help:
    case CtlOptions::Command::Version:
    case CtlOptions::Command::Scan:
    case CtlOptions::Command::Coefficient:
    case CtlOptions::Command::SiteCommission:
    case CtlOptions::Command::SiteAudit:
    case CtlOptions::Command::Counts:
    case CtlOptions::Command::Service:
        break;
    }
    return kExitOk;
}

// A site's relays each have a port and a stop of their own.
int runSite(const CtlJob& job) {
    stopsignals::install();
    if (const QString notice = settingsFileNotice(); !notice.isEmpty())
        printErr(QStringLiteral("ktr6ctl: ") + notice);
    return job.options.command == CtlOptions::Command::SiteAudit ? runSiteAudit(job)
                                                                 : runSiteCommission(job);
}

// The commands that talk to the device, once the command line is good.
int runDeviceCommand(CtlJob& job) {
    const bool site = job.options.command == CtlOptions::Command::SiteCommission ||
                      job.options.command == CtlOptions::Command::SiteAudit;
    if (!site && !job.options.file.isEmpty()) {
        job.plan = loadPlan(job.options.file, job.options.tolerance, &job.planSha256);
        if (!job.plan)
            return kExitUsage;
    }
    const QString programDir = qEnvironmentVariable("KTR6_PROGRAM_DIR");
    if (!programDir.isEmpty())
        seams::setProgramDirectory(programDir);
    if (site)
        return runSite(job);
    // From here on the port may be opened: a stop signal closes it first.
    CtlRun run(job.options.command == CtlOptions::Command::Monitor);
    // What the monitor shows as a message box, a terminal shows as a line.
    seams::bindMessage(
        [](const QString& text, const QString& title, MsgIcon) { printNotice(text, title); });
    if (const QString notice = settingsFileNotice(); !notice.isEmpty())
        printErr(QStringLiteral("ktr6ctl: ") + notice);
    if (job.options.command == CtlOptions::Command::Scan) {
        const int status = runScan(job.options);
        run.stopIfSignalled();
        return status;
    }
    if (!run.configurePort(job.options.port))
        return kExitDevice;
    return dispatch(job, run);
}

} // namespace

int main(int argc, char* argv[]) {
    // The command line is read before any application object exists: a bad
    // one starts nothing, and only commission and audit start Qt's graphical
    // part.
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const CtlParseResult parsed = parseCommandLine(arguments);
    if (!parsed.options) {
        printErr(QStringLiteral("ktr6ctl: %1\nTry 'ktr6ctl --help'.").arg(parsed.error));
        return kExitUsage;
    }
    CtlJob job{*parsed.options, std::nullopt, {}, {}};
    if (job.options.command == CtlOptions::Command::Help)
        return writeOutput(usageText(job.options.helpCommand).toUtf8());
    if (job.options.command == CtlOptions::Command::Version)
        return writeOutput(versionText().toUtf8());
    // A record names the moment its run began.
    job.start = QDateTime::currentDateTime();
    // Commission, audit and the site runs draw records.
    const bool record = job.options.command == CtlOptions::Command::Commission ||
                        job.options.command == CtlOptions::Command::Audit ||
                        job.options.command == CtlOptions::Command::SiteCommission ||
                        job.options.command == CtlOptions::Command::SiteAudit;
    const std::unique_ptr<QCoreApplication> app =
        record ? recordApplication(argv[0]) : std::make_unique<QCoreApplication>(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("ktr6ctl"));
    if (job.options.command == CtlOptions::Command::Coefficient)
        return runCoefficient(job.options);
    if (job.options.command == CtlOptions::Command::Counts)
        return runCounts(job.options);
    if (job.options.command == CtlOptions::Command::Service)
        return runService(job.options);
    return runDeviceCommand(job);
}
