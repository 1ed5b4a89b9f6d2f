#include "MqttMessages.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QRegularExpression>
#include <QStringList>
#include <cmath>

namespace {

QByteArray jsonString(const QString& text) {
    QByteArray out = "\"";
    for (const char c : text.toUtf8()) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\')
            out += '\\';
        if (u < 0x20)
            out += "\\u00" + QByteArray::number(u, 16).rightJustified(2, '0');
        else
            out += c;
    }
    return out + '"';
}

QString channelName(int channel) {
    return channel <= 6 ? QStringLiteral("IN %1").arg(channel)
                        : QStringLiteral("V%1").arg(channel - 6);
}

// Home Assistant takes only letters, digits, "_" and "-" in its ids.
QString idText(const QString& text) {
    static const QRegularExpression other(QStringLiteral("[^A-Za-z0-9_-]"));
    return QString(text).replace(other, QStringLiteral("_"));
}

} // namespace

QString utcText(const QDateTime& time) {
    return time.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss'Z'"));
}

QString topicLevel(const QString& relay) {
    QString level = relay;
    for (const QChar c : {QLatin1Char('/'), QLatin1Char('+'), QLatin1Char('#')})
        level.replace(c, QLatin1Char('_'));
    return level;
}

QString serviceStatusTopic(const QString& prefix) {
    return prefix + QStringLiteral("/status");
}

QString relayStatusTopic(const QString& prefix, const QString& relay) {
    return prefix + QLatin1Char('/') + topicLevel(relay) + QStringLiteral("/status");
}

QString intervalTopic(const QString& prefix, const QString& relay) {
    return prefix + QLatin1Char('/') + topicLevel(relay) + QStringLiteral("/interval");
}

QString totalTopic(const QString& prefix, const QString& relay, int channel) {
    return prefix + QLatin1Char('/') + topicLevel(relay) + QLatin1Char('/') +
           QString::number(channel) + QStringLiteral("/total");
}

QString intervalKey(const QString& relay, int channel, const QDateTime& start) {
    return relay + QLatin1Char('/') + QString::number(channel) + QLatin1Char('/') + utcText(start);
}

QByteArray numberPayload(double value) {
    if (!std::isfinite(value))
        return "null";
    // Rounded to 9 decimals first, so that a sum such as 0.1 + 0.2 shows as
    // 0.3, then the fewest digits that give that double back.
    const QLocale c = QLocale::c();
    const double rounded = c.toDouble(c.toString(value, 'f', 9));
    const QString text = c.toString(rounded, 'f', QLocale::FloatingPointShortest);
    return text == QLatin1String("-0") ? QByteArray("0") : text.toLatin1();
}

QByteArray intervalPayload(const ClosedInterval& i) {
    QByteArray out = "{\"key\":" + jsonString(intervalKey(i.relay, i.channel, i.start));
    out += ",\"relay\":" + jsonString(i.relay);
    out += ",\"channel\":" + QByteArray::number(i.channel);
    out += ",\"start\":" + jsonString(utcText(i.start));
    out += ",\"end\":" + jsonString(utcText(i.end));
    out += ",\"count\":" + QByteArray::number(qlonglong(i.count));
    out += ",\"amount\":" + numberPayload(i.amount);
    out += ",\"total\":" + numberPayload(i.total);
    if (!i.unit.isEmpty())
        out += ",\"unit\":" + jsonString(i.unit);
    if (!i.label.isEmpty())
        out += ",\"label\":" + jsonString(i.label);
    return out + '}';
}

QByteArray statusPayload(RelayStatus status) {
    switch (status) {
    case RelayStatus::Counting:
        return "counting";
    case RelayStatus::NotStoring:
        return "not storing";
    case RelayStatus::Offline:
        return "offline";
    case RelayStatus::Paused:
        return "paused";
    }
    return "offline";
}

QString deviceClassFor(const QString& unit, bool water) {
    if (unit == QLatin1String("Wh") || unit == QLatin1String("kWh") || unit == QLatin1String("MWh"))
        return QStringLiteral("energy");
    if (unit == QLatin1String("L"))
        return QStringLiteral("water");
    if (unit == QStringLiteral("m³"))
        return water ? QStringLiteral("water") : QStringLiteral("gas");
    return {};
}

DiscoveryEntry discoveryEntry(const QString& prefix, const DiscoveryChannel& c) {
    const QString node = idText(prefix + QLatin1Char('_') + c.relay);
    const QString object = QStringLiteral("channel%1").arg(c.channel);
    QJsonObject device{{QStringLiteral("identifiers"), QJsonArray{node}},
                       {QStringLiteral("name"), c.relayLabel.isEmpty() ? c.relay : c.relayLabel},
                       {QStringLiteral("manufacturer"), QStringLiteral("Orvelt")},
                       {QStringLiteral("model"), QStringLiteral("KTR6")}};
    // Available while the service runs and the relay counts.
    const QJsonArray availability{
        QJsonObject{{QStringLiteral("topic"), serviceStatusTopic(prefix)}},
        QJsonObject{
            {QStringLiteral("topic"), relayStatusTopic(prefix, c.relay)},
            {QStringLiteral("value_template"),
             QStringLiteral(
                 "{{ 'online' if value in ('counting', 'not storing') else 'offline' }}")}}};
    QJsonObject config{
        {QStringLiteral("unique_id"), node + QLatin1Char('_') + object},
        {QStringLiteral("name"), c.label.isEmpty() ? channelName(c.channel) : c.label},
        {QStringLiteral("state_topic"), totalTopic(prefix, c.relay, c.channel)},
        {QStringLiteral("state_class"),
         c.minus ? QStringLiteral("total") : QStringLiteral("total_increasing")},
        {QStringLiteral("availability"), availability},
        {QStringLiteral("availability_mode"), QStringLiteral("all")},
        {QStringLiteral("device"), device}};
    if (!c.unit.isEmpty())
        config.insert(QStringLiteral("unit_of_measurement"), c.unit);
    const QString deviceClass = deviceClassFor(c.unit, c.water);
    if (!deviceClass.isEmpty())
        config.insert(QStringLiteral("device_class"), deviceClass);
    return {QStringLiteral("homeassistant/sensor/%1/%2/config").arg(node, object),
            QJsonDocument(config).toJson(QJsonDocument::Compact)};
}
