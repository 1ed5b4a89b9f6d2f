// ktr6ctl site commission and site audit: every relay of a site at the same
// time, each with the run of commission (or audit), and one summary to sign. What a site run does
// per relay, and how its summary is headed, is a SiteKind.

#include "Commands.h"
#include "CtlRun.h"
#include "StopSignals.h"
#include "commissioning/SiteCommission.h"
#include "commissioning/SiteSummary.h"

#include "core/Seams.h"
#include "core/Version.h"
#include "serial/PortMap.h"
#include "serial/QtSerialComm.h"
#include "serial/SettingsFile.h"

#include <QDir>
#include <QSysInfo>

namespace {

// The exit status of the relays' outcomes: 1 any failed, 3 any not verified,
// else 0. A relay stopped before writing leaves the signal's status.
int relaysStatus(const QList<RelayResult>& relays) {
    int status = kExitOk;
    for (const RelayResult& relay : relays) {
        if (relay.verdict == RelayVerdict::Failed)
            return kExitDevice;
        if (relay.verdict == RelayVerdict::Differs)
            status = kExitDiffers;
    }
    return status;
}

// Paths on stdout, each once its file is in place (until one cannot be
// printed: *printed); errors on stderr, a warning (a missing font) once for
// the whole run. Returns false when a file was not written.
bool reportFiles(const RelayResult& files, int* printed) {
    static QString warned;
    if (!files.warning.isEmpty() && files.warning != warned) {
        printErr(QStringLiteral("ktr6ctl: warning: ") + files.warning);
        warned = files.warning;
    }
    for (const QString& error : files.errors)
        printErr(QStringLiteral("ktr6ctl: ") + error);
    for (const QString& path : files.placed) {
        if (*printed == kExitOk)
            *printed = writeOutput((path + QLatin1Char('\n')).toUtf8());
    }
    return files.errors.isEmpty();
}

// A relay as it finishes: its files, then one line "label, COM4: outcome".
void relayFinished(const RelayResult& relay, bool* filesOk, int* printed) {
    *filesOk = reportFiles(relay, printed) && *filesOk;
    QString line =
        QStringLiteral("ktr6ctl: %1, %2: %3").arg(relay.label, portName(relay.port), relay.outcome);
    if (!relay.detail.isEmpty())
        line += QStringLiteral(": ") + relay.detail;
    printErr(line);
}

// What kind of run a site run makes of each relay, and its summary's heading.
struct SiteKind {
    QString title;   // "KTR6 site commissioning summary"
    QString kind;    // "commission"
    QString setWord; // the summary's set line: "written"
    RelayJobFactory (*jobs)(const SiteSetup& setup);
    const char* finishing; // on stderr when a stop signal comes during the run
    QString stopped;       // on stderr at the end of a run a stop signal cut short
};

struct SiteContext {
    SiteFile site;
    PortSettingsValues settings;
    QString folder;
    bool madeFolder = false;
};

// Everything checked before any port is opened: the site file, KTR.INI, the
// folder. Returns the exit status when the run cannot start.
std::optional<int> checkSite(const CtlJob& job, SiteContext& context) {
    QString error;
    const auto site =
        readSiteFile(job.options.file, programDirectory(), defaultTolerance(), &error);
    if (!site) {
        printErr(QStringLiteral("ktr6ctl: %1: %2; nothing was sent.").arg(job.options.file, error));
        return kExitUsage;
    }
    context.site = *site;
    const PortSettingsRead read = readPortSettings();
    if (!read.values) {
        printNotice(read.message, QStringLiteral("Error"));
        return kExitDevice;
    }
    context.settings = *read.values;
    const auto folder =
        siteFolder(job.options.record.folder, site->path, job.start, &context.madeFolder, &error);
    if (!folder) {
        printErr(QStringLiteral("ktr6ctl: %1; nothing was sent.").arg(error));
        return kExitUsage;
    }
    context.folder = *folder;
    return std::nullopt;
}

SiteRunHooks runHooks(bool* filesOk, int* printed) {
    SiteRunHooks hooks;
    hooks.makePort = [] { return std::make_unique<QtSerialComm>(); };
    hooks.makePause = [](StopRequest* stop) -> Pause {
        return [stop](int ms) {
            if (stopsignals::sleep(ms, !stop->held()))
                stop->request();
        };
    };
    hooks.watch = [](StopRequest* stop) { stopsignals::watchAlso(stop); };
    hooks.unwatch = [](StopRequest* stop) { stopsignals::unwatch(stop); };
    hooks.finished = [filesOk, printed](const RelayResult& relay) {
        relayFinished(relay, filesOk, printed);
    };
    return hooks;
}

SiteSummary summaryOf(const CtlJob& job, const SiteKind& kind, const SiteContext& context,
                      const QList<RelayResult>& relays) {
    SiteSummary summary;
    summary.title = kind.title;
    summary.kind = kind.kind;
    summary.setWord = kind.setWord;
    summary.site = context.site.site;
    summary.technician = job.options.record.technician;
    summary.time = job.start;
    summary.host = QSysInfo::machineHostName();
    summary.version = programVersion();
    summary.siteFile = context.site.path;
    summary.siteSha256 = context.site.sha256;
    summary.relays = relays;
    summary.pdf = QDir(context.folder).filePath(QStringLiteral("site-summary.pdf"));
    return summary;
}

int runSiteOf(const CtlJob& job, const SiteKind& kind) {
    SiteContext context;
    if (const auto refused = checkSite(job, context))
        return *refused;
    const SiteSetup setup{context.site.site, job.options.record.technician, context.folder,
                          job.options.record.journal, job.start};
    QString error;
    auto jobs = prepareSite(context.site, kind.jobs(setup), &error);
    if (jobs.empty()) {
        if (context.madeFolder)
            QDir().rmdir(context.folder);
        printErr(QStringLiteral("ktr6ctl: ") + error);
        return kExitUsage;
    }
    stopsignals::sayWhenFinishing(kind.finishing);
    bool filesOk = true;
    int printed = kExitOk;
    const QList<RelayResult> relays =
        runSite(context.site, context.settings, jobs, runHooks(&filesOk, &printed));
    stopsignals::finishing();
    RelayResult summaryFiles;
    const RecordWriteResult written = writeSiteSummary(summaryOf(job, kind, context, relays));
    summaryFiles.placed = written.placed;
    summaryFiles.warning = written.warning;
    summaryFiles.errors = written.errors;
    filesOk = reportFiles(summaryFiles, &printed) && filesOk;
    printErr(QStringLiteral("ktr6ctl: site %1: %2 relays: %3.")
                 .arg(context.site.site, QString::number(relays.size()), siteCounts(relays)));
    if (const int signo = stopsignals::received()) {
        printErr(QStringLiteral("ktr6ctl: stopped by a signal; ") + kind.stopped);
        return stopsignals::exitStatus(signo, false);
    }
    if (!filesOk || printed != kExitOk)
        return printed != kExitOk && printed != kExitDevice ? printed : kExitRecord;
    return relaysStatus(relays);
}

} // namespace

int runSiteCommission(const CtlJob& job) {
    return runSiteOf(job,
                     {kSiteCommissionTitle, QStringLiteral("commission"), QStringLiteral("written"),
                      commissionJobs,
                      "ktr6ctl: the relays that have begun writing are being finished; the "
                      "run stops once their records are written.\n",
                      QStringLiteral("the relays that had begun writing were finished first.")});
}

int runSiteAudit(const CtlJob& job) {
    return runSiteOf(job,
                     {kSiteAuditTitle, QStringLiteral("audit"), QStringLiteral("read"), auditJobs,
                      "ktr6ctl: the relays already read are being finished; the run stops "
                      "once their records are written.\n",
                      QStringLiteral("the relays already read were finished first.")});
}
