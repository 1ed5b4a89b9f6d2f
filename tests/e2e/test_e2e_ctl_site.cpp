// ktr6ctl site commission and site audit against several simulated relays at
// once: the site file's refusals, a site of mixed outcomes and its summary, a
// stop signal, an audit that only reads.

#include "CtlRig.h"

#include <QCryptographicHash>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <csignal>

namespace {

// The plan of commission (IN 1 at 40, output 7) and the device's own set.
const QByteArray kUnchangedPlan = kDeviceJson;

QByteArray sha256Of(const QString& path) {
    return QCryptographicHash::hash(readFile(path), QCryptographicHash::Sha256).toHex();
}

QByteArray relayJson(const QString& label, int port, const QByteArray& plan = "\"plan.json\"",
                     const QByteArray& extra = {}) {
    return "{\"label\":\"" + label.toUtf8() + "\",\"port\":" + QByteArray::number(port) +
           ",\"plan\":" + plan + extra + "}";
}

QByteArray siteJson(const QByteArrayList& relays) {
    return "{\"site\":\"Rozvodňa Žilina, R2\",\"relays\":[" + relays.join(',') + "]}";
}

// Relays on com16 and up, each a simulated relay holding the device's set.
struct SiteRig {
    explicit SiteRig(const QList<ktr6sim::Fault>& faults) {
        ok = dir.isValid() && writeDefaultSettings(dir.path()) &&
             writeFile(dir.filePath("plan.json"), kPlanJson) &&
             writeFile(dir.filePath("same.json"), kUnchangedPlan);
        for (const ktr6sim::Fault& fault : faults) {
            ktr6sim::SimConfig config = deviceConfig();
            config.fault = fault;
            sims.push_back(std::make_unique<ktr6sim::SimDevice>(config));
            ok =
                ok && sims.back()->start(dir.path(), QStringLiteral("com%1").arg(15 + sims.size()));
        }
    }
    ~SiteRig() {
        for (auto& sim : sims)
            sim->stop();
    }
    QTemporaryDir dir;
    std::vector<std::unique_ptr<ktr6sim::SimDevice>> sims;
    bool ok = false;
};

QJsonObject summaryJson(const QString& folder) {
    return QJsonDocument::fromJson(readFile(folder + "/site-summary.json")).object();
}

// Every SHA-256 of the summary's twin against the files it names.
void checkHashes(const QString& folder, const QString& siteFile) {
    const QJsonObject summary = summaryJson(folder);
    QCOMPARE(summary["pdf_sha256"].toString().toLatin1(), sha256Of(folder + "/site-summary.pdf"));
    QCOMPARE(summary["site_sha256"].toString().toLatin1(), sha256Of(siteFile));
    for (const QJsonValue& relay : summary["relays"].toArray()) {
        const QString record = relay["record"].toString();
        if (record.isEmpty())
            continue;
        QCOMPARE(relay["record_sha256"].toString().toLatin1(), sha256Of(folder + '/' + record));
        const QJsonObject twin =
            QJsonDocument::fromJson(readFile(folder + '/' + record.chopped(4) + ".json")).object();
        QCOMPARE(twin["pdf_sha256"].toString(), relay["record_sha256"].toString());
    }
}

} // namespace

class E2eCtlSiteTest : public QObject {
    Q_OBJECT
private slots:
    void siteFileRefusals_data();
    void siteFileRefusals();
    void mixedOutcomes();
    void stopSignalFinishesStartedRelays();
    void siteAuditOnlyReads_data();
    void siteAuditOnlyReads();
};

