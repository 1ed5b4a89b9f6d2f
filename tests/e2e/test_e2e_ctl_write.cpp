// ktr6ctl write and diff against the simulated relay: the set read, written
// and read back, and compared with the device.

#include "CtlRig.h"

#include <QTest>

class E2eCtlWriteTest : public QObject {
    Q_OBJECT
private slots:
    void writeRoundTrip_data();
    void writeRoundTrip();
    void diffAgainstTheDevice_data();
    void diffAgainstTheDevice();
};

void E2eCtlWriteTest::writeRoundTrip_data() {
    QTest::addColumn<bool>("fromStdin");
    QTest::addColumn<int>("pauseMs"); // between the two halves of the input
    QTest::addColumn<int>("blanks");  // inside the JSON, before "output"
    QTest::newRow("write FILE") << false << 0 << 0;
    QTest::newRow("write -") << true << 0 << 0;
    QTest::newRow("write - written in two parts") << true << 300 << 0;
    QTest::newRow("write - over a pipe's 64 KiB") << true << 0 << 200 * 1024;
}

void E2eCtlWriteTest::writeRoundTrip() {
    QFETCH(bool, fromStdin);
    QFETCH(int, pauseMs);
    QFETCH(int, blanks);
    SimRig rig(deviceConfig());
    QVERIFY2(rig.started, qPrintable(rig.error));

    const CtlResult read = runCtl(rig.dir.path(), {"read", "--json"});
    QCOMPARE(read.exitCode, 0);
    QCOMPARE(read.out, kDeviceJson);

    QByteArray edited = read.out;
    edited.replace(R"("numerator":16)", R"("numerator":40)");
    edited.replace(R"("divisor":3,"minus":false)", R"("divisor":3,"minus":true)");
    edited.replace(R"("output":5)", R"("output":250)");
    QByteArray input = edited;
    input.replace(R"("output")", QByteArray(blanks, ' ') + R"("output")");
    CtlResult write;
    if (fromStdin) {
        write = runCtl(rig.dir.path(), {"write", "-"}, input, pauseMs);
    } else {
        const QString file = rig.dir.filePath(QStringLiteral("set.json"));
        QFile out(file);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(input);
        out.close();
        write = runCtl(rig.dir.path(), {"write", file});
    }
    QCOMPARE(write.exitCode, 0);
    QVERIFY2(write.err.contains("Check Parameter: All Parameter writen"), write.err.constData());
    qInfo("ktr6ctl write: %lld ms from start to exit", write.elapsedMs);

    const ktr6sim::ParamSet stored = rig.sim->storedParams();
    QCOMPARE(stored.numerators[0], quint16(40));
    QCOMPARE(stored.signMask, quint8(0x2D));
    QCOMPARE(stored.output, quint8(250));

    const CtlResult again = runCtl(rig.dir.path(), {"read", "--json"});
    QCOMPARE(again.out, edited);
}

void E2eCtlWriteTest::diffAgainstTheDevice_data() {
    QTest::addColumn<QList<QByteArray>>("edits"); // pairs: text in kDeviceJson, replacement
    QTest::addColumn<bool>("fromStdin");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("out");

    using Edits = QList<QByteArray>;
    QTest::newRow("equal, the file names no firmware")
        << Edits{R"("firmware":"6",)", ""} << false << 0 << QByteArray();
    QTest::newRow("another firmware") << Edits{R"("firmware":"6")", R"("firmware":"2x3")"} << false
                                      << 3 << QByteArray("firmware: device 6, file 2x3\n");
    QTest::newRow("equal, from stdin") << Edits{} << true << 0 << QByteArray();
    QTest::newRow("numerator") << Edits{R"("numerator":16)", R"("numerator":40)"} << false << 3
                               << QByteArray("IN 1 numerator: device 16, file 40\n");
    QTest::newRow("divisor") << Edits{R"("divisor":65535)", R"("divisor":31)"} << false << 3
                             << QByteArray("IN 3 divisor: device 65535, file 31\n");
    QTest::newRow("sign") << Edits{R"("minus":true)", R"("minus":false)"} << true << 3
                          << QByteArray("IN 2 sign: device minus, file plus\n");
    QTest::newRow("output alone") << Edits{R"("output":5)", R"("output":6)"} << false << 3
                                  << QByteArray("output: device 5, file 6\n");
    QTest::newRow("several at once")
        << Edits{R"("output":5)",
                 R"("output":0)",
                 R"("divisor":3,"minus":false)",
                 R"("divisor":30,"minus":true)",
                 R"("numerator":1,"divisor":4)",
                 R"("numerator":0,"divisor":4)"}
        << false << 3
        << QByteArray("IN 2 numerator: device 1, file 0\nIN 5 divisor: device 3, file 30\n"
                      "IN 5 sign: device plus, file minus\noutput: device 5, file 0\n");
}

void E2eCtlWriteTest::diffAgainstTheDevice() {
    QFETCH(QList<QByteArray>, edits);
    QFETCH(bool, fromStdin);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, out);
    SimRig rig(deviceConfig());
    QVERIFY2(rig.started, qPrintable(rig.error));
    QByteArray sheet = kDeviceJson;
    for (qsizetype i = 0; i + 1 < edits.size(); i += 2) {
        QVERIFY(sheet.contains(edits[i]));
        sheet.replace(edits[i], edits[i + 1]);
    }
    const QString file = rig.dir.filePath(QStringLiteral("sheet.json"));
    QFile sheetFile(file);
    QVERIFY(sheetFile.open(QIODevice::WriteOnly) && sheetFile.write(sheet) == sheet.size());
    sheetFile.close();

    const CtlResult diff = fromStdin ? runCtl(rig.dir.path(), {"diff", "-"}, sheet)
                                     : runCtl(rig.dir.path(), {"diff", file});

    QVERIFY2(diff.exitCode == exitCode, diff.err.constData());
    QCOMPARE(diff.out, out);
    const QString name = fromStdin ? QStringLiteral("standard input") : file;
    const QString summary = exitCode == 0 ? QStringLiteral("holds the set in %1.\n").arg(name)
                                          : QStringLiteral("holds another set than %1: ").arg(name);
    QVERIFY2(QString::fromUtf8(diff.err).contains(summary), diff.err.constData());
    // One read and nothing else: never a write.
    QCOMPARE(rig.sim->receivedBytes(), QByteArray("*"));
}

QTEST_GUILESS_MAIN(E2eCtlWriteTest)
#include "test_e2e_ctl_write.moc"
