// The portable release: installed into a fresh folder, the programs find
// their settings file and the relay's link beside themselves, wherever they
// are started from.

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

namespace {

// The settings file a fresh installation starts with: COM1, no handshaking,
// 9600 baud.
const QByteArray kDefaultSettings = "Port=1\r\nHandshaking =  0 \r\nBaudRate =  9600 \r\n"
                                    "WaitTime =  0 \r\nTimeDelay =  0 \r\n";

// The environment of a user's shell: nothing points the programs anywhere.
QProcessEnvironment plainEnvironment() {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("KTR6_PROGRAM_DIR"));
    env.remove(QStringLiteral("KTR6_BIN_DIR"));
    return env;
}

// Stops a program that was started for a test, however the test ends.
struct Running {
    std::unique_ptr<QProcess> process = std::make_unique<QProcess>();
    ~Running() {
        if (process->state() == QProcess::NotRunning)
            return;
        process->terminate();
        if (!process->waitForFinished(5000)) {
            process->kill();
            process->waitForFinished(2000);
        }
    }
};

} // namespace

class TestRelease : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void folderHolds_data();
    void folderHolds();
    void ctlReadsTheRelayBesideIt();
    void desktopProgramStarts();

private:
    QString installed(const QString& name) const { return QDir(folder_).filePath(name); }

    QTemporaryDir root_;
    QTemporaryDir elsewhere_; // a working directory that holds nothing of the tool
    QString folder_;
};

void TestRelease::initTestCase() {
    QVERIFY(root_.isValid());
    QVERIFY(elsewhere_.isValid());
    folder_ = QFileInfo(root_.filePath(QStringLiteral("ktr6"))).absoluteFilePath();
    QProcess install;
    install.start(QStringLiteral(KTR6_CMAKE_COMMAND),
                  {QStringLiteral("--install"), QStringLiteral(KTR6_BUILD_DIR),
                   QStringLiteral("--prefix"), folder_});
    QVERIFY(install.waitForFinished(60000));
    QVERIFY2(install.exitStatus() == QProcess::NormalExit && install.exitCode() == 0,
             install.readAllStandardError().constData());
    folder_ = QFileInfo(folder_).canonicalFilePath();
}

void TestRelease::folderHolds_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("program");
    QTest::addColumn<QByteArray>("content"); // a part the file must hold

    QTest::newRow("ktr6") << "ktr6" << true
                          << QByteArray("\x7f"
                                        "ELF");
    QTest::newRow("ktr6ctl") << "ktr6ctl" << true
                             << QByteArray("\x7f"
                                           "ELF");
    QTest::newRow("ktr6-sim") << "ktr6-sim" << true
                              << QByteArray("\x7f"
                                            "ELF");
    QTest::newRow("KTR.INI") << "KTR.INI" << false << kDefaultSettings;
    QTest::newRow("ktr6.desktop") << "ktr6.desktop" << false
                                  << QByteArray("[Desktop Entry]\nType=Application\n");
    QTest::newRow("ktr6.svg") << "ktr6.svg" << false << QByteArray("<svg");
}

void TestRelease::folderHolds() {
    QFETCH(QString, name);
    QFETCH(bool, program);
    QFETCH(QByteArray, content);
    const QFileInfo info(installed(name));
    QVERIFY2(info.isFile(), qPrintable(info.filePath()));
    QCOMPARE(info.isExecutable(), program);
    QFile file(info.filePath());
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    if (name == QLatin1String("KTR.INI"))
        QCOMPARE(bytes, content);
    else
        QVERIFY2(program ? bytes.startsWith(content) : bytes.contains(content), qPrintable(name));
}

void TestRelease::ctlReadsTheRelayBesideIt() {
    Running sim;
    sim.process->setProcessEnvironment(plainEnvironment());
    sim.process->setWorkingDirectory(elsewhere_.path());
    sim.process->start(installed(QStringLiteral("ktr6-sim")),
                       {QStringLiteral("--variant"), QStringLiteral("3"), QStringLiteral("--param"),
                        QStringLiteral("16/1,1/4,-1/3,256/65300,1/1,2/1"),
                        QStringLiteral("--output"), QStringLiteral("7")});
    QVERIFY(sim.process->waitForStarted(5000));
    QElapsedTimer clock;
    clock.start();
    while (!sim.process->canReadLine() && clock.elapsed() < 5000)
        sim.process->waitForReadyRead(100);
    const QString banner = QString::fromLocal8Bit(sim.process->readLine()).trimmed();
    const QString link = installed(QStringLiteral("com1"));
    QVERIFY2(banner.startsWith(QStringLiteral("ktr6-sim: listening on %1 -> /dev/").arg(link)),
             qPrintable(banner));
    QVERIFY(QFileInfo(link).isSymLink());

    QProcess ctl;
    ctl.setProcessEnvironment(plainEnvironment());
    ctl.setWorkingDirectory(elsewhere_.path());
    ctl.start(installed(QStringLiteral("ktr6ctl")),
              {QStringLiteral("read"), QStringLiteral("--json")});
    QVERIFY(ctl.waitForFinished(20000));
    const QByteArray err = ctl.readAllStandardError();
    QCOMPARE(ctl.exitStatus(), QProcess::NormalExit);
    QVERIFY2(ctl.exitCode() == 0, err.constData());
    QVERIFY2(err.isEmpty(), err.constData());

    QJsonParseError parseError;
    const QJsonDocument json = QJsonDocument::fromJson(ctl.readAllStandardOutput(), &parseError);
    QVERIFY2(json.isObject(), qPrintable(parseError.errorString()));
    const QJsonObject set = json.object();
    QCOMPARE(set.value(QStringLiteral("firmware")).toString(), QStringLiteral("2x3"));
    QCOMPARE(set.value(QStringLiteral("output")).toInt(), 7);
    const QJsonArray inputs = set.value(QStringLiteral("inputs")).toArray();
    QCOMPARE(inputs.size(), 6);
    const int numerators[6] = {16, 1, 1, 256, 1, 2};
    const int divisors[6] = {1, 4, 3, 65300, 1, 1};
    for (int i = 0; i < 6; ++i) {
        const QJsonObject input = inputs[i].toObject();
        QCOMPARE(input.value(QStringLiteral("numerator")).toInt(), numerators[i]);
        QCOMPARE(input.value(QStringLiteral("divisor")).toInt(), divisors[i]);
        QCOMPARE(input.value(QStringLiteral("minus")).toBool(), i == 2);
    }
    // Nothing was looked for, or left, where the programs were started.
    QVERIFY(
        QDir(elsewhere_.path()).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden));

    // Stopped, the relay takes its link away again.
    sim.process->terminate();
    QVERIFY(sim.process->waitForFinished(5000));
    QCOMPARE(sim.process->exitCode(), 0);
    QVERIFY(!QFileInfo(link).isSymLink());
}

void TestRelease::desktopProgramStarts() {
    // Started from elsewhere, the window program finds its libraries and
    // plug-ins and stays up until it is told to end.
    Running gui;
    QProcessEnvironment env = plainEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    gui.process->setProcessEnvironment(env);
    gui.process->setWorkingDirectory(elsewhere_.path());
    gui.process->start(installed(QStringLiteral("ktr6")), QStringList());
    QVERIFY(gui.process->waitForStarted(5000));
    QVERIFY2(!gui.process->waitForFinished(1500), gui.process->readAllStandardError().constData());
    QCOMPARE(gui.process->state(), QProcess::Running);
}

QTEST_GUILESS_MAIN(TestRelease)
#include "test_release.moc"
