// The stdin console of a running simulator.

#include "CommandInterpreter.h"
#include "SimDevice.h"

#include <QTest>

using namespace ktr6sim;

namespace {
const QString kDefaults = QStringLiteral(
    "params 1/1,1/1,1/1,1/1,1/1,1/1 sign=63 output=1 variant=6 style=zero fault=none");
}

class TestSimConsole : public QObject {
    Q_OBJECT

private slots:
    void settings_data();
    void settings();
    void streamControl();
};

void TestSimConsole::settings_data() {
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("params"); // what "params" shows afterwards

    QTest::newRow("set") << "set 16/1,1/4,-1/3,256/65300,1/1,1/1" << true
                         << "params 16/1,1/4,-1/3,256/65300,1/1,1/1 sign=59 output=1 variant=6 "
                            "style=zero fault=none";
    QTest::newRow("set, bad") << "set 1/1,1/1" << false << kDefaults;
    QTest::newRow("output 255") << "output 255" << true
                                << "params 1/1,1/1,1/1,1/1,1/1,1/1 sign=63 output=255 variant=6 "
                                   "style=zero fault=none";
    QTest::newRow("output 256") << "output 256" << false << kDefaults;
    QTest::newRow("style blank") << "STYLE blank" << true
                                 << "params 1/1,1/1,1/1,1/1,1/1,1/1 sign=63 output=1 variant=6 "
                                    "style=blank fault=none";
    QTest::newRow("fault") << "fault missing-comma=3" << true
                           << "params 1/1,1/1,1/1,1/1,1/1,1/1 sign=63 output=1 variant=6 "
                              "style=zero fault=missing-comma=3";
    QTest::newRow("fault, bad") << "fault missing-comma=0" << false << kDefaults;
    QTest::newRow("rec channel 9") << "rec 9" << false << kDefaults;
    QTest::newRow("unknown") << "frobnicate" << false << kDefaults;
}

void TestSimConsole::settings() {
    QFETCH(QString, line);
    QFETCH(bool, ok);
    QFETCH(QString, params);
    SimDevice device;
    CommandInterpreter console(device, {});

    const CommandInterpreter::Result result = console.execute(line);
    QCOMPARE(result.ok, ok);
    QCOMPARE(result.text.startsWith(QLatin1String("error:")), !ok);
    QVERIFY(!result.quit);
    QCOMPARE(console.execute(QStringLiteral("params")).text, params);
}

void TestSimConsole::streamControl() {
    SimDevice device;
    StreamConfig launch;
    launch.burstSize = 4;
    launch.burstPattern = "12";
    CommandInterpreter console(device, launch);

    QVERIFY(console.execute(QStringLiteral("count 10")).ok);
    QVERIFY(!device.streaming()); // count alone does not start anything
    QVERIFY(console.execute(QStringLiteral("rate 3 20")).ok);
    QVERIFY(device.streaming());
    const StreamConfig running = device.streamConfig();
    QCOMPARE(running.rates, (std::map<int, double>{{3, 20.0}}));
    QCOMPARE(running.burstSize, 4);
    QCOMPARE(running.countLimit, 10);

    QVERIFY(console.execute(QStringLiteral("stop")).ok);
    QVERIFY(!device.streaming());
    QVERIFY(console.execute(QStringLiteral("start")).ok);
    QVERIFY(device.streaming());
    QVERIFY(!console.execute(QStringLiteral("rate 3 fast")).ok);
    QVERIFY(console.execute(QStringLiteral("rate 3 off")).ok);
    QCOMPARE(device.streamConfig().rates.size(), size_t(0));

    // No line carries more than 1638 records/s in all; a refused rate changes nothing.
    QVERIFY(!console.execute(QStringLiteral("rate 1 1e308")).ok);
    QVERIFY(console.execute(QStringLiteral("rate 1 1000")).ok);
    QVERIFY(!console.execute(QStringLiteral("rate 2 700")).ok);
    QCOMPARE(device.streamConfig().rates, (std::map<int, double>{{1, 1000.0}}));
}

QTEST_GUILESS_MAIN(TestSimConsole)
#include "tst_simconsole.moc"
