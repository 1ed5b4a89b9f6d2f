// ktr6ctl commission against the simulated relay: each outcome with its
// record, twin and journal line, what it refuses before it sends anything,
// and that it alone loads a platform plugin; ktr6ctl audit, whose device
// receives nothing but the parameter request.

#include "CtlRig.h"

#include <QCryptographicHash>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTest>
#include <csignal>

using ktr6sim::FaultKind;

namespace {

// The labels the records carry.
const QStringList kLabels = {"--site", "Rozvodňa Žilina", "--relay", "KTR6 č. 0042",
                             "--by",   "J. Kováč"};

// The bytes ktr6-sim received, from its trace (--trace): "0.412 rx 1 | 2A | *".
QByteArray traceReceived(const QByteArray& trace) {
    QByteArray received;
    for (const QString& line : QString::fromLatin1(trace).split('\n', Qt::SkipEmptyParts))
        received += line.contains(" rx ") ? QByteArray::fromHex(line.section('|', 1, 1).toLatin1())
                                          : QByteArray();
    return received;
}

} // namespace

class E2eCtlCommissionTest : public QObject {
    Q_OBJECT
private slots:
    void commissionOutcomes_data();
    void commissionOutcomes();
    void commissionRefusesBeforeSending_data();
    void commissionRefusesBeforeSending();
    void recordNameLengths_data();
    void recordNameLengths();
    void recordFactsAfterAnUnplug_data();
    void recordFactsAfterAnUnplug();
    void onlyCommissionLoadsAPlatformPlugin();
    void auditOnlyReads_data();
    void auditOnlyReads();
};

void E2eCtlCommissionTest::commissionOutcomes_data() {
    QTest::addColumn<bool>("holdsPlan");   // the device holds the plan before the run
    QTest::addColumn<int>("fault");        // FaultKind
    QTest::addColumn<QStringList>("args"); // beyond the plan and the labels
    QTest::addColumn<QStringList>("env");  // changes to the environment
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<QString>("stderrText"); // all of stderr but its last line's end
    QTest::addColumn<QString>("resultLine");
    QTest::addColumn<char>("variant"); // the device's firmware variant digit; the plan's is "6"

    const int none = int(FaultKind::None);
    // No display at all, as over SSH: Qt's offscreen platform needs none.
    const QStringList noDisplay = {"-DISPLAY", "-WAYLAND_DISPLAY", "-QT_QPA_PLATFORM",
                                   "-XDG_RUNTIME_DIR"};
    QTest::newRow("verified, no display")
        << false << none << QStringList{} << noDisplay << 0 << "verified"
        << "ktr6ctl: verified: the device on COM1 (DIR/com1) holds the set in plan.json."
        << "Verified: the device holds this set" << '6';
    QTest::newRow("verified, a display named that is not there")
        << false << none << QStringList{}
        << QStringList{"QT_QPA_PLATFORM=xcb", "DISPLAY=:97", "QT_QPA_PLATFORMTHEME=gtk3"} << 0
        << "verified"
        << "ktr6ctl: verified: the device on COM1 (DIR/com1) holds the set in plan.json."
        << "Verified: the device holds this set" << '6';
    QTest::newRow("unchanged") << true << none << QStringList{} << noDisplay << 0 << "unchanged"
                               << "ktr6ctl: unchanged: the device on COM1 (DIR/com1) held the "
                                  "set in plan.json already; nothing was written."
                               << "Verified: the device holds this set; nothing was written" << '6';
    QTest::newRow("not verified")
        << false << int(FaultKind::StoreDifferent) << QStringList{} << noDisplay << 3
        << "not-verified"
        << "IN 1 numerator: device 41, file 40\nktr6ctl: not verified: after the write the "
           "device on COM1 (DIR/com1) holds another set than plan.json: 1 difference."
        << "NOT VERIFIED: IN 1 numerator: device 41, file 40" << '6';
    QTest::newRow("failed, silent device")
        << false << int(FaultKind::Silence) << QStringList{} << noDisplay << 1 << "failed"
        << "ktr6ctl: failed: reading the device: no complete reply from the device on COM1 "
           "(DIR/com1) after 3 attempts; check that it is connected and powered."
        << "NOT VERIFIED: reading the device: no complete reply from the device on COM1" << '6';
    QTest::newRow("failed, no device on the port")
        << false << none << QStringList{"--port", "20"} << noDisplay << 1 << "failed"
        << "ktr6ctl: failed: reading the device: COM20 (no device): COM20 maps to no device"
        << "NOT VERIFIED: reading the device: COM20 (no device): COM20 maps to no device" << '6';
    QTest::newRow("failed, a plan for the other firmware")
        << false << none << QStringList{} << noDisplay << 1 << "failed"
        << "ktr6ctl: failed: the plan is for firmware SW 6, the device has SW 2x3 on COM1 "
           "(DIR/com1); nothing was written"
        << "NOT VERIFIED: the plan is for firmware SW 6, the device has SW 2x3" << '3';
}

