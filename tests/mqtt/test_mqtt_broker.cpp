// MqttLink and MqttPublisher against a real mosquitto broker on a free
// loopback port, with persistence, and mosquitto_sub on a persistent session
// as the consumer. Started as "test_mqtt_broker --child PORT" it is only a
// publishing process, for the test to kill.

#include "MqttPublisher.h"
#include "MqttRig.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSqlQuery>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <memory>
#include <signal.h>

namespace {

const QString kPrefix = QStringLiteral("ktr6test");

MqttSettings settingsFor(int port) {
    MqttSettings settings;
    settings.host = "127.0.0.1";
    settings.port = port;
    settings.prefix = kPrefix;
    return settings;
}

} // namespace

class TestMqttBroker : public QObject {
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> dir_;
    int port_ = 0;
    std::unique_ptr<Broker> broker_;
    std::unique_ptr<Lines> sub_;
    std::unique_ptr<MqttLink> link_;
    std::unique_ptr<MqttPublisher> publisher_;
    QSqlDatabase db_;
    QDateTime base_{QDate(2026, 12, 7), QTime(14, 0), Qt::UTC};

    bool startBroker() { return broker_->start(); }
    void startPublisher(MqttSettings settings) {
        link_ = std::make_unique<MqttLink>(settings);
        publisher_ = std::make_unique<MqttPublisher>(*link_, db_);
        QString error;
        QVERIFY2(link_->start(&error), qPrintable(error));
        // Connected, and the watcher's subscription is in place once the retained state reaches it.
        QTRY_VERIFY_WITH_TIMEOUT(!sub_->on(kPrefix + "/status").isEmpty(), 10000);
    }
    void queue(int from, int to) {
        QVERIFY(db_.transaction());
        QString error;
        for (int i = from; i < to; ++i) {
            const QDateTime start = base_.addSecs(60 * i);
            const ClosedInterval interval{"T1",    1,  start, start.addSecs(60), i, i * 0.5,
                                          i * 2.0, {}, {}};
            QVERIFY2(Outbox::enqueue(db_, kPrefix, interval, &error), qPrintable(error));
        }
        QVERIFY(db_.commit());
        publisher_->wake();
    }
    // Whether the keys from..to-1, and only they, arrived in order (each
    // counted where it first came); *duplicates: how many came again.
    bool arrivedInOrder(int from, int to, int* duplicates) const {
        QStringList seen;
        for (const QString& line : sub_->on(kPrefix + "/T1/interval")) {
            const QString key = line.section('"', 3, 3); // {"key":"...",
            if (!seen.contains(key))
                seen.append(key);
        }
        *duplicates = int(sub_->on(kPrefix + "/T1/interval").size() - seen.size());
        QStringList expected;
        for (int i = from; i < to; ++i)
            expected.append(intervalKey("T1", 1, base_.addSecs(60 * i)));
        return seen == expected;
    }
    int outboxRows() {
        QSqlQuery query("SELECT count(*) FROM outbox", db_);
        return query.next() ? query.value(0).toInt() : -1;
    }
    // What a consumer that comes now gets: the retained messages.
    QStringList retained(const QStringList& topics, int count) {
        return retainedMessages(port_, topics, count);
    }

private slots:
    void init() {
        dir_ = std::make_unique<QTemporaryDir>();
        broker_ = std::make_unique<Broker>(dir_->path());
        port_ = broker_->port;
        QVERIFY(port_ > 0 && startBroker());
        db_ = QSqlDatabase::addDatabase("QSQLITE", "counts");
        db_.setDatabaseName(dir_->filePath("counts.sqlite"));
        QVERIFY(db_.open());
        QSqlQuery(QStringLiteral("PRAGMA journal_mode=WAL"), db_);
        sub_ = std::make_unique<Lines>(QStringList{"-p", QString::number(port_), "-c", "-i",
                                                   "watcher", "-q", "1", "-t", kPrefix + "/#"});
    }
    void cleanup() {
        publisher_.reset();
        link_.reset();
        sub_.reset();
        broker_.reset();
        db_ = QSqlDatabase();
        QSqlDatabase::removeDatabase("counts");
    }

