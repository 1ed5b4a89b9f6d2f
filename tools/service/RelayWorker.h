#pragma once
// One relay's watch, on a thread of its own: opens the port, reads the
// parameter set (a blocking exchange with real pauses, which stalls no other
// relay), then counts every record as readyRead delivers it. A lost device
// or a failed read marks the relay offline and the port is tried again
// every 2 s.

#include "RelayInbox.h"
#include "ServiceConfig.h"

#include "core/Seams.h"
#include "protocol/OnlineStream.h"

#include <QObject>
#include <QTimer>
#include <functional>
#include <memory>

class MSComm;

class RelayWorker : public QObject {
    Q_OBJECT
public:
    static constexpr int kRetryMs = 2000;

    // log: one line about the relay's state, for the journal.
    RelayWorker(RelayConfig config, RelayInbox& inbox, std::function<void(const QString&)> log,
                bool paused = false);
    ~RelayWorker() override;

    // On the worker's thread: the first attempt.
    void start();
    // From any thread: ends a parameter read under way at its next pause.
    void requestStop() { stop_.request(); }
    // On the worker's thread: closes the port.
    void finish();
    // On the worker's thread: releases the port for another program (the
    // relay is offline, "paused") and tries it no more until resume().
    void pause();
    // On the worker's thread: takes the port back and reads the set again.
    void resume();
    // On the worker's thread: the set was read and records are counted.
    bool counting() const { return counting_; }

private:
    void attempt();
    void onComm();
    void readWaiting();
    void goOffline(const QString& reason);
    void pause(int ms);

    RelayConfig config_;
    RelayInbox& inbox_;
    std::function<void(const QString&)> log_;
    std::unique_ptr<MSComm> port_;
    QTimer retry_;
    RecordAssembler assembler_;
    ParameterSet set_;
    StopRequest stop_;
    bool counting_ = false;
    bool paused_ = false;
};