void E2eCtlCommissionTest::commissionOutcomes() {
    QFETCH(bool, holdsPlan);
    QFETCH(int, fault);
    QFETCH(QStringList, args);
    QFETCH(QStringList, env);
    QFETCH(int, exitCode);
    QFETCH(QString, outcome);
    QFETCH(QString, stderrText);
    QFETCH(QString, resultLine);
    QFETCH(char, variant);
    ktr6sim::SimConfig config = deviceConfig();
    config.fault = {FaultKind(fault), 0};
    config.reply.variant = variant;
    if (holdsPlan) {
        config.params.numerators[0] = 40;
        config.params.output = 7;
    }
    SimRig rig(config);
    QVERIFY2(rig.started, qPrintable(rig.error));
    const QString dir = rig.dir.path();
    QVERIFY(writeFile(rig.dir.filePath("plan.json"), kPlanJson));
    const QString journal = rig.dir.filePath("site.jsonl");

    // No --record: the record takes a name of its own in the current folder.
    const CtlResult run = runCtlIn(
        dir, dir, QStringList{"commission", "plan.json", "--journal", journal} + kLabels + args,
        env);

    QVERIFY2(run.exitCode == exitCode, run.err.constData());
    // The tool's own lines only: no message box, no word from Qt.
    QCOMPARE(QString::fromUtf8(run.err), QString(stderrText).replace("DIR", dir) + '\n');
    const QRegularExpression names(
        QStringLiteral("^(%1/ktr6-record-\\d{8}-\\d{6}-COM(1|20))\\.pdf\\n\\1\\.json\\n$")
            .arg(QRegularExpression::escape(dir)));
    const auto match = names.match(QString::fromUtf8(run.out));
    QVERIFY2(match.hasMatch(), run.out.constData());
    const QString pdf = match.captured(1) + ".pdf";
    const QString twinPath = match.captured(1) + ".json";

    const QString text = pdfText(pdf);
    for (const QString& wanted : {resultLine, QStringLiteral("Rozvodňa Žilina"),
                                  QStringLiteral("KTR6 č. 0042"), QStringLiteral("Name J. Kováč")})
        QVERIFY2(text.contains(wanted), qPrintable(text));
    // Plan, before, after (the read-back: 41 where the device keeps another).
    QVERIFY2(text.contains(QRegularExpression("IN 1 plus 40 1 40 40 0 (plus (16|40) 1|— — —) "
                                              "(plus (16|40|41) 1|— — —) IN 2 "
                                              "minus 1 4 -0.25 -0.25 0")),
             qPrintable(text));

    const QByteArray pdfBytes = readFile(pdf);
    const QJsonObject twin = QJsonDocument::fromJson(readFile(twinPath)).object();
    QCOMPARE(twin.value("outcome").toString(), outcome);
    QCOMPARE(twin.value("pdf").toString(), pdf);
    QCOMPARE(twin.value("pdf_sha256").toString(),
             QString::fromLatin1(
                 QCryptographicHash::hash(pdfBytes, QCryptographicHash::Sha256).toHex()));
    // A device that was read and left alone holds what it held; one that
    // could not be read, nothing known.
    const bool readAndLeft = variant != '6';
    QCOMPARE(twin.value("after").isNull(), exitCode == 1 && !readAndLeft);
    if (readAndLeft)
        QCOMPARE(twin.value("after"), twin.value("before"));
    else if (exitCode != 1)
        QCOMPARE(twin.value("after").toObject().value("output").toInt(), 7);

    const QList<QByteArray> lines = readFile(journal).split('\n');
    QCOMPARE(lines.size(), 2);
    QVERIFY(lines[1].isEmpty());
    const QJsonObject entry = QJsonDocument::fromJson(lines[0]).object();
    QCOMPARE(entry.value("outcome").toString(), outcome);
    QCOMPARE(entry.value("pdf_sha256"), twin.value("pdf_sha256"));
    QCOMPARE(entry.value("site").toString(), QStringLiteral("Rozvodňa Žilina"));
    // Why and what differs as in the twin, the plan's bytes and the program.
    for (const char* key : {"reason", "differences", "version", "port"})
        QCOMPARE(entry.value(key), twin.value(key));
    QCOMPARE(entry.value("plan_sha256").toString(),
             QString::fromLatin1(
                 QCryptographicHash::hash(kPlanJson, QCryptographicHash::Sha256).toHex()));

    // The device saw one read when it held the plan, a read, a write and one
    // read back otherwise.
    const QByteArray received = rig.sim->receivedBytes();
    if (exitCode == 1)
        QVERIFY(!received.contains(','));
    else
        QCOMPARE(received.count('*'), holdsPlan ? 1 : 2);
    QCOMPARE(rig.sim->counters().writeBlocks, holdsPlan || exitCode == 1 ? 0 : 1);
}

