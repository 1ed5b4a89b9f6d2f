#include "SiteRun.h"

#include "serial/MSComm.h"
#include "serial/PortMap.h"

#include <QDir>
#include <QFileInfo>
#include <QThread>
#include <condition_variable>
#include <deque>
#include <mutex>

namespace {

// The relays that have ended their exchange, in the order they ended.
class FinishedQueue {
public:
    void push(size_t relay) {
        {
            std::lock_guard lock(mutex_);
            ended_.push_back(relay);
        }
        ready_.notify_one();
    }
    size_t take() {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [this] { return !ended_.empty(); });
        const size_t relay = ended_.front();
        ended_.pop_front();
        return relay;
    }

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<size_t> ended_;
};

// On the relay's own thread. A job that throws has ended all the same: its
// result says what it got to.
void exchangeOn(RelayJob& job, const PortSettingsValues& values, const SiteRunHooks& hooks,
                StopRequest* stop) {
    try {
        const std::unique_ptr<MSComm> port = hooks.makePort();
        applyPortSettings(*port, values);
        job.exchange(*port, hooks.makePause(stop), stop);
    } catch (...) {
    }
}

bool isEmptyFolder(const QString& path) {
    return QDir(path).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System |
                              QDir::NoDotAndDotDot);
}

} // namespace

PortSettingsValues relaySettings(const PortSettingsValues& settings, const SiteRelay& relay) {
    PortSettingsValues values = settings;
    values.portNumber = relay.port;
    values.baudRate = relay.baud.value_or(settings.baudRate);
    values.handshakeMode = relay.handshaking.value_or(settings.handshakeMode);
    return values;
}

std::vector<std::unique_ptr<RelayJob>> prepareSite(const SiteFile& site,
                                                   const RelayJobFactory& makeJob, QString* error) {
    std::vector<std::unique_ptr<RelayJob>> jobs;
    for (const SiteRelay& relay : site.relays) {
        jobs.push_back(makeJob(relay));
        QString why;
        if (!jobs.back()->prepare(&why)) {
            *error = QStringLiteral("relay %1 (%2): %3")
                         .arg(QString::number(jobs.size()), relay.label, why);
            return {};
        }
    }
    return jobs;
}

QList<RelayResult> runSite(const SiteFile& site, const PortSettingsValues& settings,
                           std::vector<std::unique_ptr<RelayJob>>& jobs,
                           const SiteRunHooks& hooks) {
    const size_t count = jobs.size();
    std::vector<std::unique_ptr<StopRequest>> stops;
    for (size_t i = 0; i < count; ++i) {
        stops.push_back(std::make_unique<StopRequest>());
        hooks.watch(stops.back().get());
    }
    FinishedQueue ended;
    std::vector<std::unique_ptr<QThread>> threads;
    for (size_t i = 0; i < count; ++i) {
        RelayJob* job = jobs[i].get();
        StopRequest* stop = stops[i].get();
        const PortSettingsValues values = relaySettings(settings, site.relays[qsizetype(i)]);
        threads.emplace_back(QThread::create([job, values, &hooks, stop, &ended, i] {
            exchangeOn(*job, values, hooks, stop);
            ended.push(i);
        }));
        threads.back()->start();
    }
    std::vector<RelayResult> results(count);
    for (size_t n = 0; n < count; ++n) {
        const size_t i = ended.take();
        results[i] = jobs[i]->finish();
        hooks.finished(results[i]);
    }
    for (const auto& thread : threads)
        thread->wait();
    for (const auto& stop : stops)
        hooks.unwatch(stop.get());
    return QList<RelayResult>(results.begin(), results.end());
}

QString compactSetLine(const ParameterSet& set) {
    QStringList parts;
    for (int i = 0; i < Others::kInputs; ++i) {
        const auto& row = set.table[size_t(i)];
        const bool minus = row[Others::kSignColumn] != 1;
        parts << QStringLiteral("IN %1 %2%3/%4")
                     .arg(QString::number(i + 1), minus ? QStringLiteral("-") : QString(),
                          QString::number(row[Others::kNumeratorColumn]),
                          QString::number(row[Others::kDivisorColumn]));
    }
    parts << QStringLiteral("output %1").arg(QString::number(set.output));
    return parts.join(QStringLiteral(", "));
}

std::optional<QString> siteFolder(const QString& given, const QString& siteFile,
                                  const QDateTime& start, bool* created, QString* error) {
    *created = false;
    QString folder = given;
    if (folder.isEmpty())
        folder = QFileInfo(siteFile).absoluteDir().filePath(
            QStringLiteral("ktr6-site-") + start.toString(QStringLiteral("yyyyMMdd-HHmmss")));
    folder = QDir::cleanPath(QFileInfo(folder).absoluteFilePath());
    const QFileInfo info(folder);
    if (info.exists() || info.isSymLink()) {
        if (given.isEmpty() || !info.isDir())
            *error = QStringLiteral("%1 exists already; a site run wants a new or an empty folder")
                         .arg(QDir::toNativeSeparators(folder));
        else if (!isEmptyFolder(folder))
            *error = QStringLiteral("the folder %1 is not empty; a site run leaves its files in "
                                    "an empty one")
                         .arg(QDir::toNativeSeparators(folder));
        return error->isEmpty() ? std::optional<QString>(folder) : std::nullopt;
    }
    if (!QDir().mkdir(folder)) {
        *error = QStringLiteral("cannot make the folder %1").arg(QDir::toNativeSeparators(folder));
        return std::nullopt;
    }
    *created = true;
    return folder;
}
