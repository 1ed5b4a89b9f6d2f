#include "Service.h"

#include <QJsonArray>
#include <QLocale>
#include <cmath>
#include <cstdio>
#include <mutex>

void logLine(const QString& text) {
    static std::mutex mutex;
    const QByteArray line = QByteArrayLiteral("ktr6d: ") + text.toUtf8() + '\n';
    std::lock_guard lock(mutex);
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
}

Service::Service(ServiceConfig config, Clock clock)
    : config_(std::move(config)), clock_(std::move(clock)) {
    timer_.setInterval(kCommitMs);
    connect(&timer_, &QTimer::timeout, this, &Service::commit);
}

Service::~Service() {
    stop();
}

bool Service::open(const QString& databasePath, QString* error) {
    if (!store_.open(databasePath, error))
        return false;
    const qint64 now = clock_();
    for (const RelayConfig& relay : config_.relays) {
        if (!store_.addRelay(relay, now, error))
            return false;
        auto inbox = std::make_unique<RelayInbox>(clock_, relay.intervalSeconds);
        // Until its set is read, a relay counts nothing.
        inbox->offline(QStringLiteral("starting"));
        inboxes_.push_back(std::move(inbox));
    }
    pending_.resize(config_.relays.size());
    return true;
}

void Service::setFeed(MqttFeed* feed) {
    feed_ = feed;
    if (!feed_) {
        store_.setClosedHook({});
        return;
    }
    store_.setClosedHook([feed](QSqlDatabase& db, const StoredInterval& interval) {
        return feed->enqueue(db, interval);
    });
}

void Service::start() {
    for (size_t i = 0; i < config_.relays.size(); ++i) {
        auto thread = std::make_unique<QThread>();
        thread->setObjectName(config_.relays[i].name);
        auto* worker = new RelayWorker(config_.relays[i], *inboxes_[i], logLine,
                                       store_.isPaused(config_.relays[i].name));
        worker->moveToThread(thread.get());
        connect(thread.get(), &QThread::started, worker, &RelayWorker::start);
        connect(thread.get(), &QThread::finished, worker, &QObject::deleteLater);
        thread->start();
        workers_.push_back(worker);
        threads_.push_back(std::move(thread));
    }
    // What the database holds goes out at once: the totals, the relays
    // "offline" until their sets are read, the discovery entries.
    publish();
    timer_.start();
}

bool Service::stop() {
    // Once: a commit after this one (the destructor's) could close
    // intervals after the feed has stopped, and leave them in its outbox.
    if (stopped_)
        return storing_;
    stopped_ = true;
    timer_.stop();
    for (RelayWorker* worker : workers_)
        worker->requestStop();
    for (size_t i = 0; i < threads_.size(); ++i) {
        QMetaObject::invokeMethod(workers_[i], &RelayWorker::finish, Qt::BlockingQueuedConnection);
        threads_[i]->quit();
        threads_[i]->wait();
    }
    workers_.clear();
    threads_.clear();
    if (inboxes_.empty())
        return true;
    commit();
    return storing_;
}

void Service::commit() {
    std::vector<qint64> now(inboxes_.size());
    for (size_t i = 0; i < inboxes_.size(); ++i)
        mergeBatch(pending_[i], inboxes_[i]->take(&now[i]));
    QString error;
    const bool stored = store_.commit(pending_, now, &error);
    if (stored != storing_) {
        logLine(stored ? QStringLiteral("the database is written again; what was counted "
                                        "meanwhile is stored")
                       : QStringLiteral("cannot write the database (%1): not storing, counting "
                                        "on in memory")
                             .arg(error));
        storing_ = stored;
    }
    if (stored && feed_)
        feed_->committed();
    publish();
}

RelayStatus Service::relayStatus(size_t relay) const {
    const RelayInbox& inbox = *inboxes_[relay];
    if (inbox.isOffline())
        return inbox.reason() == QLatin1String("paused") ? RelayStatus::Paused
                                                         : RelayStatus::Offline;
    return storing_ ? RelayStatus::Counting : RelayStatus::NotStoring;
}

void Service::publish() {
    if (!feed_)
        return;
    for (size_t i = 0; i < config_.relays.size() && i < inboxes_.size(); ++i) {
        const RelayConfig& relay = config_.relays[i];
        feed_->describe(relay, store_.currentSet(relay.name));
        feed_->update(relay.name, relayStatus(i),
                      store_.totals(relay.name).value_or(std::array<double, kServiceChannels>{}));
    }
}

namespace {

QJsonObject failure(int code, const QString& error) {
    return {{"ok", false}, {"code", code}, {"error", error}};
}

} // namespace

int Service::indexOf(const QString& name) const {
    for (size_t i = 0; i < config_.relays.size(); ++i) {
        if (config_.relays[i].name == name)
            return int(i);
    }
    return -1;
}