void E2eCtlCommissionTest::commissionRefusesBeforeSending_data() {
    QTest::addColumn<QStringList>("args"); // after "commission" (or from "audit"); RIG: the
                                           // rig's folder
    QTest::addColumn<QString>("setup");    // "pdf", "json", "link": an entry at that
                                           // path first; "no settings"; "" nothing
    QTest::addColumn<QByteArray>("plan");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("stderrText");

    const QStringList record = {"plan.json", "--record", "RIG/r.pdf", "--journal", "RIG/j.jsonl"};
    QByteArray badAmount = kPlanJson;
    badAmount.replace(R"("amount":0.25)", R"("amount":"1/0")");
    QTest::newRow("the PDF exists") << record << "pdf" << kPlanJson << 2
                                    << "ktr6ctl: RIG/r.pdf already exists, and a record never "
                                       "replaces a file; nothing was sent.\n";
    QTest::newRow("the twin exists")
        << record << "json" << kPlanJson << 2 << "ktr6ctl: RIG/r.json already exists";
    QTest::newRow("a dangling link at the PDF")
        << record << "link" << kPlanJson << 2 << "ktr6ctl: RIG/r.pdf already exists";
    QTest::newRow("the twin's name in other letters")
        << QStringList{"plan.json", "--record", "RIG/R.Pdf"} << "" << kPlanJson << 2
        << "ktr6ctl: RIG/R.json already exists";
    QTest::newRow("no folder for the record")
        << QStringList{"plan.json", "--record", "RIG/none/r.pdf"} << "" << kPlanJson << 2
        << "ktr6ctl: cannot create a file in RIG/none: No such file or directory; nothing was "
           "sent.";
    QTest::newRow("the journal a folder")
        << QStringList{"plan.json", "--record", "RIG/r.pdf", "--journal", "RIG"} << "" << kPlanJson
        << 2 << "ktr6ctl: cannot open the journal RIG: Is a directory; nothing was sent.";
    QTest::newRow("the journal is the twin")
        << QStringList{"plan.json", "--record", "RIG/r.pdf", "--journal", "RIG/r.json"} << ""
        << kPlanJson << 2 << "would be the record itself";
    QTest::newRow("a bad amount") << record << "" << badAmount << 2
                                  << "ktr6ctl: plan.json: inputs[1] (IN 2) amount: \"1/0\" divides "
                                     "by zero; nothing was sent.";
    QByteArray brokenPromise = kPlanJson;
    brokenPromise.replace(R"("amount":0.25)", R"("amount":2.5)");
    QTest::newRow("a fraction ten times off its amount")
        << record << "" << brokenPromise << 2
        << "ktr6ctl: plan.json: inputs[1] (IN 2): the fraction 1/4 for the stated amount \"2.5\" "
           "is off by a relative error of 0.9, over the tolerance 1e-4; the closest fraction "
           "with numerators 1..255 and divisors 1..65535 is 5/2 (a relative error of 0); "
           "nothing was sent.";
    QTest::newRow("a fraction just off its amount, over a tolerance given")
        << record + QStringList{"--tolerance", "1e-9"} << ""
        << QByteArray(kPlanJson).replace(R"("amount":0.25)", R"("amount":0.2500001)") << 2
        << "is off by a relative error of 3.99999840000064e-07, over the tolerance 1e-9";
    QTest::newRow("a site of 81 characters")
        << record + QStringList{"--site", QString(81, QChar(0x17D))} << "" << kPlanJson << 2
        << "--site is 81 characters long";
    QTest::newRow("a relay with a control character")
        << record + QStringList{"--relay", "KTR6\x1b[2J"} << "" << kPlanJson << 2
        << "--relay holds a control character (U+001B)";
    QTest::newRow("not a PDF") << QStringList{"plan.json", "--record", "RIG/r.txt"} << ""
                               << kPlanJson << 2 << "--record wants a file name ending in .pdf";
    QTest::newRow("no settings file") << record << "no settings" << kPlanJson << 1 << "not found";
    QTest::newRow("no font at all") << record << "fonts: none" << kPlanJson << 2
                                    << "ktr6ctl: the record cannot be drawn: no font is installed";
    QTest::newRow("a site no installed font has")
        << record + QStringList{"--site", "Žilina 变电站"} << "fonts: DejaVu" << kPlanJson << 2
        << "no installed font has \"变\" (U+53D8), \"电\" (U+7535), \"站\" (U+7AD9), which the "
           "record needs";
    QTest::newRow("a site with U+2028")
        << record + QStringList{"--site", "Žilina\u2028T1"} << "" << kPlanJson << 2
        << "--site holds a control character (U+2028)";
    QTest::newRow("a plan label with a carriage return")
        << record << ""
        << QByteArray(kPlanJson).replace(R"("amount":"40")", R"("amount":"40","label":"T1\rT2")")
        << 2 << "holds a control character (U+000D)";
    QTest::newRow("a record path with a line feed")
        << QStringList{"plan.json", "--record", "RIG/r\n.pdf"} << "" << kPlanJson << 2
        << "--record holds a control character (U+000A)";
    QTest::newRow("a journal path with U+2029")
        << QStringList{"plan.json", "--record", "RIG/r.pdf", "--journal", "RIG/j\u2029.jsonl"} << ""
        << kPlanJson << 2 << "--journal holds a control character (U+2029)";
    // An audit checks its record alike.
    QTest::newRow("audit, the journal is the twin")
        << QStringList{"audit", "plan.json", "--record", "RIG/r.pdf", "--journal", "RIG/r.json"}
        << "" << kPlanJson << 2 << "would be the record itself";
    QTest::newRow("audit, no font at all")
        << QStringList{"audit", "plan.json", "--record", "RIG/r.pdf"} << "fonts: none" << kPlanJson
        << 2 << "ktr6ctl: the record cannot be drawn: no font is installed";
    QTest::newRow("audit, a record name of 242 bytes")
        << QStringList{"audit", "plan.json", "--record", "RIG/" + QString(238, 'a') + ".pdf"} << ""
        << kPlanJson << 2 << "\", 256 bytes: over the limit of 255 bytes";
    QTest::newRow("audit, a relay with a control character")
        << QStringList{"audit", "plan.json", "--relay", "KTR6\x1b[2J"} << "" << kPlanJson << 2
        << "--relay holds a control character (U+001B)";
}

