#include "Monitor.h"

#include "StopSignals.h"

#include "core/NumText.h"
#include "core/Seams.h"
#include "protocol/ParameterBlock.h"
#include "serial/MSComm.h"

#include <QDateTime>
#include <QSocketNotifier>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstring>

namespace {

constexpr int kReceiveThreshold = 2;
constexpr int kPartialPollMs = 50;

QString channelName(int channel) {
    if (channel < Others::kInputs)
        return QStringLiteral("IN %1").arg(channel + 1);
    return QStringLiteral("V%1").arg(channel - Others::kInputs + 1);
}

} // namespace

Monitor::Monitor(MSComm& port, const ParameterSet& set, qint64 limit, FILE* out)
    : port_(port), limit_(limit), out_(out) {
    totals_.useSet(set.table, set.output);
    partialPoll_.setInterval(kPartialPollMs);
    partialPoll_.setSingleShot(true);
    connect(&partialPoll_, &QTimer::timeout, this, &Monitor::readWaiting);
}

QString Monitor::totalText(double total) {
    // Nine significant digits, and never fewer decimals than the on-line
    // view's two; trailing zeros go, so a whole total prints as one.
    const int magnitude = total == 0 ? 0 : int(std::floor(std::log10(std::fabs(total))));
    return fixedTrimmed(total, std::clamp(8 - magnitude, 2, 17));
}

QByteArray Monitor::csvLine(const QDateTime& time, int channel, const QString& total) {
    return (time.toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz")) + QLatin1Char(',') +
            channelName(channel) + QLatin1Char(',') + total)
        .toUtf8();
}

int Monitor::run() {
    try {
        port_.PortOpen(true);
        port_.RThreshold(kReceiveThreshold);
    } catch (const comm::CommError& error) {
        portError_ = error.detail();
        MsgBox(kPortErrorText, MsgIcon::Critical, kPortErrorTitle);
        return 1;
    }
#ifdef Q_OS_UNIX
    // A stop signal ends the watch through the event loop, so the port is
    // closed and every printed line is complete.
    if (stopsignals::notifyFd() >= 0) {
        auto* stop = new QSocketNotifier(stopsignals::notifyFd(), QSocketNotifier::Read, this);
        connect(stop, &QSocketNotifier::activated, this, [this, stop] {
            stop->setEnabled(false);
            finish(stopsignals::exitStatus(stopsignals::received(), true));
        });
    }
#endif
    const auto connection = connect(&port_, &MSComm::OnComm, this, &Monitor::onComm);
    // Records that arrived between the read and now are already waiting.
    QTimer::singleShot(0, this, &Monitor::readWaiting);
    if (writeLine(kCsvHeader))
        loop_.exec();
    disconnect(connection);
    port_.RThreshold(0);
    closePortQuietly(port_);
    return status_;
}

void Monitor::onComm() {
    const int16_t event = port_.CommEvent();
    if (event == comm::kErDeviceLost) {
        portError_ = QStringLiteral("the device went away (unplugged, or hung up)");
        MsgBox(kPortErrorText, MsgIcon::Critical, kPortErrorTitle);
        finish(1);
        return;
    }
    if (event == comm::kEvReceive)
        readWaiting();
}

void Monitor::readWaiting() {
    if (!loop_.isRunning() || !port_.PortOpen())
        return;
    QByteArray chunk;
    try {
        chunk = port_.Input();
    } catch (const comm::CommError& error) {
        portError_ = error.detail();
        MsgBox(kPortErrorText, MsgIcon::Critical, kPortErrorTitle);
        finish(1);
        return;
    }
    for (int channel : assembler_.feed(chunk)) {
        if (!totals_.count(channel))
            continue;
        if (!writeLine(
                csvLine(QDateTime::currentDateTime(), channel, totalText(totals_.value(channel)))))
            return;
        if (limit_ > 0 && ++printed_ >= limit_) {
            finish(0);
            return;
        }
    }
    if (assembler_.hasPartialRecord())
        partialPoll_.start();
}

bool Monitor::writeLine(const QByteArray& line) {
    const QByteArray bytes = line + '\n';
    if (std::fwrite(bytes.constData(), 1, size_t(bytes.size()), out_) == size_t(bytes.size()) &&
        std::fflush(out_) == 0)
        return true;
    if (errno == EPIPE) {
        // The reader has gone (monitor | head -1): the watch is over.
        finish(stopsignals::exitStatus(SIGPIPE, true));
        return false;
    }
    // Every further line would be lost as well.
    std::fprintf(stderr, "ktr6ctl: cannot write the output: %s\n", std::strerror(errno));
    finish(1);
    return false;
}

void Monitor::finish(int status) {
    status_ = status;
    partialPoll_.stop();
    loop_.quit();
}
