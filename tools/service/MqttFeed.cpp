#include "MqttFeed.h"

#include "CountStore.h"
#include "core/Others.h"

#include <QSqlError>

namespace {

// The feed waits this long for the service's writer before an outbox
// query fails (it is tried again in 5 s): long enough for one commit,
// short enough not to hold up the next.
constexpr char kBusyTimeout[] = "QSQLITE_BUSY_TIMEOUT=250";
constexpr int kAwayLogMs = 15000;
// A clean stop gives the broker this long to take what waits in the outbox
// (a few hundred messages); what it has not taken goes out after the next
// start.
constexpr int kStopGraceMs = 3000;

bool isMinus(const ParameterSet* set, int channel) {
    return set && channel < Others::kInputs && set->table[channel][Others::kSignColumn] == 0;
}

int minusMask(const ParameterSet* set) {
    int mask = 0;
    for (int channel = 0; channel < Others::kInputs; ++channel)
        mask |= isMinus(set, channel) ? 1 << channel : 0;
    return mask;
}

QDateTime utcTime(qint64 seconds) {
    return QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC);
}

} // namespace

MqttSettings mqttSettingsFrom(const MqttConfig& config) {
    MqttSettings settings;
    settings.host = config.host;
    settings.port = config.port;
    settings.prefix = config.prefix;
    settings.clientId = config.clientId;
    settings.username = config.username;
    settings.passwordFile = config.passwordFile;
    settings.caFile = config.caFile;
    settings.discovery = config.discovery;
    return settings;
}

std::vector<DiscoveryChannel> discoveryChannels(const RelayConfig& relay, const ParameterSet* set) {
    std::vector<DiscoveryChannel> channels;
    for (int channel = 0; channel < kServiceChannels; ++channel) {
        const RelayConfig::Channel& c = relay.channels[size_t(channel)];
        const QString unit = relay.unitOf(channel);
        if (unit.isEmpty() && c.label.isEmpty() && c.deviceClass.isEmpty())
            continue;
        channels.push_back(DiscoveryChannel{relay.name, relay.label, channel + 1, unit, c.label,
                                            isMinus(set, channel),
                                            c.deviceClass == QLatin1String("water")});
    }
    return channels;
}

ClosedInterval publishedInterval(const StoredInterval& stored) {
    return ClosedInterval{stored.relay,        stored.channel, utcTime(stored.start),
                          utcTime(stored.end), stored.count,   stored.amount,
                          stored.total,        stored.unit,    stored.label};
}

MqttFeed::MqttFeed(const MqttConfig& config, Log log, QObject* parent)
    : QObject(parent), settings_(mqttSettingsFrom(config)), log_(std::move(log)),
      connection_(QStringLiteral("ktr6d-mqtt")), link_(std::make_unique<MqttLink>(settings_)) {
    const QString broker = QStringLiteral("%1:%2").arg(settings_.host).arg(settings_.port);
    connect(link_.get(), &MqttLink::connected, this, [this, broker] {
        awayCheck_.stop();
        awayLogged_ = false;
        log_(QStringLiteral("MQTT: connected to %1").arg(broker));
    });
    connect(link_.get(), &MqttLink::disconnected, this, [this](const QString& reason) {
        log_(QStringLiteral("MQTT: %1; closed intervals wait in the outbox").arg(reason));
        awayCheck_.start();
    });
    awayCheck_.setSingleShot(true);
    awayCheck_.setInterval(kAwayLogMs);
    connect(&awayCheck_, &QTimer::timeout, this, [this, broker] {
        if (link_->state() == MqttLink::State::Connected || awayLogged_)
            return;
        awayLogged_ = true;
        const QString why = link_->lastError();
        log_(QStringLiteral("MQTT: the broker %1 is not reached yet%2; trying on, closed "
                            "intervals wait in the outbox")
                 .arg(broker, why.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(why)));
    });
}

MqttFeed::~MqttFeed() {
    stop();
    publisher_.reset();
    db_.close();
    db_ = QSqlDatabase();
    QSqlDatabase::removeDatabase(connection_);
}

bool MqttFeed::start(QString* error) {
    if (!link_->start(error))
        return false;
    awayCheck_.start();
    return true;
}

bool MqttFeed::open(const QString& databasePath, QString* error) {
    db_ = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection_);
    db_.setDatabaseName(databasePath);
    db_.setConnectOptions(QLatin1String(kBusyTimeout));
    if (!db_.open()) {
        *error = QStringLiteral("%1: %2").arg(databasePath, db_.lastError().text());
        return false;
    }
    // Whichever connection closes last must leave the -wal and -shm files
    // for the readers that may not create them.
    if (!keepWalFilesOnClose(db_)) {
        *error = QStringLiteral("%1: cannot keep the -wal and -shm files").arg(databasePath);
        return false;
    }
    publisher_ = std::make_unique<MqttPublisher>(*link_, db_);
    connect(publisher_.get(), &MqttPublisher::problem, this,
            [this](const QString& message) { log_(message); });
    return true;
}

bool MqttFeed::enqueue(QSqlDatabase& db, const StoredInterval& interval) {
    QString error;
    if (!Outbox::enqueue(db, settings_.prefix, publishedInterval(interval), &error)) {
        log_(error);
        return false;
    }
    queued_ = true;
    return true;
}

void MqttFeed::committed() {
    if (queued_ && publisher_)
        publisher_->wake();
    queued_ = false;
}

void MqttFeed::update(const QString& relay, RelayStatus status,
                      const std::array<double, kServiceChannels>& totals) {
    if (!publisher_)
        return;
    Published& was = published_[relay];
    if (was.status != status) {
        publisher_->publishStatus(relay, status);
        was.status = status;
    }
    for (int channel = 0; channel < kServiceChannels; ++channel) {
        const double total = totals[size_t(channel)];
        if (was.totals[size_t(channel)] != total) {
            publisher_->publishTotal(relay, channel + 1, total);
            was.totals[size_t(channel)] = total;
        }
    }
}

void MqttFeed::describe(const RelayConfig& relay, const ParameterSet* set) {
    if (!publisher_ || !settings_.discovery)
        return;
    Published& was = published_[relay.name];
    const int mask = minusMask(set);
    if (was.minusMask == mask)
        return;
    publisher_->publishDiscovery(discoveryChannels(relay, set));
    was.minusMask = mask;
}

void MqttFeed::stop() {
    if (publisher_ && link_->state() == MqttLink::State::Connected &&
        !publisher_->flush(kStopGraceMs))
        log_(QStringLiteral("MQTT: stopping with closed intervals still in the outbox; they "
                            "go out after the next start"));
    link_->stop();
}