void E2eCtlCommissionTest::commissionRefusesBeforeSending() {
    QFETCH(QStringList, args);
    QFETCH(QString, setup);
    QFETCH(QByteArray, plan);
    QFETCH(int, exitCode);
    QFETCH(QString, stderrText);
    SimRig rig(deviceConfig());
    QVERIFY2(rig.started, qPrintable(rig.error));
    const QString dir = rig.dir.path();
    QVERIFY(writeFile(rig.dir.filePath("plan.json"), plan));
    if (setup == QLatin1String("pdf") || setup == QLatin1String("json"))
        QVERIFY(writeFile(rig.dir.filePath("r." + setup), "kept"));
    if (setup == QLatin1String("link"))
        QVERIFY(QFile::link(rig.dir.filePath("nowhere"), rig.dir.filePath("r.pdf")));
    if (setup == QLatin1String("no settings"))
        QVERIFY(QFile::remove(rig.dir.filePath("KTR.INI")));
    if (args.contains("RIG/R.Pdf"))
        QVERIFY(writeFile(rig.dir.filePath("R.json"), "kept"));
    // A fontconfig of its own: no font folder at all, or DejaVu's alone.
    const QString fonts = rig.dir.filePath("fonts.conf");
    if (setup.startsWith(QLatin1String("fonts: ")))
        QVERIFY(writeFile(fonts, setup.endsWith(QLatin1String("DejaVu"))
                                     ? "<fontconfig><dir>/usr/share/fonts/truetype/dejavu</dir>"
                                       "</fontconfig>"
                                     : "<fontconfig></fontconfig>"));
    QStringList before =
        QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);

    if (args.first() != QLatin1String("audit"))
        args.prepend(QStringLiteral("commission"));
    const CtlResult run =
        runCtlIn(dir, dir, args.replaceInStrings("RIG", dir),
                 {setup.startsWith(QLatin1String("fonts")) ? "FONTCONFIG_FILE=" + fonts : "-NONE"});

    QVERIFY2(run.exitCode == exitCode, run.err.constData());
    QVERIFY2(QString::fromUtf8(run.err).contains(QString(stderrText).replace("RIG", dir)),
             run.err.constData());
    QVERIFY2(run.out.isEmpty(), run.out.constData());
    QVERIFY2(rig.sim->receivedBytes().isEmpty(), rig.sim->receivedBytes().constData());
    // Nothing written: no record, no journal, no temporary file; what was
    // there is as it was.
    QCOMPARE(
        QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
        before);
    if (setup == QLatin1String("pdf") || setup == QLatin1String("json"))
        QCOMPARE(readFile(rig.dir.filePath("r." + setup)), QByteArray("kept"));
}