void E2eCtlSiteTest::siteFileRefusals_data() {
    QTest::addColumn<QByteArray>("site");
    QTest::addColumn<QString>("refusal");
    const QByteArray a = relayJson("A", 16);
    QTest::newRow("port used twice")
        << siteJson({a, relayJson("B", 16)}) << "relay 2 (B): COM16 is relay 1's port too";
    QTest::newRow("two ports, one device")
        << siteJson({a, relayJson("B", 22)})
        << "relay 2 (B): COM22 reaches the device relay 1's port reaches";
    QTest::newRow("label used twice")
        << siteJson({a, relayJson("A", 17)}) << "relay 2 (A): the label is relay 1's too";
    QTest::newRow("plan write refuses")
        << siteJson({a, relayJson("B", 17, kPlanJson.trimmed().replace("\"40\"", "\"41\""))})
        << "relay 2 (B): plan inline: inputs[0] (IN 1): the fraction 40/1";
    QTest::newRow("unknown key in a relay")
        << siteJson({a, relayJson("B", 17, "\"plan.json\"", ",\"baudrate\":9600")})
        << "relay 2 (B): unknown key \"baudrate\"";
    QTest::newRow("unknown key in the site")
        << QByteArray("{\"site\":\"S\",\"relays\":[" + a + "],\"sight\":1}")
        << "unknown key \"sight\"";
    QByteArrayList many;
    for (int i = 0; i < 65; ++i)
        many << relayJson(QString::number(i), 100 + i);
    QTest::newRow("65 relays") << siteJson(many) << "65 relays; a site has at most 64";
    QTest::newRow("missing plan file") << siteJson({a, relayJson("B", 17, "\"plans/none.json\"")})
                                       << "relay 2 (B): plan: cannot read";
    QTest::newRow("handshaking out of range")
        << siteJson({relayJson("A", 16, "\"plan.json\"", ",\"handshaking\":4")})
        << "relay 1 (A): \"handshaking\" wants 0 to 3";
    QTest::newRow("folder not empty") << siteJson({a}) << "is not empty";
}

// Each refusal names its entry, sends nothing and leaves no folder behind.
void E2eCtlSiteTest::siteFileRefusals() {
    QFETCH(QByteArray, site);
    QFETCH(QString, refusal);
    SiteRig rig(QList<ktr6sim::Fault>{ktr6sim::Fault{}});
    QVERIFY(rig.ok);
    QVERIFY(QFile::link(rig.sims[0]->slavePath(), rig.dir.filePath("com22")));
    QVERIFY(writeFile(rig.dir.filePath("site.json"), site));
    QVERIFY(QDir(rig.dir.path()).mkdir("full"));
    QVERIFY(writeFile(rig.dir.filePath("full/x"), "x"));
    const QStringList entriesBefore =
        QDir(rig.dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries);

    const CtlResult run =
        runCtl(rig.dir.path(), {"site", "commission", rig.dir.filePath("site.json"), "--folder",
                                rig.dir.filePath("full")});
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.err.contains(refusal.toUtf8()), run.err.constData());
    QVERIFY2(run.err.contains("nothing was sent"), run.err.constData());
    QVERIFY(run.out.isEmpty());
    QCOMPARE(rig.sims[0]->receivedBytes(), QByteArray());
    QCOMPARE(QDir(rig.dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
             entriesBefore);
}

