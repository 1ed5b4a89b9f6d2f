#include "CtlRun.h"

#include "StopSignals.h"
#include "commissioning/Commission.h"
#include "commissioning/ParameterJson.h"

#include "serial/PortMap.h"

#include <QCryptographicHash>
#include <QFile>
#include <QTextStream>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <unistd.h>

void printErr(const QString& text) {
    QTextStream err(stderr);
    err << text;
    if (!text.endsWith(QLatin1Char('\n')))
        err << '\n';
}

void printNotice(const QString& text, const QString& title) {
    QString shown = text;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    printErr((title.isEmpty() ? kAppTitle : title).trimmed() + QStringLiteral(": ") + shown);
}

void printNotice(const std::optional<Notice>& notice) {
    if (notice)
        printNotice(notice->text, notice->title);
}

int writeOutput(const QByteArray& bytes, bool watching) {
    if (std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout) == size_t(bytes.size()) &&
        std::fflush(stdout) == 0)
        return kExitOk;
    if (errno == EPIPE) // the reader has gone: nothing to tell it
        return stopsignals::exitStatus(SIGPIPE, watching);
    printErr(QStringLiteral("ktr6ctl: cannot write the output: %1")
                 .arg(QString::fromLocal8Bit(std::strerror(errno))));
    return kExitDevice;
}

QString inputName(const QString& file) {
    return file == QLatin1String("-") ? QStringLiteral("standard input") : file;
}

namespace {

// A parameter file is a few hundred bytes. Anything larger is refused whole
// before it is parsed, so a stray file or an endless stream is never taken in part.
constexpr qint64 kParameterFileLimit = 1024 * 1024;

bool openInput(QFile& in, const QString& file) {
    if (file == QLatin1String("-"))
        return in.open(STDIN_FILENO, QIODevice::ReadOnly, QFileDevice::DontCloseHandle);
    in.setFileName(file);
    return in.open(QIODevice::ReadOnly);
}

std::optional<QByteArray> readParameterFile(const QString& file) {
    const QString name = inputName(file);
    QFile in;
    if (!openInput(in, file)) {
        printErr(QStringLiteral("ktr6ctl: cannot read %1: %2").arg(name, in.errorString()));
        return std::nullopt;
    }
    // To the end: a pipe hands over what its writer has written so far, which
    // may be part of the set.
    QByteArray json;
    for (;;) {
        const QByteArray chunk = in.read(kParameterFileLimit + 1 - json.size());
        if (chunk.isEmpty())
            break;
        json += chunk;
        if (json.size() > kParameterFileLimit) {
            printErr(QStringLiteral("ktr6ctl: %1 holds more than 1 MiB (%2 bytes), too much for "
                                    "a parameter set; nothing was sent.")
                         .arg(name, QString::number(kParameterFileLimit)));
            return std::nullopt;
        }
    }
    if (in.error() != QFileDevice::NoError) {
        printErr(QStringLiteral("ktr6ctl: cannot read %1: %2").arg(name, in.errorString()));
        return std::nullopt;
    }
    return json;
}

} // namespace

std::optional<ParameterPlan> loadPlan(const QString& file, const QString& tolerance,
                                      QByteArray* sha256) {
    const auto json = readParameterFile(file);
    if (!json)
        return std::nullopt;
    if (sha256)
        *sha256 = QCryptographicHash::hash(*json, QCryptographicHash::Sha256).toHex();
    QString error;
    auto plan = parameterPlanFromJson(*json, &error);
    if (plan) {
        // Checked when the command line was read.
        plan->tolerance =
            tolerance.isEmpty() ? defaultTolerance() : *parseTolerance(tolerance, nullptr);
        error = planAmountProblem(*plan);
        if (!error.isEmpty())
            plan.reset();
    }
    if (!plan)
        printErr(QStringLiteral("ktr6ctl: %1: %2; nothing was sent.").arg(inputName(file), error));
    return plan;
}

CtlRun::CtlRun(bool watching) : watching_(watching) {
    stopsignals::install();
    stopsignals::watch(&stop_);
}

bool CtlRun::configurePort(std::optional<int16_t> portNumber) {
    const PortSettingsRead read = readPortSettings();
    if (!read.values) {
        printNotice(read.message, QStringLiteral("Error"));
        return false;
    }
    applyPortSettings(port_, *read.values);
    if (portNumber)
        port_.CommPort(*portNumber);
    return true;
}

Pause CtlRun::pause() {
    return [this](int ms) {
        if (stopsignals::sleep(ms, !stop_.held()))
            stop_.request();
    };
}

QString CtlRun::portDescription() const {
    return ::portDescription(port_);
}

void CtlRun::stopIfSignalled(bool sentUnverified) {
    if (stopsignals::received())
        stopNow(sentUnverified);
}

void CtlRun::stopNow(bool sentUnverified) {
    const int signo = stopsignals::received();
    if (port_.PortOpen()) {
        try {
            port_.RTSEnable(false);
        } catch (const std::exception&) {
        }
        closePortQuietly(port_);
    }
    if (sentUnverified)
        printErr(QStringLiteral("ktr6ctl: stopped; the parameters were sent but not verified."));
    std::fflush(stdout);
    std::exit(stopsignals::exitStatus(signo, watching_));
}

std::optional<ParameterSet> CtlRun::readParameters() {
    const ReadOutcome read = readParameterSet(port_, pause(), &stop_);
    printNotice(noticeFor(read));
    stopIfSignalled();
    if (read.ok())
        return read.set;
    printErr(QStringLiteral("ktr6ctl: ") + readFailure(port_, read));
    return std::nullopt;
}