void E2eCtlCommissionTest::recordNameLengths_data() {
    QTest::addColumn<int>("bytes"); // of the record's name, ".pdf" included
    QTest::addColumn<bool>("wide"); // made of "č" (two bytes each)
    // The twin's temporary name is 14 bytes longer: 241 bytes fit 255.
    for (const int bytes : {240, 241, 242, 249, 255, 256, -241, -242, -249})
        QTest::addRow("%d bytes%s", std::abs(bytes), bytes < 0 ? " with č" : "")
            << std::abs(bytes) << (bytes < 0);
}

// A name that fits is written; a longer one is refused before anything is
// sent, the limit named in bytes.
void E2eCtlCommissionTest::recordNameLengths() {
    QFETCH(int, bytes);
    QFETCH(bool, wide);
    SimRig rig(deviceConfig());
    QVERIFY2(rig.started, qPrintable(rig.error));
    QVERIFY(writeFile(rig.dir.filePath("plan.json"), kPlanJson));
    const int stem = bytes - 4;
    const QString name =
        (wide ? QString(stem / 2, QChar(0x10D)) + QString(stem % 2, 'a') : QString(stem, 'a')) +
        ".pdf";
    const bool fits = bytes <= 241;

    const CtlResult run =
        runCtlIn(rig.dir.path(), rig.dir.path(), {"commission", "plan.json", "--record", name});

    QVERIFY2(run.exitCode == (fits ? 0 : 2), run.err.constData());
    QCOMPARE(rig.sim->receivedBytes().isEmpty(), !fits);
    QCOMPARE(QFile::exists(rig.dir.filePath(name.chopped(4) + ".json")), fits);
    QCOMPARE(QFile::exists(rig.dir.filePath(name)), fits);
    QVERIFY2(fits ||
                 run.err.contains(QStringLiteral("name is %1 bytes long, and its twin is written "
                                                 "first as \".NAME.json.XXXXXX.part\", %2 bytes: "
                                                 "over the limit of 255 bytes")
                                      .arg(bytes)
                                      .arg(bytes + 14)
                                      .toUtf8()),
             run.err.constData());
}

void E2eCtlCommissionTest::recordFactsAfterAnUnplug_data() {
    QTest::addColumn<int>("afterBytes"); // the relay hangs up once it has the "*" and these
    QTest::addColumn<QString>("reason"); // the start of the twin's; DIR: the rig's folder
    QTest::newRow("in the block")
        << 14 << "writing the parameters: COM1 (DIR/com1): writing to the port failed: ";
    QTest::newRow("after the block") << 27
                                     << "reading back what was written: COM1 (DIR/com1): "
                                        "DIR/com1 is gone (unplugged or hung up)";
}

