// The on-line view on the real port object over a pty, against the simulated
// relay: bursts, split records and a free-running stream, every record
// counted and every total exact.

#include "SimDevice.h"
#include "app/Main.h"
#include "core/Others.h"
#include "core/Seams.h"
#include "protocol/ParameterBlock.h"
#include "resources/Resources.h"
#include "serial/QtSerialComm.h"
#include "serial/SettingsFile.h"
#include "views/Lamp.h"
#include "views/OnLine.h"

#include <QAction>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>
#include <memory>

using namespace ktr6sim;

class TestOnlineE2e : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void everyRecordCounted_data();
    void everyRecordCounted();
    void deviceHangsUp();

private:
    bool openStatus(const std::function<void(OnLine*)>& body);

    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<SimDevice> sim_;
    std::unique_ptr<QtSerialComm> port_;
    std::unique_ptr<Main> main_;
    QStringList messages_;
};

void TestOnlineE2e::initTestCase() {
    ktr6InitResources();
    QLocale::setDefault(QLocale::c());
}

void TestOnlineE2e::init() {
    Others::resetAll();
    messages_.clear();
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
    seams::setProgramDirectory(dir_->path());
    seams::bindMessage([this](const QString& text, const QString&, MsgIcon) { messages_ << text; });
    seams::bindSleep({}); // real pauses: the relay answers in real time

    SimConfig config;
    config.params.numerators = {1, 1, 7, 1, 1, 3};
    config.params.divisors = {3, 4, 10, 1, 1, 65535};
    config.params.signMask = 0b111101; // IN 2 counts down
    config.params.output = 5;
    sim_ = std::make_unique<SimDevice>(config);
    QString error;
    QVERIFY2(sim_->start(dir_->path(), QStringLiteral("com1"), &error), qPrintable(error));

    QVERIFY2(writePortSettings({1, 0, 9600, 0, 0}, &error), qPrintable(error));
    port_ = std::make_unique<QtSerialComm>();
    seams::bindPort(port_.get());
    main_ = std::make_unique<Main>(port_.get());
    QVERIFY(main_->startUp());
}

void TestOnlineE2e::cleanup() {
    main_.reset();
    seams::bindPort(nullptr);
    port_.reset();
    sim_.reset();
    seams::bindMessage({});
    seams::setProgramDirectory(QString());
    dir_.reset();
}

bool TestOnlineE2e::openStatus(const std::function<void(OnLine*)>& body) {
    bool shown = false;
    const auto connection =
        connect(main_.get(), &Main::secondaryWindowLoaded, this, [&](QWidget* window) {
            shown = true;
            QTimer::singleShot(0, window, [&body, window] {
                body(qobject_cast<OnLine*>(window));
                window->close();
            });
        });
    main_->nmuStatus()->trigger();
    disconnect(connection);
    return shown;
}

void TestOnlineE2e::everyRecordCounted_data() {
    QTest::addColumn<QByteArray>("filler");
    QTest::addColumn<int>("splitMs");
    QTest::addColumn<int>("burst");
    QTest::addColumn<QStringList>("totals"); // IN 1..IN 6, V1, V2

    // Pattern "12378" cycled: each of those channels gets burst / 5 records.
    QTest::newRow("20000 bare records in one burst")
        << QByteArray() << 0 << 20000
        << QStringList{"1333.33", "-1000.0", "2800.0", "0", "0", "0", "20000", "20000"};
    QTest::newRow("filler") << QByteArray("ab ") << 0 << 5000
                            << QStringList{"333.33", "-250.0", "700.0", "0",
                                           "0",      "0",      "5000",  "5000"};
    QTest::newRow("records split across writes")
        << QByteArray("-") << 2 << 300
        << QStringList{"20.0", "-15.0", "42.0", "0", "0", "0", "300", "300"};
}

