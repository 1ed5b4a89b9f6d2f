// ktr6ctl commission's record and journal when other programs take part:
// a name taken during the run, a full disk, two runs on one journal; and a
// plan's amounts, checked alike by diff, commission and write.

#include "CtlRig.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

class E2eCtlRecordTest : public QObject {
    Q_OBJECT
private slots:
    void commissionRecordNotWritten_data();
    void commissionRecordNotWritten();
    void amountCheckedAlike_data();
    void amountCheckedAlike();
    void journalOfTwoRunsAtOnce();
};

void E2eCtlRecordTest::commissionRecordNotWritten_data() {
    QTest::addColumn<QString>("appears"); // a file that takes this name during the run, or
                                          // "stdout": the output goes to a full disk
    QTest::addColumn<QString>("stderrText");
    QTest::addColumn<bool>("pdfWritten");
    QTest::addColumn<bool>("twinWritten");

    QTest::newRow("the PDF's name taken")
        << "r.pdf"
        << "ktr6ctl: DIR/r.pdf appeared while the run went on; it was left as it is; "
           "no record was written.\n"
        << false << false;
    QTest::newRow("the twin's name taken")
        << "r.json"
        << "ktr6ctl: DIR/r.json appeared while the run went on; it was left as it "
           "is; the record DIR/r.pdf has no twin.\n"
        << true << false;
    QTest::newRow("the paths not printed")
        << "stdout"
        << "ktr6ctl: cannot write the output: No space left on device\n"
        << true << true;
}

void E2eCtlRecordTest::commissionRecordNotWritten() {
    QFETCH(QString, appears);
    QFETCH(QString, stderrText);
    QFETCH(bool, pdfWritten);
    QFETCH(bool, twinWritten);
    SimRig rig(deviceConfig());
    QVERIFY2(rig.started, qPrintable(rig.error));
    const QString dir = rig.dir.path();
    QVERIFY(writeFile(rig.dir.filePath("plan.json"), kPlanJson));
    QProcess ctl;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("KTR6_PROGRAM_DIR", dir);
    ctl.setProcessEnvironment(env);
    ctl.setWorkingDirectory(dir);
    if (appears == QLatin1String("stdout"))
        ctl.setStandardOutputFile(QStringLiteral("/dev/full"));
    ctl.start(binary("ktr6ctl"),
              {"commission", "plan.json", "--record", "r.pdf", "--journal", "j.jsonl"});
    QTRY_VERIFY_WITH_TIMEOUT(rig.sim->receivedBytes().contains(','), 5000);
    if (appears != QLatin1String("stdout"))
        QVERIFY(writeFile(rig.dir.filePath(appears), "kept"));
    QVERIFY(ctl.waitForFinished(10000));

    QCOMPARE(ctl.exitCode(), 4);
    // The device's outcome first, then what became of the record.
    QCOMPARE(QString::fromUtf8(ctl.readAllStandardError()),
             QStringLiteral("ktr6ctl: verified: the device on COM1 (%1/com1) holds the set in "
                            "plan.json.\n")
                     .arg(dir) +
                 QString(stderrText).replace("DIR", dir));
    if (appears != QLatin1String("stdout"))
        QCOMPARE(readFile(rig.dir.filePath(appears)), QByteArray("kept"));
    if (appears != QLatin1String("r.pdf"))
        QCOMPARE(readFile(rig.dir.filePath("r.pdf")).startsWith("%PDF-"), pdfWritten);
    if (appears != QLatin1String("r.json"))
        QCOMPARE(QFile::exists(rig.dir.filePath("r.json")), twinWritten);
    // A journal line for each PDF written.
    QCOMPARE(readFile(rig.dir.filePath("j.jsonl")).count('\n'), pdfWritten ? 1 : 0);
    QCOMPARE(QDir(dir).entryList({".*.part"}, QDir::Files | QDir::Hidden), QStringList());
}

void E2eCtlRecordTest::amountCheckedAlike_data() {
    QTest::addColumn<QByteArray>("amount"); // IN 2's "amount" as JSON
    QTest::addColumn<QString>("error");     // empty: accepted

    QTest::newRow("a quotient") << QByteArray(R"("40/160")") << "";
    QTest::newRow("a number") << QByteArray("0.25") << "";
    QTest::newRow("negative") << QByteArray(R"("-0.25")")
                              << "inputs[1] (IN 2) amount: \"-0.25\" is negative";
    QTest::newRow("a decimal comma")
        << QByteArray(R"("0,25")") << "inputs[1] (IN 2) amount: \"0,25\" has a decimal comma";
    QTest::newRow("a list") << QByteArray("[1]")
                            << "inputs[1] (IN 2) amount must be a text such as \"0.1\"";
}

