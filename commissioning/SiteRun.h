#pragma once
// A site's relays all at the same time: each relay's exchange on a thread of
// its own, with its own port object (made on that thread), its own stop and
// its own pause; what each leaves behind (its record) made on the calling
// thread, one relay after another as they finish. What a relay's run is
// (a commission, an audit) is the job a factory makes for it.

#include "SiteFile.h"

#include "core/Seams.h"
#include "serial/SettingsText.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

class MSComm;

// How a relay's run ended, for the site's counts and exit status.
enum class RelayVerdict {
    Good,    // verified, unchanged, matches
    Differs, // not verified, differs
    Failed,  // the device or the port failed
    Stopped, // a stop came before anything was written: no record
};

// One relay's line of the site summary, and what its files came to.
struct RelayResult {
    QString label;
    int port = 0;
    QString portText; // "COM4 (/dev/ttyUSB0)"
    QString firmware; // as the device reported it; empty when never read
    RelayVerdict verdict = RelayVerdict::Failed;
    QString outcome; // "verified", ..., "stopped before writing"
    QString detail;  // why it failed, what differs; empty when nothing to add
    QString written; // "IN 1 1/25, IN 2 33/5, ..., output 10", or what was not
    QString record;  // the record PDF's file name; empty when there is none
    QByteArray recordSha256;
    QByteArray planSha256;
    QStringList placed; // the files placed, in order (the PDF, its twin)
    QString warning;
    QStringList errors; // files that could not be written
};

// One relay's run in a site run.
class RelayJob {
public:
    virtual ~RelayJob() = default;
    // On the calling thread, before any port is opened: what the run will
    // write can be written. *error says why not.
    virtual bool prepare(QString* error) = 0;
    // On the relay's own thread, with its port configured and closed.
    virtual void exchange(MSComm& port, const Pause& pause, StopRequest* stop) = 0;
    // On the calling thread once exchange() has returned: the files, the result.
    virtual RelayResult finish() = 0;
};

using RelayJobFactory = std::function<std::unique_ptr<RelayJob>(const SiteRelay& relay)>;

struct SiteRunHooks {
    RelayJobFactory makeJob;
    // Called on the relay's thread; the thread owns and destroys the object.
    std::function<std::unique_ptr<MSComm>()> makePort;
    // The pause of the run stop asks to stop (it may end a pause early).
    std::function<Pause(StopRequest* stop)> makePause;
    // Each relay's stop, before any thread starts and after all have ended.
    std::function<void(StopRequest* stop)> watch;
    std::function<void(StopRequest* stop)> unwatch;
    // On the calling thread as each relay finishes.
    std::function<void(const RelayResult& result)> finished;
};

// What every relay's job of one site run shares.
struct SiteSetup {
    QString site;       // the site's name: on every record
    QString technician; // empty: not given
    QString folder;     // where the records go
    QString journal;    // empty: no journal
    QDateTime start;    // names every record
};

// The folder a site run leaves its files in: given, an existing empty folder
// or a new one (its parent must exist); not given, a new folder
// ktr6-site-YYYYMMDD-HHMMSS beside the site file. Made here. *created says
// whether it was made (so that a run refused later can take it back).
// Nothing, with *error, when it cannot be used.
std::optional<QString> siteFolder(const QString& given, const QString& siteFile,
                                  const QDateTime& start, bool* created, QString* error);

// The relays' jobs, made and prepared; *error names the relay whose job
// cannot be prepared (then nothing is run).
std::vector<std::unique_ptr<RelayJob>> prepareSite(const SiteFile& site,
                                                   const RelayJobFactory& makeJob, QString* error);

// Runs the prepared jobs, relay i with the settings file's values, its own
// port number and, where it gives them, its own baud rate and handshaking.
// Returns the results in the site file's order.
QList<RelayResult> runSite(const SiteFile& site, const PortSettingsValues& settings,
                           std::vector<std::unique_ptr<RelayJob>>& jobs, const SiteRunHooks& hooks);

// The line settings relay gets: the settings file's, with its port number
// and its own baud rate and handshaking where it names them.
PortSettingsValues relaySettings(const PortSettingsValues& settings, const SiteRelay& relay);

// "IN 1 1/25, IN 2 -33/5, IN 3 0/1, ..., output 10": a set as one line.
QString compactSetLine(const ParameterSet& set);