// The hang-up takes the relay's link with it, and COM1 maps to the machine's
// own device: the record names the device the run began on, and the loss.
void E2eCtlCommissionTest::recordFactsAfterAnUnplug() {
    QFETCH(int, afterBytes);
    QFETCH(QString, reason);
    ktr6sim::SimConfig config = deviceConfig();
    config.fault = {FaultKind::Hangup, 1 + afterBytes};
    SimRig rig(config);
    QVERIFY2(rig.started, qPrintable(rig.error));
    const QString dir = rig.dir.path();
    QVERIFY(writeFile(rig.dir.filePath("plan.json"), kPlanJson));

    const CtlResult run = runCtlIn(dir, dir, {"commission", "plan.json", "--record", "r.pdf"});

    QVERIFY2(run.exitCode == 1, run.err.constData());
    const QJsonObject twin = QJsonDocument::fromJson(readFile(rig.dir.filePath("r.json"))).object();
    QCOMPARE(twin.value("port").toObject().value("device").toString(), dir + "/com1");
    QCOMPARE(twin.value("port").toObject().value("settings").toString(), QString("9600,N,8,1"));
    QVERIFY2(twin.value("reason").toString().startsWith(reason.replace("DIR", dir)),
             qPrintable(twin.value("reason").toString()));
}

void E2eCtlCommissionTest::onlyCommissionLoadsAPlatformPlugin() {
    SimRig rig(deviceConfig());
    QVERIFY2(rig.started, qPrintable(rig.error));
    const QString dir = rig.dir.path();
    QVERIFY(writeFile(rig.dir.filePath("plan.json"), kDeviceJson));
    // The dynamic linker names every library the program loads.
    for (const QStringList& args :
         {QStringList{"read"}, QStringList{"diff", "plan.json"}, QStringList{"coefficient", "0.1"},
          QStringList{"commission", "plan.json", "--record", "r.pdf"}}) {
        const QString log = rig.dir.filePath("ld-" + args.first());
        const CtlResult run =
            runCtlIn(dir, dir, args, {"LD_DEBUG=files", "LD_DEBUG_OUTPUT=" + log});
        QVERIFY2(run.exitCode == 0, run.err.constData());
        const QStringList logs = QDir(dir).entryList({"ld-" + args.first() + ".*"});
        QCOMPARE(logs.size(), 1);
        const QByteArray loaded = readFile(rig.dir.filePath(logs.first()));
        QVERIFY2(loaded.contains("libQt6Core"), loaded.left(2000).constData());
        QCOMPARE(loaded.contains("/platforms/libq"), args.first() == QLatin1String("commission"));
    }
}

void E2eCtlCommissionTest::auditOnlyReads_data() {
    QTest::addColumn<QStringList>("sim"); // ktr6-sim's options
    QTest::addColumn<bool>("stop");       // SIGINT once the first "*" has come
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<QString>("stderrText");
    QTest::addColumn<QString>("resultLine");
    QTest::addColumn<int>("requests"); // the "*" the device receives

    const QStringList plan = {"--param", "40/1,-1/4,300/65535,1/1,2/3,1/1", "--output", "7"};
    QTest::newRow("matches")
        << plan << false << 0 << "matches"
        << "ktr6ctl: matches: the device on COM1 (DIR/com1) holds the set in plan.json."
        << "Matches: the device holds the plan's set" << 1;
    QTest::newRow("differs")
        << QStringList{"--param", "16/1,-1/4,300/65535,1/1,2/3,1/1", "--output", "5"} << false << 3
        << "differs"
        << "IN 1 numerator: device 16, file 40\noutput: device 5, file 7\nktr6ctl: differs: the "
           "device on COM1 (DIR/com1) holds another set than plan.json: 2 differences."
        << "DIFFERS: IN 1 numerator: device 16, file 40; output: device 5, file 7" << 1;
    QTest::newRow("differs, another firmware variant")
        << plan + QStringList{"--variant", "3"} << false << 3 << "differs"
        << "firmware: device 2x3, file 6\nktr6ctl: differs: the device on COM1 (DIR/com1) holds "
           "another set than plan.json: 1 difference."
        << "DIFFERS: firmware: device 2x3, file 6" << 1;
    QTest::newRow("failed, silent device")
        << QStringList{"--fault", "silence"} << false << 1 << "failed"
        << "ktr6ctl: failed: reading the device: no complete reply from the device on COM1 "
           "(DIR/com1) after 3 attempts; check that it is connected and powered."
        << "FAILED: reading the device: no complete reply" << 3;
    QTest::newRow("stopped by SIGINT") << plan << true << 130 << ""
                                       << ""
                                       << "" << 1;
}

