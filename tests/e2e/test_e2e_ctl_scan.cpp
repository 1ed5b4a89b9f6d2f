// ktr6ctl scan over program directories whose ports link to simulated
// relays, silent or garbled devices, a port held by another program, or
// nothing; the settings file it saves.

#include "CtlRig.h"
#include "support/PortHolder.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QTest>
#include <fcntl.h>
#include <map>
#include <sys/file.h>
#include <unistd.h>

using ktr6sim::FaultKind;

namespace {

// Port numbers 1..15 of a program directory, each a comN link: to a
// simulated relay (kinds "relay", "relay3" for firmware SW 3, "silent",
// "garbage", "short"), to one held by another program ("held", or
// "held16" through a com16 link of its own), to the device of a lower
// number ("=3"), or to nothing, so that no device of this machine takes part.
class ScanBench {
public:
    ScanBench(const QString& dir, const QString& layout) {
        for (const QString& entry : layout.split(' ', Qt::SkipEmptyParts))
            kinds[entry.section(':', 0, 0).toInt()] = entry.section(':', 1);
        for (int n = 1; n <= 15; ++n) {
            const QString link = QStringLiteral("%1/com%2").arg(dir, QString::number(n));
            if (!kinds.count(n)) {
                ok = ok && QFile::link(QStringLiteral("/nonexistent/tty%1").arg(n), link);
                continue;
            }
            const QString kind = kinds[n];
            if (kind.startsWith('=')) {
                const QString other = QStringLiteral("%1/com%2").arg(dir, kind.mid(1));
                ok = ok && QFile::link(QFileInfo(other).symLinkTarget(), link);
                continue;
            }
            ktr6sim::SimConfig config;
            if (kind == QLatin1String("relay3"))
                config.reply.variant = '3';
            else if (kind == QLatin1String("silent"))
                config.fault = {FaultKind::Silence, 0};
            else if (kind == QLatin1String("garbage"))
                config.fault = {FaultKind::Garbage, 4096};
            else if (kind == QLatin1String("short"))
                config.fault = {FaultKind::Short, 20};
            auto& sim = sims[n];
            sim = std::make_unique<ktr6sim::SimDevice>(config);
            ok = ok && sim->start(dir, QStringLiteral("com%1").arg(n), &error);
            if (kind.startsWith(QLatin1String("held"))) {
                // held16: the holder reaches the device by another name.
                const int16_t through = kind == QLatin1String("held16") ? 16 : int16_t(n);
                if (through != n)
                    ok = ok && QFile::link(QFileInfo(link).symLinkTarget(),
                                           QStringLiteral("%1/com16").arg(dir));
                holders[n] = std::make_unique<PortHolder>(binary("fault_port_holder"));
                ok = ok && holders[n]->hold(dir, through) == "held";
            }
        }
    }
    ~ScanBench() {
        holders.clear();
        for (auto& [n, sim] : sims)
            sim->stop();
    }
    // The status the scan must report for a port, with the firmware.
    static QString expected(const QString& kind) {
        if (kind == QLatin1String("relay"))
            return QStringLiteral("found 6");
        if (kind == QLatin1String("relay3"))
            return QStringLiteral("found 2x3");
        if (kind == QLatin1String("silent"))
            return QStringLiteral("no answer");
        if (kind.startsWith(QLatin1String("held")))
            return QStringLiteral("busy");
        return QStringLiteral("other reply");
    }

    std::map<int, QString> kinds;
    std::map<int, std::unique_ptr<ktr6sim::SimDevice>> sims;
    std::map<int, std::unique_ptr<PortHolder>> holders;
    bool ok = true;
    QString error;
};

} // namespace

class E2eCtlScanTest : public QObject {
    Q_OBJECT
private slots:
    void scan_data();
    void scan();
    void saveKeepsAnotherWritersChange_data();
    void saveKeepsAnotherWritersChange();
};

