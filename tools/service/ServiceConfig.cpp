#include "ServiceConfig.h"

#include <QFile>
#include <QRegularExpression>
#include <QStringList>
#include <charconv>
#include <functional>
#include <map>

namespace {

constexpr int kSecondsPerDay = 24 * 60 * 60;
constexpr int kMaxTextLength = 200;

const RelayConfig* findIn(const std::vector<RelayConfig>& relays, const QString& name) {
    for (const RelayConfig& relay : relays) {
        if (relay.name == name)
            return &relay;
    }
    return nullptr;
}

std::optional<qint64> wholeNumber(const QString& text) {
    const QByteArray bytes = text.toLatin1();
    qint64 value = 0;
    const char* end = bytes.constData() + bytes.size();
    const auto [ptr, ec] = std::from_chars(bytes.constData(), end, value);
    if (bytes.isEmpty() || ec != std::errc() || ptr != end)
        return std::nullopt;
    return value;
}

// What one section's keys go into; the error says what a value should be.
using Setter = std::function<QString(const QString& value)>;

// "baud wants a baud rate from 110 to 256000, not "96OO"".
QString takeNumber(const QString& value, qint64 min, qint64 max, int* out, const char* what) {
    const auto number = wholeNumber(value);
    if (!number || *number < min || *number > max)
        return QStringLiteral("%1 from %2 to %3, not \"%4\"")
            .arg(QLatin1String(what))
            .arg(min)
            .arg(max)
            .arg(value);
    *out = int(*number);
    return {};
}

QString takeText(const QString& value, QString* out) {
    if (value.isEmpty() || value.size() > kMaxTextLength)
        return QStringLiteral("wants a text of 1 to %1 characters").arg(kMaxTextLength);
    *out = value;
    return {};
}

QString takeFlag(const QString& value, bool* out) {
    const QString v = value.toLower();
    if (v == QLatin1String("true") || v == QLatin1String("yes") || v == QLatin1String("1"))
        *out = true;
    else if (v == QLatin1String("false") || v == QLatin1String("no") || v == QLatin1String("0"))
        *out = false;
    else
        return QStringLiteral("wants true or false, not \"%1\"").arg(value);
    return {};
}

// "channel3.unit": channel 3's key "unit"; nothing when the key is no
// channel key. *bad is set for a channel outside 1..8.
std::optional<std::pair<int, QString>> channelKey(const QString& key, bool* bad) {
    static const QRegularExpression pattern(QStringLiteral("^channel(\\d+)\\.(\\w+)$"));
    const auto match = pattern.match(key);
    if (!match.hasMatch())
        return std::nullopt;
    const auto number = wholeNumber(match.captured(1));
    *bad = !number || *number < 1 || *number > kServiceChannels;
    return std::pair{number ? int(*number) : 0, match.captured(2)};
}

QString setChannelKey(RelayConfig& relay, const QString& key, const QString& value) {
    bool bad = false;
    const auto channel = channelKey(key, &bad);
    if (!channel)
        return QStringLiteral("unknown key \"%1\"").arg(key);
    if (bad)
        return QStringLiteral("\"%1\": channels are 1..6 (inputs) and 7, 8 (outputs V1, V2)")
            .arg(key);
    RelayConfig::Channel& c = relay.channels[channel->first - 1];
    if (channel->second == QLatin1String("unit"))
        return takeText(value, &c.unit);
    if (channel->second == QLatin1String("label"))
        return takeText(value, &c.label);
    if (channel->second == QLatin1String("class")) {
        // m³ is gas unless the channel says water; no other class is known.
        if (value != QLatin1String("water") && value != QLatin1String("gas"))
            return QStringLiteral("%1 wants water or gas, not \"%2\"").arg(key, value);
        c.deviceClass = value;
        return {};
    }
    return QStringLiteral("unknown key \"%1\"").arg(key);
}

QString setRelayKey(RelayConfig& relay, const QString& key, const QString& value) {
    if (key == QLatin1String("port"))
        return takeNumber(value, 1, 32767, &relay.port, "port wants a port number");
    if (key == QLatin1String("baud"))
        return takeNumber(value, 110, 256000, &relay.baud, "baud wants a baud rate");
    if (key == QLatin1String("handshaking"))
        return takeNumber(value, 0, 3, &relay.handshaking, "handshaking wants a number");
    if (key == QLatin1String("label"))
        return takeText(value, &relay.label);
    if (key == QLatin1String("unit"))
        return takeText(value, &relay.unit);
    if (key == QLatin1String("interval")) {
        QString why;
        const auto seconds = parseIntervalLength(value, &why);
        if (!seconds)
            return QStringLiteral("interval: %1").arg(why);
        relay.intervalSeconds = *seconds;
        return {};
    }
    return setChannelKey(relay, key, value);
}

QString setMqttKey(MqttConfig& mqtt, const QString& key, const QString& value) {
    if (key == QLatin1String("host"))
        return takeText(value, &mqtt.host);
    if (key == QLatin1String("port"))
        return takeNumber(value, 1, 65535, &mqtt.port, "port wants a TCP port");
    if (key == QLatin1String("prefix")) {
        if (value.contains(QLatin1Char('#')) || value.contains(QLatin1Char('+')))
            return QStringLiteral("prefix: a topic without # or +, not \"%1\"").arg(value);
        return takeText(value, &mqtt.prefix);
    }
    if (key == QLatin1String("client_id"))
        return takeText(value, &mqtt.clientId);
    if (key == QLatin1String("username"))
        return takeText(value, &mqtt.username);
    if (key == QLatin1String("password_file"))
        return takeText(value, &mqtt.passwordFile);
    if (key == QLatin1String("ca_file"))
        return takeText(value, &mqtt.caFile);
    if (key == QLatin1String("discovery"))
        return takeFlag(value, &mqtt.discovery);
    return QStringLiteral("unknown key \"%1\"").arg(key);
}

// A line without its comment: ";" or "#" at the start, or after a blank.
QString withoutComment(const QString& line) {
    const QString trimmed = line.trimmed();
    if (trimmed.startsWith(QLatin1Char(';')) || trimmed.startsWith(QLatin1Char('#')))
        return {};
    static const QRegularExpression comment(QStringLiteral("\\s[;#].*$"));
    return QString(trimmed).remove(comment).trimmed();
}

struct Parser {
    ServiceConfig config;
    enum class Section { None, Relay, Mqtt } section = Section::None;
    std::map<QString, int> seenKeys; // in the current section: key -> line
    std::vector<int> relayLines;     // the line of each relay's header
    int line = 0;                    // the line being read