// An audit reads the device, compares and records; the device receives
// nothing but the parameter request, whatever the outcome.
void E2eCtlCommissionTest::auditOnlyReads() {
    QFETCH(QStringList, sim);
    QFETCH(bool, stop);
    QFETCH(int, exitCode);
    QFETCH(QString, outcome);
    QFETCH(QString, stderrText);
    QFETCH(QString, resultLine);
    QFETCH(int, requests);
    QTemporaryDir folder;
    const QString dir = folder.path();
    QVERIFY(writeDefaultSettings(dir) && writeFile(folder.filePath("plan.json"), kPlanJson));
    QProcess device;
    device.start(binary("ktr6-sim"), QStringList{"--dir", dir, "--trace"} + sim);
    QByteArray trace = waitForStderr(device, "linked", 5000);
    QVERIFY(trace.contains("linked"));
    const QString journal = folder.filePath("site.jsonl");

    CtlResult run;
    if (stop) { // beside the test: every path absolute
        CtlProcess ctl(dir, QStringList{"audit", folder.filePath("plan.json"), "--journal", journal,
                                        "--record", folder.filePath("ktr6-audit-stopped.pdf")});
        trace += waitForStderr(device, " rx ", 5000);
        QVERIFY(trace.contains(" rx "));
        ::kill(pid_t(ctl.process.processId()), SIGINT);
        QVERIFY(ctl.process.waitForFinished(5000));
        run.exitCode = ctl.process.exitCode();
    } else {
        run = runCtlIn(dir, dir, QStringList{"audit", "plan.json", "--journal", journal} + kLabels);
    }

    QVERIFY2(run.exitCode == exitCode, run.err.constData());
    device.terminate();
    QVERIFY(device.waitForFinished(3000));
    QCOMPARE(traceReceived(trace + device.readAllStandardError()), QByteArray(requests, '*'));
    if (stop) { // no verdict: no record, no journal line
        QCOMPARE(QDir(dir).entryList({"ktr6-audit-*"}), QStringList());
        QCOMPARE(readFile(journal), QByteArray());
        return;
    }
    QCOMPARE(QString::fromUtf8(run.err), QString(stderrText).replace("DIR", dir) + '\n');
    const QRegularExpression names(
        QStringLiteral("^(%1/ktr6-audit-\\d{8}-\\d{6}-COM1)\\.pdf\\n\\1\\.json\\n$")
            .arg(QRegularExpression::escape(dir)));
    const auto match = names.match(QString::fromUtf8(run.out));
    QVERIFY2(match.hasMatch(), run.out.constData());
    const QString text = pdfText(match.captured(1) + ".pdf");
    for (const QString& wanted :
         {QStringLiteral("KTR6 audit record"), resultLine, QStringLiteral("KTR6 č. 0042")})
        QVERIFY2(text.contains(wanted), qPrintable(text));
    const QJsonObject twin =
        QJsonDocument::fromJson(readFile(match.captured(1) + ".json")).object();
    QCOMPARE(twin.value("kind").toString(), QStringLiteral("audit"));
    QCOMPARE(twin.value("outcome").toString(), outcome);
    QCOMPARE(twin.value("device").isNull(), exitCode == 1);
    QVERIFY(!twin.contains("before") && !twin.contains("after"));
    const QJsonObject entry = QJsonDocument::fromJson(readFile(journal)).object();
    for (const char* key : {"kind", "outcome", "differences", "reason", "device", "pdf_sha256"})
        QCOMPARE(entry.value(key), twin.value(key));
}

QTEST_GUILESS_MAIN(E2eCtlCommissionTest)
#include "test_e2e_ctl_commission.moc"
