#pragma once
// The tool's own on-line path on a real line: a temporary program directory
// with its settings file, the simulated relay on a pseudo-terminal linked
// there as com1, the real port object (QSerialPort) bound as MSComm1 and the
// main window, whose "Status" menu opens the on-line view as the operator
// would. Real pauses, real event loop.

#include "BenchSupport.h"

#include "SimDevice.h"

#include <QObject>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <memory>

class Main;
class MSComm;
class OnLine;
class QtSerialComm;

namespace bench {

class OnlineRig {
public:
    OnlineRig();
    ~OnlineRig();
    OnlineRig(const OnlineRig&) = delete;
    OnlineRig& operator=(const OnlineRig&) = delete;

    // The relay holds params; the settings file names COM1 at baud.
    bool start(const ktr6sim::ParamSet& params, int baud, QString* error);

    ktr6sim::SimDevice& sim() { return *sim_; }
    QtSerialComm& port() { return *port_; }
    Main& mainWindow() { return *main_; }
    DeviceTally& tally() { return tally_; }
    // Every message box the tool raised, as "title: text".
    const QStringList& messages() const { return messages_; }
    QString directory() const { return dir_.path(); }

    // Opens the on-line view through the main window's menu and runs body
    // inside the view's modal loop, then closes the view. False when the view
    // was never shown (its parameter read failed).
    bool withStatusView(const std::function<void(OnLine&)>& body);

    // From now on the port's notifications go to handler instead of the main
    // window (and so the on-line view). For the whole life of this rig.
    void divertNotifications(std::function<void(MSComm&)> handler);

    // Runs the event loop until done() holds (looked at every pollMs) or
    // timeoutMs pass; returns done().
    static bool runUntil(const std::function<bool()>& done, int timeoutMs, int pollMs = 5);

private:
    QTemporaryDir dir_;
    DeviceTally tally_;
    QStringList messages_;
    std::unique_ptr<ktr6sim::SimDevice> sim_;
    std::unique_ptr<QtSerialComm> port_;
    std::unique_ptr<Main> main_;
    QObject divertContext_;
};

// The relay's parameter set as ktr6sim wants it, from rows of
// {sign, numerator, divisor} (sign 1 counts up) and the output value.
ktr6sim::ParamSet relayParams(const std::array<std::array<int, 3>, 6>& rows, int output);

} // namespace bench