    QString section_(const QString& header);
    QString keyLine(const QString& line, int lineNo);
    QString portTaken(const QString& value) const;
};

QString Parser::section_(const QString& header) {
    seenKeys.clear();
    const QString inner = header.mid(1, header.size() - 2).trimmed();
    if (inner == QLatin1String("mqtt")) {
        if (config.mqtt)
            return QStringLiteral("a second [mqtt] section");
        config.mqtt = MqttConfig{};
        section = Section::Mqtt;
        return {};
    }
    if (!inner.startsWith(QLatin1String("relay ")))
        return QStringLiteral("unknown section [%1] (sections are [relay NAME] and [mqtt])")
            .arg(inner);
    const QString name = inner.mid(6).trimmed();
    static const QRegularExpression allowed(QStringLiteral("^[A-Za-z0-9_.-]{1,64}$"));
    if (!allowed.match(name).hasMatch())
        return QStringLiteral("relay name \"%1\": 1 to 64 of A-Z a-z 0-9 _ . -").arg(name);
    if (findIn(config.relays, name))
        return QStringLiteral("relay \"%1\" is configured twice").arg(name);
    RelayConfig relay;
    relay.name = name;
    config.relays.push_back(relay);
    relayLines.push_back(line);
    section = Section::Relay;
    return {};
}

QString Parser::keyLine(const QString& line, int lineNo) {
    const qsizetype eq = line.indexOf(QLatin1Char('='));
    if (eq <= 0)
        return QStringLiteral("expected KEY = VALUE or [SECTION], not \"%1\"").arg(line);
    const QString key = line.left(eq).trimmed();
    const QString value = line.mid(eq + 1).trimmed();
    if (section == Section::None)
        return QStringLiteral("\"%1\" stands before any section").arg(key);
    if (const auto seen = seenKeys.find(key); seen != seenKeys.end())
        return QStringLiteral("\"%1\" is given twice in this section (line %2 too)")
            .arg(key)
            .arg(seen->second);
    seenKeys[key] = lineNo;
    if (section == Section::Relay && key == QLatin1String("port"))
        if (QString taken = portTaken(value); !taken.isEmpty())
            return taken;
    if (section == Section::Mqtt)
        return setMqttKey(*config.mqtt, key, value);
    return setRelayKey(config.relays.back(), key, value);
}

// Two relays cannot share a port: the second could never open it.
QString Parser::portTaken(const QString& value) const {
    const auto number = wholeNumber(value);
    for (const RelayConfig& relay : config.relays) {
        if (number && relay.port == *number && &relay != &config.relays.back())
            return QStringLiteral("port %1 is relay \"%2\"'s already").arg(value, relay.name);
    }
    return {};
}

} // namespace