    // The service starts 2 s before the broker. Intervals queued before,
    // while and after the broker is away all arrive, in order; a row
    // leaves the outbox once acknowledged. Then the
    // broker freezes with messages in flight: the link gives up on it
    // (keep-alive), and once it is back those go out again, in order.
    void outboxThroughOutages() {
        MqttSettings settings = settingsFor(port_);
        settings.keepalive = 5;
        QVERIFY(broker_->stop());
        QTimer::singleShot(2000, this, [this] { startBroker(); });
        startPublisher(settings);
        queue(0, 40); // more than may be in flight at once
        int duplicates = 0;
        QTRY_VERIFY_WITH_TIMEOUT(arrivedInOrder(0, 40, &duplicates), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(outboxRows(), 0, 5000);
        QVERIFY(broker_->stop()); // mosquitto saves its sessions on the way out
        QTRY_VERIFY_WITH_TIMEOUT(link_->state() != MqttLink::State::Connected, 5000);
        queue(40, 60);
        queue(50, 60); // queued again (a restart of the service): kept once
        // Away for 3 s, or as long as KTR6_MQTT_AWAY_S says (the bench: 60).
        const int away = qEnvironmentVariableIntValue("KTR6_MQTT_AWAY_S");
        QTest::qWait(away > 0 ? 1000 * away : 3000);
        QCOMPARE(outboxRows(), 20); // waiting, not lost
        QVERIFY(startBroker());
        queue(60, 70);
        QTRY_VERIFY_WITH_TIMEOUT(arrivedInOrder(0, 70, &duplicates), 30000);
        qInfo("duplicates after the broker's restart: %d", duplicates);
        ::kill(pid_t(broker_->process.processId()), SIGSTOP);
        queue(70, 90);
        QCOMPARE(publisher_->inFlight(), MqttPublisher::kMaxInFlight);
        QTRY_VERIFY_WITH_TIMEOUT(link_->state() != MqttLink::State::Connected, 15000);
        ::kill(pid_t(broker_->process.processId()), SIGCONT);
        QTRY_VERIFY_WITH_TIMEOUT(arrivedInOrder(0, 90, &duplicates), 20000);
        QTRY_COMPARE_WITH_TIMEOUT(outboxRows(), 0, 5000);
        QCOMPARE(publisher_->deliveredCount(), 90);
        qInfo("duplicates in all, after the frozen broker too: %d", duplicates);
    }

    // Fifty totals in about 2.5 s: at most one a second reaches the broker,
    // and the last one stays there, retained.
    void totalsThrottled() {
        startPublisher(settingsFor(port_));
        QElapsedTimer elapsed;
        elapsed.start();
        for (int i = 1; i <= 50; ++i) {
            publisher_->publishTotal("T1", 3, i);
            QTest::qWait(50);
        }
        const QString topic = kPrefix + "/T1/3/total";
        QTRY_COMPARE_WITH_TIMEOUT(sub_->on(topic).value(sub_->on(topic).size() - 1), topic + " 50",
                                  3000);
        const int allowed = int(elapsed.elapsed() / 1000) + 2; // the first, one a second, the last
        QVERIFY2(sub_->on(topic).size() <= allowed, qPrintable(sub_->on(topic).join('|')));
        QCOMPARE(retained({topic}, 1), QStringList{topic + " 50"});
    }

    // A stop sends what waits in the outbox and the total held back by the
    // throttle before it says "offline" and disconnects.
    void stopSendsWhatWaits() {
        startPublisher(settingsFor(port_));
        const QString topic = kPrefix + "/T1/3/total";
        publisher_->publishTotal("T1", 3, 1);
        publisher_->publishTotal("T1", 3, 2); // held for a second
        queue(0, 40);
        QVERIFY(publisher_->flush(5000));
        QCOMPARE(outboxRows(), 0);
        link_->stop();
        QCOMPARE(retained({topic}, 1), QStringList{topic + " 2"});
        int duplicates = 0;
        QTRY_VERIFY_WITH_TIMEOUT(arrivedInOrder(0, 40, &duplicates), 3000);
        QCOMPARE(duplicates, 0);
    }

    // The will says "offline" when the publishing process is killed; a stop says it too.
    void offlineWhenGone() {
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(), {"--child", QString::number(port_)});
        const QString status = kPrefix + "/status";
        QTRY_COMPARE_WITH_TIMEOUT(sub_->on(status), QStringList{status + " online"}, 5000);
        ::kill(pid_t(child.processId()), SIGKILL);
        QTRY_COMPARE_WITH_TIMEOUT(sub_->on(status).value(1), status + " offline", 5000);
        startPublisher(settingsFor(port_));
        QTRY_COMPARE_WITH_TIMEOUT(sub_->on(status).value(2), status + " online", 3000);
        link_->stop();
        QTRY_COMPARE_WITH_TIMEOUT(sub_->on(status).value(3), status + " offline", 3000);
    }

    // Discovery entries and states are retained: a consumer that comes later sees them.
    void discoveryRetained() {
        MqttSettings settings = settingsFor(port_);
        settings.discovery = true;
        startPublisher(settings);
        publisher_->publishStatus("T1", RelayStatus::Paused);
        publisher_->publishDiscovery(
            {{"T1", "Incomer", 1, "kWh", "", false, false}, {"T1", "", 2, "m³", "", true, false}});
        const QStringList got = retained({"homeassistant/#", kPrefix + "/T1/status"}, 3);
        QCOMPARE(got.filter(kPrefix + "/T1/status paused").size(), 1);
        const QStringList gas = got.filter("homeassistant/sensor/ktr6test_T1/channel2/config ");
        QCOMPARE(gas.size(), 1);
        const QJsonObject config =
            QJsonDocument::fromJson(gas[0].section(' ', 1).toUtf8()).object();
        QCOMPARE(config.value("device_class").toString(), QStringLiteral("gas"));
        QCOMPARE(config.value("state_class").toString(), QStringLiteral("total"));
    }
};

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (app.arguments().value(1) == "--child") {
        MqttLink link(settingsFor(app.arguments().value(2).toInt()));
        QString error;
        return link.start(&error) ? app.exec() : 1;
    }
    TestMqttBroker test;
    return QTest::qExec(&test, argc, argv);
}
#include "test_mqtt_broker.moc"