void E2eCtlScanTest::scan_data() {
    QTest::addColumn<QString>("ports"); // ScanBench's "N:kind ..."
    // KTR.INI: "" none, five values (then " link": KTR.INI links to a file
    // of mode 0640 elsewhere, as a package installs it), or "damaged"
    QTest::addColumn<QString>("settings");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("stderrText");
    QTest::addColumn<QString>("saved"); // KTR.INI after it: five values, "" as before
    QTest::addColumn<int>("maxMs");     // the whole run's bound, 0 none

    const QString mixed = "1:relay 2:silent 3:held 4:garbage 5:relay3 6:short";
    QTest::newRow("table") << mixed << "2 0 9600 0 0" << QStringList{"scan"} << 0
                           << "ktr6ctl: 2 relays found, on COM1 and COM5.\n"
                           << "" << 0;
    QTest::newRow("--json, no settings file")
        << mixed << "" << QStringList{"scan", "--json"} << 0 << "no settings file "
        << "" << 0;
    QTest::newRow("--save, one relay, no settings file")
        << "2:silent 4:relay"
        << "" << QStringList{"scan", "--save"} << 0
        << "one relay found, on COM4; saved as the port in "
        << "4 0 9600 0 0" << 0;
    QTest::newRow("--save keeps the other lines")
        << "4:relay3 7:silent"
        << "1 2 19200 150 -7" << QStringList{"scan", "--save", "--json"} << 0
        << "saved as the port in "
        << "4 2 19200 150 -7" << 0;
    QTest::newRow("--save through a link")
        << "3:relay"
        << "1 0 9600 0 0 link" << QStringList{"scan", "--save"} << 0 << "saved as the port in "
        << "3 0 9600 0 0" << 0;
    QTest::newRow("--save, none found") << "1:silent 3:held"
                                        << "2 0 9600 0 0" << QStringList{"scan", "--save"} << 1
                                        << "no relay found on the 2 ports probed. COM3 is held by "
                                           "another program; close it and scan again to probe it "
                                           "too. The settings file was not changed."
                                        << "" << 0;
    QTest::newRow("--save, two found")
        << "2:relay 9:relay3"
        << "1 0 9600 0 0" << QStringList{"--save", "scan"} << 1
        << "2 relays found, on COM2 and COM9. --save needs exactly one"
        << "" << 0;
    QTest::newRow("no device at all")
        << ""
        << "1 0 9600 0 0" << QStringList{"scan", "--json"} << 1 << "nothing was probed"
        << "" << 0;
    QTest::newRow("damaged settings file")
        << "1:relay"
        << "damaged" << QStringList{"scan"} << 2 << "does not fit the handshaking mode"
        << "" << 0;
    // Two numbers that reach one device: probed once, listed on one line.
    QTest::newRow("one device, two numbers")
        << "3:relay 5:=3"
        << "1 0 9600 0 0" << QStringList{"scan"} << 0 << "ktr6ctl: one relay found, on COM3. "
        << "" << 0;
    QTest::newRow("--json with aliases, --save stores the lowest")
        << "2:silent 6:=2 9:relay 12:=9 14:=9"
        << "1 0 9600 0 0" << QStringList{"scan", "--save", "--json"} << 0
        << "one relay found, on COM9; saved as the port in "
        << "9 0 9600 0 0" << 0;
    // The lock file is the device's own, whatever name reached it.
    QTest::newRow("held by another program through another link")
        << "3:held16 4:relay"
        << "1 0 9600 0 0" << QStringList{"scan"} << 0 << "ktr6ctl: one relay found, on COM4. "
        << "" << 0;
    QTest::newRow("program folder 250 characters long")
        << "deep 1:relay 2:silent"
        << "1 0 9600 0 0" << QStringList{"scan"} << 0
        << "ktr6ctl: one relay found, on COM1. The settings file names it already."
        << "" << 0;
    QTest::newRow("--save, relay on COM1, no settings file")
        << "1:relay"
        << "" << QStringList{"scan", "--save"} << 0
        << "one relay found, on COM1; saved as the port in "
        << "1 0 9600 0 0" << 0;
    // One exchange is 400 ms of pauses; one port after another would take 6 s.
    QString everyPort;
    for (int n = 1; n <= 15; ++n)
        everyPort += QStringLiteral("%1:relay ").arg(n);
    QTest::newRow("15 relays in about one exchange")
        << everyPort << "1 0 9600 0 0" << QStringList{"scan"} << 0
        << "15 relays found, on COM1, COM2, COM3"
        << "" << 3000;
}

