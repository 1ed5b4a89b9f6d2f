#include "SiteFile.h"

#include "Record.h"
#include "Scan.h"

#include "serial/MSComm.h"
#include "serial/PortMap.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <map>

namespace {

// A site file, like a plan, is a few kilobytes; anything larger is refused whole.
constexpr qint64 kSiteFileLimit = 1024 * 1024;
constexpr int kPortMax = 32767;

QByteArray sha256Hex(const QByteArray& bytes) {
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

std::optional<QByteArray> readLimited(const QString& path, QString* error) {
    QFile in(path);
    if (!in.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, in.errorString());
        return std::nullopt;
    }
    const QByteArray bytes = in.read(kSiteFileLimit + 1);
    if (in.error() != QFileDevice::NoError) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, in.errorString());
        return std::nullopt;
    }
    if (bytes.size() > kSiteFileLimit) {
        *error = QStringLiteral("%1 holds more than 1 MiB").arg(path);
        return std::nullopt;
    }
    return bytes;
}

// The keys an object may have; the first other one, or empty.
QString unknownKey(const QJsonObject& object, std::initializer_list<const char*> known) {
    for (const QString& key : object.keys()) {
        if (std::none_of(known.begin(), known.end(),
                         [&key](const char* k) { return key == QLatin1String(k); }))
            return key;
    }
    return {};
}

// A whole number from min to max, or nothing.
std::optional<int16_t> smallNumber(const QJsonValue& value, int min, int max) {
    const double number = value.toDouble(-1);
    if (!value.isDouble() || number != double(qint64(number)) || number < min || number > max)
        return std::nullopt;
    return int16_t(number);
}

class SiteReader {
public:
    SiteReader(const QString& path, const QString& programDir, const Tolerance& tolerance)
        : dir_(QFileInfo(path).absoluteDir()), programDir_(programDir), tolerance_(tolerance) {}

    // What is wrong with entry i (0-based), or empty.
    QString readRelay(const QJsonValue& value, int i, SiteRelay* relay);
    QString checkPorts(const SiteRelay& relay, int i);

private:
    QString readPlan(const QJsonValue& value, SiteRelay* relay);
    QString readLineSettings(const QJsonObject& entry, SiteRelay* relay);

    QDir dir_;
    QString programDir_;
    Tolerance tolerance_;
    std::map<QString, int> labels_;
    std::map<int, int> ports_;
    std::map<quint64, int> devices_;
};

QString SiteReader::readPlan(const QJsonValue& value, SiteRelay* relay) {
    QByteArray json;
    if (value.isString() && !value.toString().isEmpty()) {
        relay->planName = value.toString();
        QString error;
        const auto bytes = readLimited(dir_.filePath(relay->planName), &error);
        if (!bytes)
            return QStringLiteral("plan: ") + error;
        json = *bytes;
    } else if (value.isObject()) {
        relay->planName = QStringLiteral("inline");
        json = QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact);
    } else {
        return QStringLiteral("\"plan\" wants a plan file's name or the plan itself");
    }
    relay->planSha256 = sha256Hex(json);
    QString error;
    auto plan = parameterPlanFromJson(json, &error);
    if (plan) {
        plan->tolerance = tolerance_;
        error = planAmountProblem(*plan);
    }
    if (!error.isEmpty())
        return QStringLiteral("plan %1: %2").arg(relay->planName, error);
    relay->plan = *plan;
    return {};
}

QString SiteReader::readLineSettings(const QJsonObject& entry, SiteRelay* relay) {
    if (entry.contains(QLatin1String("baud"))) {
        relay->baud = smallNumber(entry.value(QLatin1String("baud")), 1, kPortMax);
        if (!relay->baud)
            return QStringLiteral("\"baud\" wants a baud rate from 1 to %1").arg(kPortMax);
    }
    if (entry.contains(QLatin1String("handshaking"))) {
        relay->handshaking = smallNumber(entry.value(QLatin1String("handshaking")),
                                         comm::kHandshakeFirst, comm::kHandshakeLast);
        if (!relay->handshaking)
            return QStringLiteral("\"handshaking\" wants %1 to %2 as KTR.INI has it")
                .arg(comm::kHandshakeFirst)
                .arg(comm::kHandshakeLast);
    }
    return {};
}

