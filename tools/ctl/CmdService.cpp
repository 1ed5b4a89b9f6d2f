// ktr6ctl service: asks the counting service over its local socket.

#include "Commands.h"
#include "CtlRun.h"
#include "Monitor.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>

namespace {

const char kDefaultSocket[] = "/run/ktr6/ktr6d.sock";
// A resume reads the relay's set: up to three attempts of 0.4 s and their pauses.
constexpr int kAnswerMs = 10000;

QString channelName(int channel) {
    return channel < 6 ? QStringLiteral("IN %1").arg(channel + 1)
                       : QStringLiteral("V%1").arg(channel - 5);
}

// "T1  counting since 2026-12-07T14:15:00Z, stored", then the totals.
QString statusText(const QJsonArray& relays) {
    QString out;
    for (const QJsonValue& value : relays) {
        const QJsonObject relay = value.toObject();
        out += QStringLiteral("%1  %2").arg(relay[QLatin1String("relay")].toString(),
                                            relay[QLatin1String("state")].toString());
        if (const QString since = relay[QLatin1String("since")].toString(); !since.isEmpty())
            out += QStringLiteral(" since ") + since;
        if (relay.contains(QLatin1String("reason")) &&
            relay[QLatin1String("state")].toString() == QLatin1String("offline"))
            out += QStringLiteral(" (%1)").arg(relay[QLatin1String("reason")].toString());
        if (!relay[QLatin1String("storing")].toBool())
            out += QStringLiteral(", not storing");
        out += QLatin1Char('\n');
        const QJsonArray totals = relay[QLatin1String("totals")].toArray();
        QStringList parts;
        for (qsizetype k = 0; k < totals.size(); ++k)
            parts << QStringLiteral("%1 %2").arg(channelName(int(k)),
                                                 Monitor::totalText(totals[k].toDouble()));
        out += QStringLiteral("    ") + parts.join(QStringLiteral(", ")) + QLatin1Char('\n');
    }
    return out;
}

std::optional<QJsonObject> ask(const QString& path, const QByteArray& request) {
    QLocalSocket socket;
    socket.connectToServer(path);
    if (!socket.waitForConnected(2000))
        return std::nullopt;
    socket.write(request + '\n');
    socket.flush();
    QByteArray answer;
    while (!answer.contains('\n') && socket.waitForReadyRead(kAnswerMs))
        answer += socket.readAll();
    const QJsonDocument doc = QJsonDocument::fromJson(answer.trimmed());
    if (!doc.isObject())
        return std::nullopt;
    return doc.object();
}

// The service's answer to one request, its failures printed; nothing when
// it failed, with *status the exit status.
std::optional<QJsonObject> answerTo(const CtlOptions& options, const QByteArray& request,
                                    int* status) {
    const QString path =
        options.service.socket.isEmpty() ? QLatin1String(kDefaultSocket) : options.service.socket;
    const auto answer = ask(path, request);
    if (!answer) {
        printErr(QStringLiteral("ktr6ctl: cannot reach the counting service at %1 (is ktr6d "
                                "running? may this account use it: root or the dialout group?)")
                     .arg(path));
        *status = kExitDevice;
        return std::nullopt;
    }
    if (!(*answer)[QLatin1String("ok")].toBool()) {
        printErr(QStringLiteral("ktr6ctl: %1").arg((*answer)[QLatin1String("error")].toString()));
        *status = (*answer)[QLatin1String("code")].toInt() == kExitUsage ? kExitUsage : kExitDevice;
        return std::nullopt;
    }
    return answer;
}

} // namespace

int runService(const CtlOptions& options) {
    QByteArray request = options.serviceAction.toUtf8();
    if (!options.service.relay.isEmpty())
        request += ' ' + options.service.relay.toUtf8();
    int status = kExitOk;
    const auto answer = answerTo(options, request, &status);
    if (!answer)
        return status;
    if (const QString note = (*answer)[QLatin1String("note")].toString(); !note.isEmpty())
        printErr(QStringLiteral("ktr6ctl: ") + note);
    const QJsonArray relays = (*answer)[QLatin1String("relays")].toArray();
    if (options.serviceAction == QLatin1String("status"))
        return writeOutput(options.json
                               ? QJsonDocument(relays).toJson(QJsonDocument::Compact) + '\n'
                               : statusText(relays).toUtf8());
    printErr(
        options.serviceAction == QLatin1String("pause")
            ? QStringLiteral("ktr6ctl: %1 paused; its port is free.").arg(options.service.relay)
            : QStringLiteral("ktr6ctl: %1 is counting again.").arg(options.service.relay));
    return kExitOk;
}

int runSetTotal(const CtlOptions& options) {
    const CtlOptions::Counts& c = options.counts;
    const QByteArray request = QStringLiteral("set-total %1 %2 %3")
                                   .arg(c.setTotalRelay)
                                   .arg(c.setTotalChannel)
                                   .arg(c.setTotalValue)
                                   .toUtf8();
    int status = kExitOk;
    const auto answer = answerTo(options, request, &status);
    if (!answer)
        return status;
    printErr(QStringLiteral("ktr6ctl: %1 %2 set to %3 (was %4).")
                 .arg(c.setTotalRelay, channelName(c.setTotalChannel - 1),
                      Monitor::totalText((*answer)[QLatin1String("total")].toDouble()),
                      Monitor::totalText((*answer)[QLatin1String("was")].toDouble())));
    return kExitOk;
}
