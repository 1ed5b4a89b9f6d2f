#pragma once
// A program directory with its settings file and a simulated relay linked as
// com1 in it, for tests that run the real port code over a pty with real
// pauses.

#include "SimDevice.h"
#include "core/Seams.h"
#include "serial/SettingsFile.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <memory>

// The settings file of a fresh installation (no handshaking, 9600 baud) on
// the given port.
inline bool writeDefaultSettings(const QString& dir, int16_t port = 1) {
    QFile file(dir + QStringLiteral("/KTR.INI"));
    return file.open(QIODevice::WriteOnly) &&
           file.write(formatSettingsText({port, 0, 9600, 0, 0})) > 0;
}

// Port numbers above 15 map to no device of the machine, only to a link: a
// device that hangs up is then really gone, whatever serial ports the
// machine running the tests has.
inline constexpr int16_t kLinkOnlyPort = 20;

class SimRig {
public:
    explicit SimRig(ktr6sim::SimConfig config = {}, int16_t port = 1) {
        if (!dir.isValid() || !writeDefaultSettings(dir.path(), port))
            return;
        sim = std::make_unique<ktr6sim::SimDevice>(std::move(config));
        started = sim->start(dir.path(), QStringLiteral("com%1").arg(port), &error);
    }
    ~SimRig() {
        if (sim)
            sim->stop();
    }

    QTemporaryDir dir;
    std::unique_ptr<ktr6sim::SimDevice> sim;
    bool started = false;
    QString error;
};

inline QString binary(const char* name) {
    return qEnvironmentVariable("KTR6_BIN_DIR") + QLatin1Char('/') + QLatin1String(name);
}

struct CtlResult {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
    qint64 elapsedMs = 0;
};

// Runs ktr6ctl to its end with its program directory pointed at dir. With
// pauseMs the input goes in two halves that far apart, as from a program that
// writes it in parts; stdoutFile sends the output there instead of a pipe.
inline CtlResult runCtl(const QString& dir, const QStringList& args, const QByteArray& input = {},
                        int pauseMs = 0, const QString& stdoutFile = {}) {
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("KTR6_PROGRAM_DIR"), dir);
    process.setProcessEnvironment(env);
    if (!stdoutFile.isEmpty())
        process.setStandardOutputFile(stdoutFile);
    QElapsedTimer timer;
    timer.start();
    process.start(binary("ktr6ctl"), args);
    CtlResult result;
    if (!process.waitForStarted(5000))
        return result;
    const qsizetype firstPart = pauseMs > 0 ? input.size() / 2 : input.size();
    if (firstPart > 0)
        process.write(input.left(firstPart));
    if (pauseMs > 0) {
        process.waitForBytesWritten(5000);
        QThread::msleep(pauseMs);
        process.write(input.mid(firstPart));
    }
    process.closeWriteChannel();
    if (!process.waitForFinished(20000)) {
        process.kill();
        process.waitForFinished(2000);
        return result;
    }
    result.elapsedMs = timer.elapsed();
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}