void Service::handle(const QString& request, const ControlServer::Reply& reply) {
    const QStringList words = request.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    const QString verb = words.value(0);
    if (verb == QLatin1String("status") && words.size() == 1) {
        reply(status());
        return;
    }
    if (verb == QLatin1String("set-total") && words.size() == 4) {
        reply(setTotal(words));
        return;
    }
    if ((verb != QLatin1String("pause") && verb != QLatin1String("resume")) || words.size() != 2) {
        reply(failure(2, QStringLiteral("not a request: \"%1\"").arg(request)));
        return;
    }
    const int relay = indexOf(words[1]);
    if (relay >= 0 && workers_.empty()) {
        reply(failure(1, QStringLiteral("the service is stopping")));
        return;
    }
    if (relay < 0 || size_t(relay) >= workers_.size()) {
        reply(failure(2, QStringLiteral("no relay \"%1\" in the configuration").arg(words[1])));
        return;
    }
    if (verb == QLatin1String("pause"))
        pause(relay, reply);
    else
        resume(relay, reply);
}

QJsonObject Service::status() const {
    QJsonArray relays;
    for (size_t i = 0; i < config_.relays.size(); ++i) {
        const QString& name = config_.relays[i].name;
        const RelayInbox& inbox = *inboxes_[i];
        const bool offline = inbox.isOffline();
        const QString reason = inbox.reason();
        QJsonObject relay{{"relay", name},
                          {"state", !offline                            ? "counting"
                                    : reason == QLatin1String("paused") ? "paused"
                                                                        : "offline"},
                          {"since", inbox.since() ? utcText(inbox.since() / 1000) : QString()},
                          {"storing", storing_}};
        if (offline)
            relay.insert(QStringLiteral("reason"), reason);
        QJsonArray totals;
        for (double total : store_.totals(name).value_or(std::array<double, kServiceChannels>{}))
            totals.append(total);
        relay.insert(QStringLiteral("totals"), totals);
        relays.append(relay);
    }
    return {{"ok", true}, {"relays", relays}};
}

void Service::pause(int relay, const ControlServer::Reply& reply) {
    const QString name = config_.relays[size_t(relay)].name;
    QString error;
    const bool stored = store_.setPaused(name, true, &error);
    RelayWorker* worker = workers_[size_t(relay)];
    // The answer goes once the worker has closed the port.
    QMetaObject::invokeMethod(worker, [this, worker, reply, stored, error] {
        worker->pause();
        QMetaObject::invokeMethod(this, [reply, stored, error] {
            QJsonObject answer{{"ok", true}};
            if (!stored)
                answer.insert(
                    QStringLiteral("note"),
                    QStringLiteral("paused, but not stored (%1): a restart resumes it").arg(error));
            reply(answer);
        });
    });
}

void Service::resume(int relay, const ControlServer::Reply& reply) {
    const QString name = config_.relays[size_t(relay)].name;
    QString error;
    store_.setPaused(name, false, &error);
    RelayWorker* worker = workers_[size_t(relay)];
    RelayInbox* inbox = inboxes_[size_t(relay)].get();
    QMetaObject::invokeMethod(worker, [this, worker, inbox, reply] {
        worker->resume();
        const bool counting = worker->counting();
        const QString why = inbox->reason();
        QMetaObject::invokeMethod(this, [reply, counting, why] {
            reply(counting ? QJsonObject{{"ok", true}}
                           : failure(1, QStringLiteral("not counting: %1").arg(why)));
        });
    });
}

QJsonObject Service::setTotal(const QStringList& words) {
    const int relay = indexOf(words[1]);
    bool channelOk = false;
    bool valueOk = false;
    const int channel = words[2].toInt(&channelOk);
    const double value = QLocale::c().toDouble(words[3], &valueOk);
    if (relay < 0)
        return failure(2, QStringLiteral("no relay \"%1\" in the configuration").arg(words[1]));
    if (!channelOk || channel < 1 || channel > kServiceChannels || !valueOk ||
        !std::isfinite(value))
        return failure(2, QStringLiteral("set-total wants NAME, CHANNEL 1..8 and a number"));
    // What was counted up to now is stored first: the new total replaces it.
    commit();
    QString error;
    const auto was = store_.totals(words[1]);
    if (!storing_ || !was || !store_.adjust(words[1], channel - 1, value, clock_(), &error))
        return failure(1, QStringLiteral("the total was not set: the database cannot be written "
                                         "now (%1)")
                              .arg(error.isEmpty() ? QStringLiteral("not storing") : error));
    publish();
    logLine(
        QStringLiteral("%1: channel %2 set to %3 by hand").arg(words[1]).arg(channel).arg(value));
    return {{"ok", true}, {"total", value}, {"was", (*was)[size_t(channel - 1)]}};
}
