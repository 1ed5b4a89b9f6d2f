// Another program holds the relay's port. Every menu entry that needs the
// port says so at once and sends nothing; once the other program lets go,
// the same entry works.

#include "FaultRig.h"
#include "protocol/ParameterBlock.h"
#include "resources/Resources.h"
#include "support/PortHolder.h"
#include "views/OnLine.h"
#include "views/Parameter.h"
#include "views/Rozhranie.h"

#include <QProcess>
#include <QTest>

using namespace faults;

namespace {

const QString kReadOk = QStringLiteral("Read Parameter OK");
const QString kAlreadyOpen = QStringLiteral("Port already open");

QAction* menuEntry(Main& main, const QString& name) {
    for (QAction* action : {main.mnuParam(), main.nmuStatus(), main.mnuComPort()}) {
        if (action->text() == name)
            return action;
    }
    return nullptr;
}

} // namespace

class TestFaultPortBusy : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void menuEntryOnHeldPort_data();
    void menuEntryOnHeldPort();
};

void TestFaultPortBusy::initTestCase() {
    ktr6InitResources();
    QLocale::setDefault(QLocale::c());
    if (linkOnlyPort() == 0)
        QSKIP("every port number of the list maps to a device of this machine");
}

void TestFaultPortBusy::menuEntryOnHeldPort_data() {
    QTest::addColumn<QString>("entry");
    QTest::addColumn<bool>("windowWhileHeld");
    QTest::addColumn<QStringList>("whileHeld");
    QTest::addColumn<QStringList>("afterwards");

    QTest::newRow("Parameter") << "Parameter" << true << QStringList{kPortErrorText}
                               << QStringList{kReadOk};
    // The on-line view is never shown after a failed read.
    QTest::newRow("Status") << "Status" << false << QStringList{kPortErrorText} << QStringList{};
    QTest::newRow("Com Port") << "Com Port" << true << QStringList{kAlreadyOpen} << QStringList{};
}

void TestFaultPortBusy::menuEntryOnHeldPort() {
    QFETCH(QString, entry);
    QFETCH(bool, windowWhileHeld);
    QFETCH(QStringList, whileHeld);
    QFETCH(QStringList, afterwards);
    LiveTool tool;
    QVERIFY(tool.settingsWritten);
    QVERIFY2(tool.startSim(deviceConfig()), qPrintable(tool.error));
    QVERIFY(tool.startUp());
    const QByteArray settings = tool.settingsBytes();
    QAction* action = menuEntry(*tool.main, entry);
    QVERIFY(action);

    PortHolder other(QStringLiteral(KTR6_PORT_HOLDER));
    QCOMPARE(other.hold(tool.dir.path(), tool.portNumber), QByteArray("held"));

    bool portOpenInWindow = true;
    const MenuRun held =
        choose(*tool.main, action, [&](QWidget*) { portOpenInWindow = tool.port.PortOpen(); });
    QCOMPARE(held.shown, windowWhileHeld);
    QCOMPARE(tool.messageTexts(), whileHeld);
    // At once: the open failed before any pause was taken, and nothing went
    // out on the line.
    const qint64 failedAfter = held.shown ? held.loadMs : held.totalMs;
    QVERIFY2(failedAfter < 150, qPrintable(QString::number(failedAfter)));
    QCOMPARE(tool.sim->receivedBytes(), QByteArray());
    QVERIFY(!tool.port.PortOpen());
    if (held.shown)
        QVERIFY(!portOpenInWindow);
    QCOMPARE(Others::ReadFailed,
             entry == QLatin1String("Parameter") ? Others::True : Others::False);
    QCOMPARE(tool.settingsBytes(), settings);

    // The other program lets go: the same entry works.
    QVERIFY(other.release());
    tool.messages.clear();
    const MenuRun freed =
        choose(*tool.main, action, [&](QWidget*) { portOpenInWindow = tool.port.PortOpen(); });
    QVERIFY(freed.shown);
    QCOMPARE(tool.messageTexts(), afterwards);
    // The on-line view and the port dialog hold the port while they are open.
    QCOMPARE(portOpenInWindow, entry != QLatin1String("Parameter"));
    QVERIFY(!tool.port.PortOpen());
}

QTEST_MAIN(TestFaultPortBusy)
#include "test_fault_port_busy.moc"