void TestOnlineE2e::everyRecordCounted() {
    QFETCH(QByteArray, filler);
    QFETCH(int, splitMs);
    QFETCH(int, burst);
    QFETCH(QStringList, totals);
    sim_->setRecordStyle({filler, splitMs});

    const bool shown = openStatus([&](OnLine* view) {
        QVERIFY(view);
        QCOMPARE(view->Label2(1)->text(), QStringLiteral("- 1/ 4"));
        // The window must keep answering while records pour in: a timer that
        // should tick every 10 ms is never held up for long.
        QElapsedTimer clock;
        clock.start();
        qint64 lastTick = 0;
        qint64 longestGap = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, [&] {
            longestGap = std::max(longestGap, clock.elapsed() - lastTick);
            lastTick = clock.elapsed();
        });
        ticker.start(10);
        sim_->sendBurst(burst, "12378");
        // A free-running stream on IN 6 at the same time: tiny amounts.
        StreamConfig stream;
        stream.rates = {{6, 0.0}};
        stream.countLimit = 1000;
        sim_->startStream(stream);

        QTRY_VERIFY_WITH_TIMEOUT(sim_->counters().recordsSent >= burst + 1000, 60000);
        totals[5] = QStringLiteral("0.05");
        for (int k = 0; k < 8; ++k)
            QTRY_COMPARE_WITH_TIMEOUT(view->Text1(k)->text(), totals[k], 20000);
        ticker.stop();
        QCOMPARE(sim_->counters().recordsDropped, 0);
        QVERIFY2(longestGap < 500,
                 qPrintable(QStringLiteral("event loop held up %1 ms").arg(longestGap)));
        // Indicators: green 200 ms after the last record; untouched ones
        // keep their colour.
        QTRY_COMPARE_WITH_TIMEOUT(view->Shape1(0)->fillColor(), OnLine::kGreen, 2000);
        QTRY_COMPARE_WITH_TIMEOUT(view->Shape1(7)->fillColor(), OnLine::kGreen, 2000);
        QCOMPARE(view->Shape1(3)->fillColor(), OnLine::kLightPeach);
    });
    QVERIFY(!QTest::currentTestFailed());
    QVERIFY(shown);
    QVERIFY(messages_.isEmpty());
    QVERIFY(!port_->PortOpen());
}

void TestOnlineE2e::deviceHangsUp() {
    const bool shown = openStatus([&](OnLine* view) {
        QVERIFY(view);
        sim_->sendRecords(1, 30);
        QTRY_COMPARE_WITH_TIMEOUT(view->Text1(0)->text(), QStringLiteral("10.0"), 10000);
        sim_->hangUp();
        QTRY_COMPARE_WITH_TIMEOUT(messages_.size(), 1, 10000);
        QCOMPARE(messages_[0], kPortErrorText);
        QTest::qWait(300);
        QCOMPARE(messages_.size(), 1); // once
        QVERIFY(view->isVisible());
        QCOMPARE(view->Text1(0)->text(), QStringLiteral("10.0"));
        QVERIFY2(view->windowTitle().endsWith(QStringLiteral(" - device lost, not counting")),
                 qPrintable(view->windowTitle()));

        // Records sent while it was away are not counted; the relay comes
        // back with the same set and counting goes on from the totals.
        sim_->sendRecords(1, 6);
        QString error;
        QVERIFY2(sim_->replug(&error), qPrintable(error));
        QTRY_VERIFY_WITH_TIMEOUT(
            view->windowTitle().contains(QStringLiteral("counting again since")),
            3 * OnLine::kRetryMs);
        QVERIFY2(!view->windowTitle().contains(QStringLiteral("parameter set changed")),
                 qPrintable(view->windowTitle()));
        QTRY_VERIFY_WITH_TIMEOUT(port_->PortOpen(), 2000);
        sim_->sendRecords(1, 3);
        QTRY_COMPARE_WITH_TIMEOUT(view->Text1(0)->text(), QStringLiteral("11.0"), 10000);
        QCOMPARE(messages_.size(), 1);

        // A second loss shows the box once more; the relay returns with
        // IN 1 at 1/4.
        sim_->hangUp();
        QTRY_COMPARE_WITH_TIMEOUT(messages_.size(), 2, 10000);
        ParamSet params = sim_->storedParams();
        params.divisors[0] = 4;
        sim_->setParams(params);
        QVERIFY2(sim_->replug(&error), qPrintable(error));
        QTRY_VERIFY_WITH_TIMEOUT(
            view->windowTitle().endsWith(QStringLiteral(", parameter set changed")),
            3 * OnLine::kRetryMs);
        QCOMPARE(view->Label2(0)->text(), QStringLiteral(" 1/ 4"));
        sim_->sendRecords(1, 2);
        QTRY_COMPARE_WITH_TIMEOUT(view->Text1(0)->text(), QStringLiteral("11.5"), 10000);
        QCOMPARE(messages_.size(), 2);
    });
    QVERIFY(!QTest::currentTestFailed());
    QVERIFY(shown);
    QVERIFY(!port_->PortOpen());
}

QTEST_MAIN(TestOnlineE2e)
#include "test_online_e2e.moc"
