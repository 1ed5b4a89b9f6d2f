#include "Service.h"

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

void Service::start() {
    for (size_t i = 0; i < config_.relays.size(); ++i) {
        auto thread = std::make_unique<QThread>();
        thread->setObjectName(config_.relays[i].name);
        auto* worker = new RelayWorker(config_.relays[i], *inboxes_[i], logLine);
        worker->moveToThread(thread.get());
        connect(thread.get(), &QThread::started, worker, &RelayWorker::start);
        connect(thread.get(), &QThread::finished, worker, &QObject::deleteLater);
        thread->start();
        workers_.push_back(worker);
        threads_.push_back(std::move(thread));
    }
    timer_.start();
}

bool Service::stop() {
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
}
