#pragma once
// ktr6d's running parts: a worker thread per relay, their inboxes, and the
// store committed every 100 ms from the main thread.

#include "ControlServer.h"
#include "CountStore.h"
#include "MqttFeed.h"
#include "RelayInbox.h"
#include "RelayWorker.h"
#include "ServiceConfig.h"

#include <QObject>
#include <QThread>
#include <QTimer>
#include <memory>
#include <vector>

class Service : public QObject {
    Q_OBJECT
public:
    // What is read is committed at least this often.
    static constexpr int kCommitMs = 100;

    Service(ServiceConfig config, Clock clock = systemClock());
    ~Service() override;

    // Opens the database and takes every relay; false with *error when the
    // database cannot be opened or written.
    bool open(const QString& databasePath, QString* error);
    // Publishes through feed (which outlives the service): each closed
    // interval, and after every commit each relay's state and totals. Call
    // before start().
    void setFeed(MqttFeed* feed);
    // Starts the workers and the commits.
    void start();
    // Stops the workers, then commits what they counted, once (later calls
    // do nothing). Returns whether the last commit was stored.
    bool stop();

    // Answers one control request: "status", "pause NAME", "resume NAME".
    void handle(const QString& request, const ControlServer::Reply& reply);

    CountStore& store() { return store_; }
    bool storing() const { return storing_; }

private:
    void commit();
    void publish();
    RelayStatus relayStatus(size_t relay) const;
    int indexOf(const QString& name) const;
    QJsonObject status() const;
    void pause(int relay, const ControlServer::Reply& reply);
    void resume(int relay, const ControlServer::Reply& reply);
    QJsonObject setTotal(const QStringList& words);

    ServiceConfig config_;
    Clock clock_;
    CountStore store_;
    std::vector<std::unique_ptr<RelayInbox>> inboxes_;
    std::vector<RelayWorker*> workers_;
    std::vector<std::unique_ptr<QThread>> threads_;
    std::vector<RelayBatch> pending_;
    QTimer timer_;
    bool storing_ = true;
    bool stopped_ = false;
    MqttFeed* feed_ = nullptr;
};

// One line for the journal (stderr), whole even from several threads.
void logLine(const QString& text);