// Verified, unchanged, stored differently, silent and unplugged mid-write in
// one run: each relay's record and the summary, its text and its SHA-256s.
void E2eCtlSiteTest::mixedOutcomes() {
    using K = ktr6sim::FaultKind;
    SiteRig rig({{}, {}, {K::StoreDifferent, 0}, {K::Silence, 0}, {K::Hangup, 10}});
    QVERIFY(rig.ok);
    QVERIFY(writeFile(
        rig.dir.filePath("site.json"),
        siteJson({relayJson("KTR6 č. 0042", 16), relayJson("KTR6 č. 0043", 17, "\"same.json\""),
                  relayJson("KTR6 č. 0044", 18), relayJson("KTR6 č. 0045", 19),
                  relayJson("KTR6 č. 0046", 20, "\"plan.json\"", ",\"baud\":19200")})));
    const QString folder = rig.dir.filePath("out");
    const CtlResult run =
        runCtl(rig.dir.path(), {"site", "commission", rig.dir.filePath("site.json"), "--folder",
                                folder, "--by", "J. Kováč"});
    QCOMPARE(run.exitCode, 1); // a relay failed
    const QString err = QString::fromUtf8(run.err);
    for (const QString line :
         {"KTR6 č. 0042, COM16: verified", "KTR6 č. 0043, COM17: unchanged",
          "KTR6 č. 0044, COM18: not verified: IN 1 numerator: device 41, file 40",
          "KTR6 č. 0045, COM19: failed: reading the device", "KTR6 č. 0046, COM20: failed: ",
          "5 relays: 1 verified, 1 unchanged, 1 not verified, 2 failed."})
        QVERIFY2(err.contains(line), qPrintable(err));
    // Five records and twins, then the summary and its twin, last.
    const QStringList out = QString::fromUtf8(run.out).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(out.size(), 12);
    QCOMPARE(out.mid(10),
             QStringList({folder + "/site-summary.pdf", folder + "/site-summary.json"}));
    QCOMPARE(QDir(folder).entryList(QDir::Files).size(), 12);

    const QString text = pdfText(folder + "/site-summary.pdf");
    const QJsonArray relays = summaryJson(folder)["relays"].toArray();
    QCOMPARE(relays.size(), 5);
    const QStringList outcomes = {"verified", "unchanged", "not verified", "failed", "failed"};
    for (int i = 0; i < 5; ++i) {
        QCOMPARE(relays[i]["outcome"].toString(), outcomes[i]);
        QVERIFY2(text.contains(
                     QStringLiteral("%1 KTR6 č. 004%2 COM%3").arg(i + 1).arg(i + 2).arg(16 + i)),
                 qPrintable(text));
        QVERIFY2(text.contains(relays[i]["record"].toString() + " SHA-256 " +
                               relays[i]["record_sha256"].toString()),
                 qPrintable(text));
    }
    for (const QString part : {"KTR6 site commissioning summary", "Rozvodňa Žilina, R2", "J. Kováč",
                               "Written: IN 1 40/1, IN 2 -1/4", "Written: nothing written",
                               "Written: sent, not confirmed", "Signature"})
        QVERIFY2(text.contains(part), qPrintable(part + QStringLiteral(" in ") + text));
    // The page number, "1 / 1", as the text layer gives it back.
    QVERIFY2(text.contains(QRegularExpression(" 1 ?/ ?1$")), qPrintable(text));
    // The fifth relay's own baud rate, the others' that of KTR.INI.
    const auto settingsOf = [&folder](const QJsonValue& relay) {
        const QString twin = folder + '/' + relay["record"].toString().chopped(4) + ".json";
        return QJsonDocument::fromJson(readFile(twin))["port"]["settings"].toString();
    };
    QCOMPARE(settingsOf(relays[4]), QStringLiteral("19200,N,8,1"));
    QCOMPARE(settingsOf(relays[0]), QStringLiteral("9600,N,8,1"));
    QCOMPARE(relays[0]["plan_sha256"].toString().toLatin1(),
             sha256Of(rig.dir.filePath("plan.json")));
    checkHashes(folder, rig.dir.filePath("site.json"));
}

// A stop signal once one relay's block has gone: that relay is finished and
// recorded, the one still reading sends nothing more and is listed as
// stopped before writing.
void E2eCtlSiteTest::stopSignalFinishesStartedRelays() {
    SiteRig rig({{}, {ktr6sim::FaultKind::Silence, 0}});
    QVERIFY(rig.ok);
    QVERIFY(writeFile(rig.dir.filePath("site.json"),
                      siteJson({relayJson("A", 16), relayJson("B", 17)})));
    CtlProcess ctl(rig.dir.path(), {"site", "commission", rig.dir.filePath("site.json")});
    QTRY_VERIFY_WITH_TIMEOUT(rig.sims[0]->receivedBytes().contains(','), 5000);
    ::kill(pid_t(ctl.process.processId()), SIGTERM);
    QVERIFY(ctl.process.waitForFinished(5000));
    QCOMPARE(ctl.process.exitCode(), 128 + SIGTERM);
    QCOMPARE(rig.sims[0]->counters().writeBlocks, 1);
    QVERIFY(!rig.sims[1]->receivedBytes().contains(','));
    const QString err = QString::fromUtf8(ctl.process.readAllStandardError());
    QVERIFY2(err.contains("A, COM16: verified") && err.contains("B, COM17: stopped before writing"),
             qPrintable(err));

    const QStringList folders = QDir(rig.dir.path()).entryList({"ktr6-site-*"}, QDir::Dirs);
    QCOMPARE(folders.size(), 1);
    const QString folder = rig.dir.filePath(folders.first());
    const QJsonArray relays = summaryJson(folder)["relays"].toArray();
    QCOMPARE(relays[1]["outcome"].toString(), QStringLiteral("stopped before writing"));
    QVERIFY(relays[1]["record"].isNull());
    const QString text = pdfText(folder + "/site-summary.pdf");
    QVERIFY2(text.contains(QRegularExpression("2 B COM17 \\(\\S+ — stopped before writing")),
             qPrintable(text));
    checkHashes(folder, rig.dir.filePath("site.json"));
}