void E2eCtlScanTest::scan() {
    QFETCH(QString, ports);
    QFETCH(QString, settings);
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QString, stderrText);
    QFETCH(QString, saved);
    QFETCH(int, maxMs);
    QTemporaryDir top;
    QVERIFY(top.isValid());
    // "deep ...": the program folder's path is 250 characters long.
    QString programDir = top.path();
    if (ports.startsWith(QLatin1String("deep "))) {
        ports.remove(0, 5);
        programDir += '/' + QString(249 - programDir.size(), 'd');
        QVERIFY(QDir().mkpath(programDir));
        QCOMPARE(programDir.size(), 250);
    }
    const QDir dir(programDir);
    const bool linked = settings.endsWith(QLatin1String(" link"));
    settings.remove(QStringLiteral(" link"));
    const QString ini = linked ? dir.filePath("KTR.INI.target") : dir.filePath("KTR.INI");
    auto values = [](const QString& text) {
        const QStringList v = text.split(' ');
        return formatSettingsText({int16_t(v[0].toInt()), int16_t(v[1].toInt()),
                                   int16_t(v[2].toInt()), v[3].toInt(), int16_t(v[4].toInt())});
    };
    QByteArray before;
    if (!settings.isEmpty()) {
        before = settings == QLatin1String("damaged")
                     ? QByteArray("Port=1\r\nHandshaking =  7 \r\nBaudRate =  9600 \r\n"
                                  "WaitTime =  0 \r\nTimeDelay =  0 \r\n")
                     : values(settings);
        QFile file(ini);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(before) == before.size());
        QVERIFY(file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
        QVERIFY(!linked || QFile::link(ini, dir.filePath("KTR.INI")));
    }
    ScanBench bench(programDir, ports);
    QVERIFY2(bench.ok, qPrintable(bench.error));

    const CtlResult result = runCtl(programDir, args);

    QVERIFY2(result.exitCode == exitCode, result.err.constData());
    QVERIFY2(QString::fromUtf8(result.err).contains(stderrText), result.err.constData());
    if (maxMs > 0) {
        qInfo("ktr6ctl scan over %d relays: %lld ms from start to exit", int(bench.sims.size()),
              result.elapsedMs);
        QVERIFY2(result.elapsedMs < maxMs, qPrintable(QString::number(result.elapsedMs)));
    }
    // One row per port with a device, and only "*" sent to a port not held.
    const bool probed = exitCode != 2;
    QByteArray json = "[";
    QStringList rows;
    for (const auto& [n, kind] : bench.kinds) {
        if (kind.startsWith('='))
            continue; // one row with the device's lowest number
        // The higher numbers that reach the same device share its row.
        QStringList aliases;
        QString names = QStringLiteral("COM%1").arg(n);
        for (const auto& [other, otherKind] : bench.kinds) {
            if (otherKind == QStringLiteral("=%1").arg(n)) {
                aliases << QString::number(other);
                names += QStringLiteral(", COM%1").arg(other);
            }
        }
        const QString device = QStringLiteral("%1/com%2").arg(programDir, QString::number(n));
        const QString status = ScanBench::expected(kind);
        const bool found = status.startsWith(QLatin1String("found"));
        json +=
            QStringLiteral(R"(%1{"port":%2%3,"device":"%4","status":"%5"%6})")
                .arg(json.size() > 1 ? QStringLiteral(",") : QString(), QString::number(n),
                     aliases.isEmpty()
                         ? QString()
                         : QStringLiteral(R"(,"aliases":[%1])").arg(aliases.join(',')),
                     device, found ? QStringLiteral("found") : status,
                     found ? QStringLiteral(R"(,"firmware":"%1")").arg(status.mid(6)) : QString())
                .toUtf8();
        rows << QStringLiteral("%1 %2 %3")
                    .arg(names, device,
                         found ? QStringLiteral("found, firmware SW ") + status.mid(6) : status);
        const QByteArray sent = bench.sims.at(n)->receivedBytes();
        QVERIFY2(sent == (probed && !kind.startsWith(QLatin1String("held")) ? "*" : ""),
                 qPrintable(QStringLiteral("COM%1: %2").arg(n).arg(sent.toHex(' '))));
        if (!bench.holders.count(n))
            QVERIFY2(!QFile::exists(lockFileFor(device)), qPrintable(device));
    }
    if (!probed)
        QVERIFY(result.out.isEmpty());
    else if (args.contains("--json"))
        QCOMPARE(result.out, json + "]\n");
    else
        QCOMPARE(QString::fromUtf8(result.out)
                     .split('\n', Qt::SkipEmptyParts)
                     .mid(1)
                     .replaceInStrings(QRegularExpression(" +"), " "),
                 rows);

    QFile after(ini);
    if (saved.isEmpty() && settings.isEmpty()) {
        QVERIFY(!after.exists());
    } else {
        QVERIFY(after.open(QIODevice::ReadOnly));
        QCOMPARE(after.readAll(), saved.isEmpty() ? before : values(saved));
        if (!settings.isEmpty()) // a rewrite keeps the mode (rw-r-----)
            QCOMPARE(int(after.permissions() & 0x0777), 0x0640);
    }
    QCOMPARE(QFileInfo(dir.filePath("KTR.INI")).isSymLink(), linked);
}

