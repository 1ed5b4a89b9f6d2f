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
    void commandTable_data();
    void commandTable();
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

// The commands help lists: the first word of each synopsis, and of each alternative of one
// ("start | stop").
QStringList listedByHelp(const QString& help) {
    QStringList listed;
    for (const QString& line : help.split(QLatin1Char('\n'))) {
        if (!line.startsWith(QLatin1String("  ")) || line.at(2) == QLatin1Char(' '))
            continue;
        const QString synopsis = line.mid(2).section(QLatin1String("  "), 0, 0);
        for (const QString& alternative : synopsis.split(QLatin1String(" | ")))
            listed << alternative.section(QLatin1Char(' '), 0, 0);
    }
    return listed;
}

void TestSimConsole::commandTable_data() {
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("unknownReply"); // empty: a command the console knows

    for (const QString& name : CommandInterpreter::commandNames())
        QTest::addRow("%s", qPrintable(name)) << name << QString();
    QTest::newRow("alias exit") << "exit" << QString();
    QTest::newRow("unknown") << "frobnicate"
                             << "error: unknown command \"frobnicate\" (try help)";
    QTest::newRow("unknown, capitals and an argument")
        << "  Frob x"
        << "error: unknown command \"frob\" (try help)";
    QTest::newRow("a known name as an argument") << "x rec"
                                                 << "error: unknown command \"x\" (try help)";
}

void TestSimConsole::commandTable() {
    QFETCH(QString, line);
    QFETCH(QString, unknownReply);
    SimDevice device;
    CommandInterpreter console(device, {});
    const QString help = CommandInterpreter::help();
    QCOMPARE(console.execute(QStringLiteral("help")).text, help);

    const CommandInterpreter::Result result = console.execute(line);
    if (!unknownReply.isEmpty()) {
        QCOMPARE(result.text, unknownReply);
        QVERIFY(!result.ok);
        return;
    }
    QVERIFY2(!result.text.startsWith(QLatin1String("error: unknown command")),
             qPrintable(result.text));
    if (line != QLatin1String("exit"))
        QVERIFY2(listedByHelp(help).contains(line), qPrintable(help));
}

QTEST_GUILESS_MAIN(TestSimConsole)
#include "tst_simconsole.moc"
