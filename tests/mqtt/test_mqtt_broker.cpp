// MqttLink and MqttPublisher against a real mosquitto broker on a free
// loopback port, with persistence, and mosquitto_sub on a persistent session
// as the consumer.

#include "MqttPublisher.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <arpa/inet.h>
#include <memory>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const QString kPrefix = QStringLiteral("ktr6test");

// A free port (bound to 0 and let go), or whether something listens on one.
int loopbackSocket(int port, bool listen) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    int result = -1;
    if (listen && bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0)
        result = ntohs(address.sin_port);
    if (!listen)
        result = ::connect(fd, reinterpret_cast<sockaddr*>(&address), size);
    close(fd);
    return result;
}

// Lines a process writes, read as they come.
struct LineReader {
    QProcess process;
    QStringList lines;
    LineReader() {
        QObject::connect(&process, &QProcess::readyReadStandardOutput, [this] {
            while (process.canReadLine())
                lines.append(QString::fromUtf8(process.readLine()).trimmed());
        });
    }
    QStringList on(const QString& topic) const {
        return lines.filter(QRegularExpression("^" + topic + " "));
    }
};

} // namespace

class TestMqttBroker : public QObject {
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> dir_;
    int port_ = 0;
    QProcess broker_;
    std::unique_ptr<LineReader> sub_;
    std::unique_ptr<MqttLink> link_;
    std::unique_ptr<MqttPublisher> publisher_;
    QSqlDatabase db_;
    QDateTime base_{QDate(2026, 12, 7), QTime(14, 0), Qt::UTC};

    bool startBroker() {
        QFile conf(dir_->filePath("mosquitto.conf"));
        conf.open(QIODevice::WriteOnly);
        conf.write(QStringLiteral("listener %1 127.0.0.1\nallow_anonymous true\npersistence true\n"
                                  "persistence_location %2/\n")
                       .arg(port_)
                       .arg(dir_->path())
                       .toUtf8());
        conf.close();
        broker_.start("mosquitto", {"-c", conf.fileName()});
        for (int i = 0; i < 250 && loopbackSocket(port_, false) != 0; ++i)
            QTest::qWait(20);
        return loopbackSocket(port_, false) == 0;
    }
    void stopBroker() {
        broker_.terminate(); // mosquitto saves its sessions on the way out
        QVERIFY(broker_.waitForFinished(5000));
    }
    void startPublisher(bool discovery = false, int keepalive = 30) {
        MqttSettings settings;
        settings.host = "127.0.0.1";
        settings.port = port_;
        settings.prefix = kPrefix;
        settings.clientId = "ktr6d-test";
        settings.discovery = discovery;
        settings.keepalive = keepalive;
        link_ = std::make_unique<MqttLink>(settings);
        publisher_ = std::make_unique<MqttPublisher>(*link_, db_);
        QString error;
        QVERIFY2(link_->start(&error), qPrintable(error));
        QTRY_VERIFY_WITH_TIMEOUT(link_->state() == MqttLink::State::Connected, 5000);
    }
    void queue(int from, int to) {
        QVERIFY(db_.transaction());
        for (int i = from; i < to; ++i) {
            const QDateTime start = base_.addSecs(60 * i);
            QString error;
            QVERIFY2(
                Outbox::enqueue(
                    db_, kPrefix,
                    ClosedInterval{"T1", 1, start, start.addSecs(60), i, i * 0.5, i * 2.0, {}, {}},
                    &error),
                qPrintable(error));
        }
        QVERIFY(db_.commit());
        publisher_->wake();
    }
    // The keys that arrived, each once, in the order they first came; *duplicates how many came
    // again.
    QStringList keysSeen(int* duplicates) const {
        QStringList keys;
        *duplicates = 0;
        for (const QString& line : sub_->on(kPrefix + "/T1/interval")) {
            const QString key = QJsonDocument::fromJson(line.section(' ', 1).toUtf8())
                                    .object()
                                    .value("key")
                                    .toString();
            if (keys.contains(key))
                ++*duplicates;
            else
                keys.append(key);
        }
        return keys;
    }
    QStringList keys(int from, int to) const {
        QStringList keys;
        for (int i = from; i < to; ++i)
            keys.append(intervalKey("T1", 1, base_.addSecs(60 * i)));
        return keys;
    }
    int outboxRows() {
        QSqlQuery query("SELECT count(*) FROM outbox", db_);
        return query.next() ? query.value(0).toInt() : -1;
    }

private slots:
    void init() {
        dir_ = std::make_unique<QTemporaryDir>();
        port_ = loopbackSocket(0, true);
        QVERIFY(startBroker());
        db_ = QSqlDatabase::addDatabase("QSQLITE", "counts");
        db_.setDatabaseName(dir_->filePath("counts.sqlite"));
        QVERIFY(db_.open());
        QSqlQuery(QStringLiteral("PRAGMA journal_mode=WAL"), db_);
        sub_ = std::make_unique<LineReader>();
        sub_->process.start("mosquitto_sub",
                            {"-h", "127.0.0.1", "-p", QString::number(port_), "-c", "-i", "watcher",
                             "-q", "1", "-v", "-t", kPrefix + "/#"});
        QVERIFY(sub_->process.waitForStarted(5000));
        // Its subscription is in place once a probe reaches it.
        for (int i = 0; i < 25 && sub_->on(kPrefix + "/probe").isEmpty(); ++i) {
            QProcess::execute("mosquitto_pub",
                              {"-p", QString::number(port_), "-t", kPrefix + "/probe", "-m", "1"});
            QTest::qWait(200);
        }
        QVERIFY(!sub_->on(kPrefix + "/probe").isEmpty());
    }
    void cleanup() {
        publisher_.reset();
        link_.reset();
        sub_->process.kill();
        sub_->process.waitForFinished(5000);
        sub_.reset();
        broker_.kill();
        broker_.waitForFinished(5000);
        db_.close();
        db_ = QSqlDatabase();
        QSqlDatabase::removeDatabase("counts");
    }