void E2eCtlScanTest::saveKeepsAnotherWritersChange_data() {
    // Whether the other program holds the writers' lock (flock on the
    // program folder) while it changes the file, as the port dialog does.
    QTest::addColumn<bool>("locked");
    QTest::newRow("changed during the probe") << false;
    QTest::newRow("changed under the writers' lock") << true;
}

// scan --save changes only the Port line of the file as it is when it
// saves: a Handshaking and BaudRate change made during the scan stays.
void E2eCtlScanTest::saveKeepsAnotherWritersChange() {
    QFETCH(bool, locked);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString ini = dir.filePath("KTR.INI");
    QVERIFY(writeFile(ini, formatSettingsText({1, 0, 9600, 0, 0})));
    ScanBench bench(dir.path(), "4:relay");
    QVERIFY2(bench.ok, qPrintable(bench.error));
    const int folder =
        ::open(QFile::encodeName(dir.path()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    QVERIFY(folder >= 0);
    QVERIFY(!locked || ::flock(folder, LOCK_EX) == 0);

    CtlProcess ctl(dir.path(), {"scan", "--save"});
    QTRY_VERIFY_WITH_TIMEOUT(bench.sims.at(4)->receivedBytes() == "*", 5000);
    const PortSettingsValues changed{1, 2, 19200, 0, 0};
    if (locked) {
        // The probe is over long before this; the save waits for the lock.
        QTest::qWait(800);
        QCOMPARE(ctl.process.state(), QProcess::Running);
    }
    QVERIFY(writeFile(ini, formatSettingsText(changed)));
    ::close(folder); // lets the lock go
    QVERIFY(ctl.process.waitForFinished(10000));

    QCOMPARE(ctl.process.exitCode(), 0);
    QVERIFY(ctl.process.readAllStandardError().contains("one relay found, on COM4; saved"));
    QFile after(ini);
    QVERIFY(after.open(QIODevice::ReadOnly));
    QCOMPARE(after.readAll(), formatSettingsText({4, 2, 19200, 0, 0}));
}

QTEST_GUILESS_MAIN(E2eCtlScanTest)
#include "test_e2e_ctl_scan.moc"