void E2eCtlRecordTest::amountCheckedAlike() {
    QFETCH(QByteArray, amount);
    QFETCH(QString, error);
    SimRig rig(deviceConfig());
    QVERIFY2(rig.started, qPrintable(rig.error));
    // The device's own set: write changes nothing, diff finds it equal,
    // commission finds it held already.
    QByteArray plan = kDeviceJson;
    plan.replace(R"("minus":true)", R"("minus":true,"amount":)" + amount);
    QVERIFY(writeFile(rig.dir.filePath("plan.json"), plan));
    const QString dir = rig.dir.path();
    QStringList messages; // what each command says
    for (const QStringList& args : {QStringList{"diff", "plan.json"},
                                    QStringList{"commission", "plan.json", "--record", "r.pdf"},
                                    QStringList{"write", "plan.json"}}) {
        const CtlResult run = runCtlIn(dir, dir, args);
        QVERIFY2(run.exitCode == (error.isEmpty() ? 0 : 2),
                 qPrintable(args.first() + ": " + run.err));
        if (!error.isEmpty())
            messages << QString::fromUtf8(run.err);
    }
    if (!error.isEmpty()) {
        QVERIFY2(messages[0].startsWith("ktr6ctl: plan.json: " + error), qPrintable(messages[0]));
        QVERIFY2(messages[0].endsWith("; nothing was sent.\n"), qPrintable(messages[0]));
        QCOMPARE(messages[1], messages[0]);
        QCOMPARE(messages[2], messages[0]);
    }
    QCOMPARE(rig.sim->counters().writeBlocks, error.isEmpty() ? 1 : 0);
    QCOMPARE(rig.sim->receivedBytes().isEmpty(), !error.isEmpty());
}

void E2eCtlRecordTest::journalOfTwoRunsAtOnce() {
    ktr6sim::SimConfig config = deviceConfig();
    SimRig east(config);
    SimRig west(config);
    QVERIFY2(east.started && west.started, qPrintable(east.error + west.error));
    QTemporaryDir site;
    const QString journal = site.filePath("site.jsonl");
    // A run before was cut short by a full disk, mid-line.
    QVERIFY(writeFile(journal, R"({"time":"2024-05-17T14:03:07+02:00","site":"Rozv)"));
    QVERIFY(writeFile(site.filePath("plan.json"), kPlanJson));

    QList<QProcess*> runs;
    for (const QString& relay : {QStringLiteral("east"), QStringLiteral("west")}) {
        auto* process = new QProcess(this);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("KTR6_PROGRAM_DIR", (relay == "east" ? east : west).dir.path());
        process->setProcessEnvironment(env);
        process->setWorkingDirectory(site.path());
        process->start(binary("ktr6ctl"), {"commission", "plan.json", "--relay", relay, "--record",
                                           relay + ".pdf", "--journal", journal});
        runs << process;
    }
    for (QProcess* process : runs) {
        QVERIFY(process->waitForFinished(20000));
        QVERIFY2(process->exitCode() == 0, process->readAllStandardError().constData());
        delete process;
    }

    const QList<QByteArray> lines = readFile(journal).split('\n');
    QCOMPARE(lines.size(), 4);
    QCOMPARE(lines[0], QByteArray(R"({"time":"2024-05-17T14:03:07+02:00","site":"Rozv)"));
    QStringList relays;
    for (const QByteArray& line : lines.mid(1, 2)) {
        QJsonParseError error;
        const QJsonObject entry = QJsonDocument::fromJson(line, &error).object();
        QVERIFY2(error.error == QJsonParseError::NoError, line.constData());
        QCOMPARE(entry.value("outcome").toString(), QStringLiteral("verified"));
        relays << entry.value("relay").toString();
        QCOMPARE(entry.value("pdf").toString(), site.filePath(relays.last() + ".pdf"));
    }
    relays.sort();
    QCOMPARE(relays, (QStringList{"east", "west"}));
    QVERIFY(lines[3].isEmpty());
}

QTEST_GUILESS_MAIN(E2eCtlRecordTest)
#include "test_e2e_ctl_record.moc"