    // Intervals queued before, while and after the broker is away all
    // arrive, each in its order; a row leaves the outbox once acknowledged.
    void outboxAcrossBrokerRestart() {
        startPublisher();
        queue(0, 40); // more than may be in flight at once
        int duplicates = 0;
        QTRY_COMPARE_WITH_TIMEOUT(keysSeen(&duplicates), keys(0, 40), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(outboxRows(), 0, 5000);
        stopBroker();
        QTRY_VERIFY_WITH_TIMEOUT(link_->state() != MqttLink::State::Connected, 5000);
        queue(40, 60);
        QTest::qWait(3000);
        QCOMPARE(outboxRows(), 20); // waiting, not lost
        QVERIFY(startBroker());
        queue(60, 70);
        QTRY_COMPARE_WITH_TIMEOUT(keysSeen(&duplicates), keys(0, 70), 30000);
        QTRY_COMPARE_WITH_TIMEOUT(outboxRows(), 0, 5000);
        qInfo("duplicates after the broker's restart: %d", duplicates);
        QCOMPARE(publisher_->deliveredCount(), 70);
    }

    // The broker freezes with messages in flight; the link gives up on it
    // (keep-alive) and, once it is back, the messages in flight go out again
    // and leave the outbox only when acknowledged.
    void inFlightResent() {
        startPublisher(false, 5);
        const pid_t broker = pid_t(broker_.processId());
        ::kill(broker, SIGSTOP);
        queue(0, 20);
        QCOMPARE(publisher_->inFlight(), MqttPublisher::kMaxInFlight);
        QTRY_VERIFY_WITH_TIMEOUT(link_->state() != MqttLink::State::Connected, 15000);
        ::kill(broker, SIGCONT);
        int duplicates = 0;
        QTRY_COMPARE_WITH_TIMEOUT(keysSeen(&duplicates), keys(0, 20), 20000);
        QTRY_COMPARE_WITH_TIMEOUT(outboxRows(), 0, 5000);
        QCOMPARE(publisher_->deliveredCount(), 20);
        qInfo("duplicates after the frozen broker: %d", duplicates);
    }

    // Fifty totals in about 2.5 s: at most one a second reaches the broker, and
    // the last one stays there, retained.
    void totalsThrottled() {
        startPublisher();
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
        QProcess late;
        late.start("mosquitto_sub", {"-p", QString::number(port_), "-h", "127.0.0.1", "-t", topic,
                                     "-C", "1", "-W", "5"});
        QVERIFY(late.waitForFinished(8000));
        QCOMPARE(late.readAllStandardOutput().trimmed(), QByteArray("50"));
    }

    // The will says "offline" when the publishing process is killed; a stop says it too.
    void offlineWhenGone() {
        QProcess child;
        child.start(QString::fromLocal8Bit(qgetenv("KTR6_BIN_DIR")) + "/mqtt_child",
                    {QString::number(port_), kPrefix});
        QVERIFY(child.waitForReadyRead(5000));
        const QString status = kPrefix + "/status";
        QTRY_COMPARE_WITH_TIMEOUT(sub_->on(status), QStringList{status + " online"}, 3000);
        ::kill(pid_t(child.processId()), SIGKILL);
        QTRY_COMPARE_WITH_TIMEOUT(sub_->on(status).value(1), status + " offline", 5000);
        child.waitForFinished(3000);
        startPublisher();
        QTRY_COMPARE_WITH_TIMEOUT(sub_->on(status).value(2), status + " online", 3000);
        link_->stop();
        QTRY_COMPARE_WITH_TIMEOUT(sub_->on(status).value(3), status + " offline", 3000);
    }

    // Discovery entries and states are retained: a consumer that comes later sees them.
    void discoveryRetained() {
        startPublisher(true);
        publisher_->publishStatus("T1", RelayStatus::Paused);
        publisher_->publishDiscovery(
            {{"T1", "Incomer", 1, "kWh", "", false, false}, {"T1", "", 2, "m³", "", true, false}});
        QProcess late;
        late.start("mosquitto_sub",
                   {"-p", QString::number(port_), "-h", "127.0.0.1", "-v", "-t", "homeassistant/#",
                    "-t", kPrefix + "/T1/status", "-C", "3", "-W", "5"});
        QVERIFY(late.waitForFinished(8000));
        const QStringList got =
            QString::fromUtf8(late.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(got.filter(kPrefix + "/T1/status paused").size(), 1);
        const QStringList gas = got.filter("homeassistant/sensor/ktr6test_T1/channel2/config ");
        QCOMPARE(gas.size(), 1);
        const QJsonObject config =
            QJsonDocument::fromJson(gas[0].section(' ', 1).toUtf8()).object();
        QCOMPARE(config.value("device_class").toString(), QStringLiteral("gas"));
        QCOMPARE(config.value("state_class").toString(), QStringLiteral("total"));
        QCOMPARE(config.value("unit_of_measurement").toString(), QStringLiteral("m³"));
    }
};

QTEST_GUILESS_MAIN(TestMqttBroker)
#include "test_mqtt_broker.moc"