void E2eCtlSiteTest::siteAuditOnlyReads_data() {
    QTest::addColumn<bool>("silent"); // a third relay that never answers
    QTest::addColumn<int>("exitCode");
    QTest::addRow("matches, differs, silent") << true << 1;
    QTest::addRow("matches, differs") << false << 3;
}

// Each relay read and compared, its record named as audit names it, the
// summary headed as an audit; the relays were sent nothing but "*".
void E2eCtlSiteTest::siteAuditOnlyReads() {
    QFETCH(bool, silent);
    QFETCH(int, exitCode);
    QList<ktr6sim::Fault> faults{{}, {}};
    QByteArrayList entries{relayJson("KTR6 č. 0042", 16, "\"same.json\""),
                           relayJson("KTR6 č. 0043", 17)};
    if (silent) {
        faults << ktr6sim::Fault{ktr6sim::FaultKind::Silence, 0};
        entries << relayJson("KTR6 č. 0044", 18);
    }
    SiteRig rig(faults);
    QVERIFY(rig.ok);
    QVERIFY(writeFile(rig.dir.filePath("site.json"), siteJson(entries)));
    const QString folder = rig.dir.filePath("out");
    const CtlResult run = runCtl(rig.dir.path(), {"site", "audit", rig.dir.filePath("site.json"),
                                                  "--folder", folder, "--by", "M. Horváth"});
    QVERIFY2(run.exitCode == exitCode, run.err.constData());
    for (const auto& sim : rig.sims)
        QVERIFY2(QRegularExpression("^\\*+$").match(sim->receivedBytes()).hasMatch(),
                 sim->receivedBytes().constData());
    const QString err = QString::fromUtf8(run.err);
    QVERIFY2(err.contains("KTR6 č. 0042, COM16: matches") &&
                 err.contains("KTR6 č. 0043, COM17: differs: IN 1 "),
             qPrintable(err));
    QVERIFY2(!silent || err.contains("KTR6 č. 0044, COM18: failed: reading the device"),
             qPrintable(err));

    const QJsonArray relays = summaryJson(folder)["relays"].toArray();
    QCOMPARE(summaryJson(folder)["kind"].toString(), QStringLiteral("audit"));
    QCOMPARE(relays[1]["outcome"].toString(), QStringLiteral("differs"));
    QVERIFY(relays[0]["record"].toString().contains(
        QRegularExpression("^ktr6-audit-\\d{8}-\\d{6}-COM16\\.pdf$")));
    const QString text = pdfText(folder + "/site-summary.pdf");
    for (const QString part : {"KTR6 site audit summary", "M. Horváth", "1 KTR6 č. 0042 COM16",
                               "matches", "2 KTR6 č. 0043 COM17", "differs", "Read: IN 1 "})
        QVERIFY2(text.contains(part), qPrintable(part + QStringLiteral(" in ") + text));
    QVERIFY2(!silent || text.contains("Read: nothing read"), qPrintable(text));
    checkHashes(folder, rig.dir.filePath("site.json"));
}

QTEST_GUILESS_MAIN(E2eCtlSiteTest)
#include "test_e2e_ctl_site.moc"
