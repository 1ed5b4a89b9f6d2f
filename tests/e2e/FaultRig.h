#pragma once
// The whole tool as the operator runs it, minus the screen: a program
// directory with its settings file, a relay on a pty linked as comN in it,
// the real port object and the main window, every message box recorded.
// Sleeps are real, so the relay answers in real time.

#include "SimDevice.h"
#include "app/Main.h"
#include "core/Others.h"
#include "core/Seams.h"
#include "serial/PortMap.h"
#include "serial/QtSerialComm.h"
#include "serial/SettingsFile.h"
#include "support/ScriptedPort.h"
#include "support/TestPty.h"

#include <QAction>
#include <QDialog>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTimer>
#include <functional>
#include <memory>

namespace faults {

// A port number that reaches a device only through a comN link, so that a
// device whose link vanished is really gone, whatever serial ports this
// machine has. 0 when every number also maps to a device of the machine.
inline int16_t linkOnlyPort() {
    for (int n = 15; n >= 1; --n) {
        const QString fallback = deviceForPort(n, QString());
        if (!fallback.isEmpty() && !QFileInfo::exists(fallback))
            return int16_t(n);
    }
    return 0;
}

// Resident memory of this process, in KiB.
inline qint64 residentKiB() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// What choosing a menu entry did.
struct MenuRun {
    bool shown = false; // a secondary window was shown
    qint64 loadMs = -1; // from the choice until the window had loaded
    qint64 totalMs = 0; // from the choice until the menu handler returned
};

// Chooses a menu entry. While its window is shown modally, body runs on it;
// then the window is closed.
inline MenuRun choose(Main& main, QAction* entry, const std::function<void(QWidget*)>& body = {}) {
    MenuRun run;
    QElapsedTimer clock;
    clock.start();
    const auto connection = QObject::connect(
        &main, &Main::secondaryWindowLoaded, &main, [&run, &clock, &body](QWidget* window) {
            run.shown = true;
            run.loadMs = clock.elapsed();
            QTimer::singleShot(0, window, [&body, window] {
                if (body)
                    body(window);
                if (window->isVisible())
                    window->close();
            });
            // A window that will not close fails the test instead of hanging it.
            QTimer::singleShot(60000, window, [window] {
                if (auto* dialog = qobject_cast<QDialog*>(window))
                    dialog->done(-1);
            });
        });
    entry->trigger();
    QObject::disconnect(connection);
    run.totalMs = clock.elapsed();
    return run;
}

// The worst delay of a 10 ms timer while the event loop runs: how long the
// window could not answer the operator.
class TickWatch {
public:
    TickWatch() {
        timer_.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            const qint64 now = clock_.elapsed();
            worstMs_ = std::max(worstMs_, now - last_ - kPeriodMs);
            last_ = now;
        });
    }
    void start() {
        clock_.start();
        last_ = 0;
        worstMs_ = 0;
        timer_.start(kPeriodMs);
    }
    // How late the timer ticked at worst, counting a tick that is due now.
    qint64 worstLatenessMs() const {
        return std::max(worstMs_, clock_.elapsed() - last_ - kPeriodMs);
    }

private:
    static constexpr int kPeriodMs = 10;
    QTimer timer_;
    QElapsedTimer clock_;
    qint64 last_ = 0;
    qint64 worstMs_ = 0;
};

class LiveTool {
public:
    // A fresh program directory with the settings file of a new installation
    // (no handshaking, 9600 baud) on a port number only a link can serve.
    LiveTool() : portNumber(linkOnlyPort()) {
        Others::resetAll();
        seams::setProgramDirectory(dir.path());
        seams::bindPort(&port);
        seams::bindSleep({});
        seams::bindMessage([this](const QString& text, const QString& title, MsgIcon icon) {
            messages.append({text, title, icon});
        });
        QFile file(settingsPath());
        settingsWritten = portNumber > 0 && file.open(QIODevice::WriteOnly) &&
                          file.write(formatSettingsText({portNumber, 0, 9600, 0, 0})) > 0;
    }
    ~LiveTool() {
        main.reset();
        if (port.PortOpen())
            port.PortOpen(false);
        seams::bindPort(nullptr);
        sim.reset();
        seams::bindMessage({});
        seams::setProgramDirectory(QString());
    }
    LiveTool(const LiveTool&) = delete;
    LiveTool& operator=(const LiveTool&) = delete;

    bool startSim(ktr6sim::SimConfig config = {}) {
        sim = std::make_unique<ktr6sim::SimDevice>(std::move(config));
        return sim->start(dir.path(), linkName(), &error);
    }
    bool linkPty(TestPty& pty) { return pty.ok() && pty.linkAs(dir.path(), linkName()); }
    // The program's start: settings loaded, main window shown.
    bool startUp() {
        main = std::make_unique<Main>(&port);
        return main->startUp();
    }

    QString linkName() const { return QStringLiteral("com%1").arg(portNumber); }
    QString settingsPath() const { return dir.filePath(QStringLiteral("KTR.INI")); }
    QByteArray settingsBytes() const {
        QFile file(settingsPath());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    QStringList messageTexts() const {
        QStringList texts;
        for (const RecordedMessage& message : messages)
            texts << message.text;
        return texts;
    }

    QTemporaryDir dir;
    int16_t portNumber;
    bool settingsWritten = false;
    QString error;
    QtSerialComm port;
    std::unique_ptr<ktr6sim::SimDevice> sim;
    std::unique_ptr<Main> main;
    QList<RecordedMessage> messages;
};

// The relay's parameter set in every fault test: distinct values, so a field
// that shows the wrong one is noticed.
inline ktr6sim::ParamSet deviceParams() {
    ktr6sim::ParamSet params;
    params.numerators = {1, 2, 3, 4, 5, 6};
    params.divisors = {1, 1, 1, 1, 1, 1};
    params.signMask = 0x3F;
    params.output = 1;
    return params;
}

inline ktr6sim::SimConfig deviceConfig() {
    ktr6sim::SimConfig config;
    config.params = deviceParams();
    return config;
}

} // namespace faults
