#pragma once
// What the test_e2e_ctl_* programs share: ktr6ctl as a process against the
// simulated relay, a device set and a plan to read, write and commission,
// and the files and processes around a run.

#include "E2eRig.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QString>
#include <QStringList>

inline const QByteArray kDeviceJson =
    R"({"firmware":"6","inputs":[{"numerator":16,"divisor":1,"minus":false},)"
    R"({"numerator":1,"divisor":4,"minus":true},{"numerator":300,"divisor":65535,"minus":false},)"
    R"({"numerator":1,"divisor":1,"minus":false},{"numerator":2,"divisor":3,"minus":false},)"
    R"({"numerator":1,"divisor":1,"minus":false}],"output":5})"
    "\n";

inline ktr6sim::SimConfig deviceConfig() {
    ktr6sim::SimConfig config;
    config.params.numerators = {16, 1, 300, 1, 2, 1};
    config.params.divisors = {1, 4, 65535, 1, 3, 1};
    config.params.signMask = 0x3D;
    config.params.output = 5;
    return config;
}

// Waits until the process has written `text` to stderr; returns all of it.
inline QByteArray waitForStderr(QProcess& process, const QByteArray& text, int timeoutMs) {
    QByteArray err;
    QElapsedTimer timer;
    timer.start();
    while (!err.contains(text) && timer.elapsed() < timeoutMs) {
        process.waitForReadyRead(50);
        err += process.readAllStandardError();
    }
    return err;
}

// A plan for commission: the device's set with IN 1 at 40 and output 7, and
// intended amounts on two inputs.
inline const QByteArray kPlanJson =
    R"({"firmware":"6","inputs":[{"numerator":40,"divisor":1,"minus":false,"amount":"40"},)"
    R"({"numerator":1,"divisor":4,"minus":true,"amount":0.25},)"
    R"({"numerator":300,"divisor":65535,"minus":false},)"
    R"({"numerator":1,"divisor":1,"minus":false},{"numerator":2,"divisor":3,"minus":false},)"
    R"({"numerator":1,"divisor":1,"minus":false}],"output":7})"
    "\n";

inline bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

inline QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The PDF's text layer as pdftotext (poppler) reads it, blanks run together.
inline QString pdfText(const QString& path) {
    QProcess pdftotext;
    pdftotext.start(QStringLiteral("pdftotext"),
                    {QStringLiteral("-layout"), path, QStringLiteral("-")});
    if (!pdftotext.waitForFinished(20000))
        return {};
    return QString::fromUtf8(pdftotext.readAllStandardOutput()).simplified();
}

// ktr6ctl run to its end in workDir, its environment changed: "NAME=VALUE"
// sets a variable, "-NAME" removes one.
inline CtlResult runCtlIn(const QString& programDir, const QString& workDir,
                          const QStringList& args, const QStringList& envChanges = {},
                          const QByteArray& input = {}) {
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("KTR6_PROGRAM_DIR"), programDir);
    for (const QString& change : envChanges) {
        if (change.startsWith(QLatin1Char('-')))
            env.remove(change.mid(1));
        else
            env.insert(change.section(QLatin1Char('='), 0, 0), change.section(QLatin1Char('='), 1));
    }
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(workDir);
    process.start(binary("ktr6ctl"), args);
    CtlResult result;
    if (!process.waitForStarted(5000))
        return result;
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(20000)) {
        process.kill();
        process.waitForFinished(2000);
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

// ktr6ctl running beside the test.
class CtlProcess {
public:
    // reader: a process that takes the output, as after a "|"; extraEnv:
    // "NAME=VALUE" more.
    CtlProcess(const QString& dir, const QStringList& args, QProcess* reader = nullptr,
               const QStringList& extraEnv = {}) {
        if (reader)
            process.setStandardOutputProcess(reader);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("KTR6_PROGRAM_DIR"), dir);
        // A technician's locale writes a decimal comma; the CSV must not.
        env.insert(QStringLiteral("LC_ALL"), QStringLiteral("de_DE.UTF-8"));
        for (const QString& more : extraEnv)
            env.insert(more.section(QLatin1Char('='), 0, 0), more.section(QLatin1Char('='), 1));
        process.setProcessEnvironment(env);
        process.start(binary("ktr6ctl"), args);
    }
    ~CtlProcess() {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(2000);
        }
    }
    bool watching() { return waitForStderr(process, "watching", 3000).contains("watching"); }
    QProcess process;
};

// QSerialPort's lock file for a port reached through path: named after the
// device the path points to (/dev/pts/3: LCK..pts_3), as every program
// opens it.
inline QString lockFileFor(const QString& path) {
    QString device = QFileInfo(path).canonicalFilePath();
    if (device.isEmpty())
        device = path;
    if (device.startsWith(QLatin1String("/dev/")))
        device.remove(0, 5);
    return QStringLiteral("/run/lock/LCK..") + device.replace('/', '_');
}