const RelayConfig* ServiceConfig::find(const QString& name) const {
    return findIn(relays, name);
}

std::optional<int> parseIntervalLength(const QString& text, QString* why) {
    static const QRegularExpression form(QStringLiteral("^(\\d{1,9})\\s*([smhd]?)$"));
    const auto match = form.match(text.trimmed());
    const auto number = match.hasMatch() ? wholeNumber(match.captured(1)) : std::nullopt;
    if (!number) {
        *why = QStringLiteral("\"%1\" is no length (such as 30s, 15m, 1h, 1d)").arg(text);
        return std::nullopt;
    }
    const QString unit = match.captured(2);
    const qint64 scale = unit == QLatin1String("m")   ? 60
                         : unit == QLatin1String("h") ? 3600
                         : unit == QLatin1String("d") ? kSecondsPerDay
                                                      : 1;
    const qint64 seconds = *number * scale;
    if (seconds < 1 || seconds > kSecondsPerDay || kSecondsPerDay % seconds != 0) {
        *why = QStringLiteral("\"%1\" does not divide a day into whole intervals of 1 s or more")
                   .arg(text);
        return std::nullopt;
    }
    return int(seconds);
}

ConfigResult parseServiceConfig(const QByteArray& text, const QString& fileName) {
    Parser parser;
    const QStringList lines = QString::fromUtf8(text).split(QLatin1Char('\n'));
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const int lineNo = int(i + 1);
        const QString line = withoutComment(lines[i]);
        if (line.isEmpty())
            continue;
        parser.line = lineNo;
        const bool header = line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']'));
        const QString error = header ? parser.section_(line) : parser.keyLine(line, lineNo);
        if (!error.isEmpty())
            return {std::nullopt, QStringLiteral("%1:%2: %3").arg(fileName).arg(lineNo).arg(error)};
    }
    for (size_t i = 0; i < parser.config.relays.size(); ++i) {
        if (parser.config.relays[i].port == 0)
            return {std::nullopt, QStringLiteral("%1:%2: relay \"%3\" has no port")
                                      .arg(fileName)
                                      .arg(parser.relayLines[i])
                                      .arg(parser.config.relays[i].name)};
    }
    if (parser.config.relays.empty())
        return {std::nullopt, QStringLiteral("%1: no [relay NAME] section").arg(fileName)};
    return {parser.config, {}};
}

ConfigResult loadServiceConfig(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {std::nullopt,
                QStringLiteral("%1: cannot read it: %2").arg(path, file.errorString())};
    return parseServiceConfig(file.readAll(), path);
}
