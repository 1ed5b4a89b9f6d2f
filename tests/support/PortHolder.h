#pragma once
// Another program that holds a port of a program directory the way the tool
// does (QSerialPort's lock file, an exclusive open): the fault_port_holder
// helper in a process of its own, which keeps the port until told to let go.

#include <QByteArray>
#include <QElapsedTimer>
#include <QProcess>
#include <QString>
#include <cstdint>

class PortHolder {
public:
    // program: the fault_port_holder helper.
    explicit PortHolder(QString program) : program_(std::move(program)) {}
    ~PortHolder() { release(); }
    PortHolder(const PortHolder&) = delete;
    PortHolder& operator=(const PortHolder&) = delete;
    // Returns what the holder said: "held", or "refused CODE".
    QByteArray hold(const QString& programDir, int16_t portNumber) {
        process_.start(program_, {programDir, QString::number(portNumber)});
        if (!process_.waitForStarted(5000))
            return "not started";
        QElapsedTimer clock;
        clock.start();
        while (!process_.canReadLine() && clock.elapsed() < 5000)
            process_.waitForReadyRead(100);
        return process_.readLine().trimmed();
    }
    // Closes its input: it closes the port and ends.
    bool release() {
        if (process_.state() == QProcess::NotRunning)
            return true;
        process_.closeWriteChannel();
        if (!process_.waitForFinished(5000)) {
            process_.kill();
            process_.waitForFinished(2000);
            return false;
        }
        return process_.exitStatus() == QProcess::NormalExit && process_.exitCode() == 0;
    }

private:
    QString program_;
    QProcess process_;
};