QString SiteReader::readRelay(const QJsonValue& value, int i, SiteRelay* relay) {
    const QJsonObject entry = value.toObject();
    if (!value.isObject())
        return QStringLiteral("an entry of \"relays\" is an object");
    relay->label = entry.value(QLatin1String("label")).toString().trimmed();
    if (const QString key = unknownKey(entry, {"label", "port", "plan", "baud", "handshaking"});
        !key.isEmpty())
        return QStringLiteral("unknown key \"%1\"").arg(key);
    if (relay->label.isEmpty())
        return QStringLiteral("\"label\" wants the relay's label");
    if (const QString problem = labelProblem(QStringLiteral("\"label\""), relay->label);
        !problem.isEmpty())
        return problem;
    if (const auto [at, added] = labels_.emplace(relay->label, i); !added)
        return QStringLiteral("the label is relay %1's too").arg(at->second + 1);
    const auto port = smallNumber(entry.value(QLatin1String("port")), 1, kPortMax);
    if (!port)
        return QStringLiteral("\"port\" wants a port number from 1 to %1").arg(kPortMax);
    relay->port = *port;
    if (const QString problem = checkPorts(*relay, i); !problem.isEmpty())
        return problem;
    if (const QString problem = readLineSettings(entry, relay); !problem.isEmpty())
        return problem;
    return readPlan(entry.value(QLatin1String("plan")), relay);
}

QString SiteReader::checkPorts(const SiteRelay& relay, int i) {
    if (const auto [at, added] = ports_.emplace(relay.port, i); !added)
        return QStringLiteral("%1 is relay %2's port too")
            .arg(portName(relay.port))
            .arg(at->second + 1);
    const quint64 device = deviceNumber(deviceForPort(relay.port, programDir_));
    if (device == 0)
        return {};
    if (const auto [at, added] = devices_.emplace(device, i); !added)
        return QStringLiteral("%1 reaches the device relay %2's port reaches (%3)")
            .arg(portName(relay.port))
            .arg(at->second + 1)
            .arg(deviceForPort(relay.port, programDir_));
    return {};
}

// "relay 2 (KTR6 č. 0043)", or "relay 2" before its label is known.
QString entryName(int i, const QString& label) {
    const QString name = QStringLiteral("relay %1").arg(i + 1);
    return label.isEmpty() ? name : QStringLiteral("%1 (%2)").arg(name, label);
}

std::optional<QJsonObject> siteObject(const QByteArray& bytes, QString* error) {
    QJsonParseError parsed;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &parsed);
    if (parsed.error != QJsonParseError::NoError) {
        *error = QStringLiteral("not JSON at byte %1: %2")
                     .arg(QString::number(parsed.offset), parsed.errorString());
        return std::nullopt;
    }
    const QJsonObject root = document.object();
    if (!document.isObject())
        *error = QStringLiteral("a site file is an object with \"site\" and \"relays\"");
    else if (const QString key = unknownKey(root, {"site", "relays"}); !key.isEmpty())
        *error = QStringLiteral("unknown key \"%1\"").arg(key);
    else if (root.value(QLatin1String("site")).toString().trimmed().isEmpty())
        *error = QStringLiteral("\"site\" wants the site's name");
    else if (!root.value(QLatin1String("relays")).isArray() ||
             root.value(QLatin1String("relays")).toArray().isEmpty())
        *error = QStringLiteral("\"relays\" wants a list of relays");
    else if (root.value(QLatin1String("relays")).toArray().size() > kSiteMaxRelays)
        *error = QStringLiteral("%1 relays; a site has at most %2")
                     .arg(root.value(QLatin1String("relays")).toArray().size())
                     .arg(kSiteMaxRelays);
    else
        *error = labelProblem(QStringLiteral("\"site\""),
                              root.value(QLatin1String("site")).toString().trimmed());
    if (!error->isEmpty())
        return std::nullopt;
    return root;
}

} // namespace

std::optional<SiteFile> readSiteFile(const QString& path, const QString& programDir,
                                     const Tolerance& tolerance, QString* error) {
    const auto bytes = readLimited(path, error);
    if (!bytes)
        return std::nullopt;
    const auto root = siteObject(*bytes, error);
    if (!root)
        return std::nullopt;
    SiteFile site;
    site.path = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    site.sha256 = sha256Hex(*bytes);
    site.site = root->value(QLatin1String("site")).toString().trimmed();
    SiteReader reader(path, programDir, tolerance);
    const QJsonArray relays = root->value(QLatin1String("relays")).toArray();
    for (int i = 0; i < relays.size(); ++i) {
        SiteRelay relay;
        if (const QString problem = reader.readRelay(relays[i], i, &relay); !problem.isEmpty()) {
            *error = QStringLiteral("%1: %2").arg(entryName(i, relay.label), problem);
            return std::nullopt;
        }
        site.relays << relay;
    }
    return site;
}
