// The relay's line breaks while the tool uses it: it hangs up during a read,
// in the middle of a write, under the open on-line view, or vanishes like an
// unplugged USB adapter and comes back under another name. Each time the
// operator gets one "ERROR" box, the port ends up closed, nothing freezes,
// and once the relay is back the tool works again without a restart.

#include "FaultRig.h"
#include "protocol/ParameterBlock.h"
#include "resources/Resources.h"
#include "views/OnLine.h"
#include "views/Parameter.h"
#include "views/Rozhranie.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <vector>

using namespace faults;
using ktr6sim::FaultKind;

namespace {

const QString kReadOk = QStringLiteral("Read Parameter OK");

void checkLinkError(const RecordedMessage& message) {
    QCOMPARE(message.text, kPortErrorText);
    QCOMPARE(message.title, kPortErrorTitle);
    QCOMPARE(message.icon, MsgIcon::Critical);
}

// Keeps the pty number a hung-up relay gave back taken, as a re-enumerated
// USB adapter comes back under a new name: the relay must then reappear on
// another /dev/pts entry.
std::unique_ptr<TestPty> occupy(const QString& slavePath) {
    std::vector<std::unique_ptr<TestPty>> taken;
    while (taken.size() < 64) {
        auto pty = std::make_unique<TestPty>();
        if (!pty->ok())
            break;
        const bool found = pty->slavePath() == slavePath;
        taken.push_back(std::move(pty));
        if (found)
            return std::move(taken.back());
    }
    return nullptr; // someone else holds that number: it is taken all the same
}

} // namespace

class TestFaultLink : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void readHangUpThenDeviceBack_data();
    void readHangUpThenDeviceBack();
    void writeHangUpThenDeviceBack_data();
    void writeHangUpThenDeviceBack();
    void onLineHangUpThenStatusAgain_data();
    void onLineHangUpThenStatusAgain();
    void usbAdapterGoneAndBack();
};

void TestFaultLink::initTestCase() {
    ktr6InitResources();
    QLocale::setDefault(QLocale::c());
    if (linkOnlyPort() == 0)
        QSKIP("every port number of the list maps to a device of this machine");
}

void TestFaultLink::readHangUpThenDeviceBack_data() {
    QTest::addColumn<int>("reopenMs"); // < 0: the operator plugs it back in
    QTest::newRow("plugged back in") << -1;
    QTest::newRow("back by itself after 300 ms") << 300;
}

void TestFaultLink::readHangUpThenDeviceBack() {
    QFETCH(int, reopenMs);
    LiveTool tool;
    QVERIFY(tool.settingsWritten);
    ktr6sim::SimConfig config = deviceConfig();
    config.fault = {FaultKind::Hangup, 0};
    config.reopenMs = reopenMs;
    QVERIFY2(tool.startSim(config), qPrintable(tool.error));
    QVERIFY(tool.startUp());

    bool operated = false;
    const MenuRun run = choose(*tool.main, tool.main->mnuParam(), [&](QWidget* window) {
        auto* editor = qobject_cast<Parameter*>(window);
        QVERIFY(editor);
        // The read of the editor's load met the hang-up: its failure path, once.
        QCOMPARE(tool.messages.size(), 1);
        checkLinkError(tool.messages[0]);
        QCOMPARE(tool.sim->counters().hangups, 1);
        QVERIFY2(!tool.port.PortOpen(), "a port whose device hung up must not stay open");
        QCOMPARE(editor->windowTitle(), QStringLiteral("Parameter set"));
        QCOMPARE(editor->Text1(5)->text(), QStringLiteral("1"));

        if (reopenMs < 0)
            QVERIFY2(tool.sim->replug(&tool.error), qPrintable(tool.error));
        QTRY_VERIFY_WITH_TIMEOUT(tool.sim->isConnected(), 5000);
        tool.messages.clear();
        editor->btLoad()->click();
        QCOMPARE(tool.messageTexts(), QStringList{kReadOk});
        QCOMPARE(Others::ReadFailed, Others::False);
        QCOMPARE(editor->Text1(5)->text(), QStringLiteral("6"));
        QVERIFY(!tool.port.PortOpen());
        operated = true;
    });
    QVERIFY(run.shown);
    QVERIFY(operated);
    // One attempt with its two pauses, no retries after a dead line.
    QVERIFY2(run.loadMs < 1500, qPrintable(QString::number(run.loadMs)));
    QCOMPARE(tool.sim->counters().readRequests, 2);
}

void TestFaultLink::writeHangUpThenDeviceBack_data() {
    QTest::addColumn<int>("afterBytes"); // the relay hangs up once it has these
    QTest::addColumn<int>("maxMs");      // the write gives up within this
    QTest::addColumn<bool>("stored");    // the relay got the whole block

    // The command character, then 26 octets 20 ms apart, then the read-back.
    QTest::newRow("after the command character") << 1 << 1200 << false;
    QTest::newRow("in the middle of the block") << 14 << 1500 << false;
    QTest::newRow("after the last octet") << 27 << 2600 << true;
}

void TestFaultLink::writeHangUpThenDeviceBack() {
    QFETCH(int, afterBytes);
    QFETCH(int, maxMs);
    QFETCH(bool, stored);
    LiveTool tool;
    QVERIFY(tool.settingsWritten);
    QVERIFY2(tool.startSim(deviceConfig()), qPrintable(tool.error));
    QVERIFY(tool.startUp());

    bool operated = false;
    const MenuRun run = choose(*tool.main, tool.main->mnuParam(), [&](QWidget* window) {
        auto* editor = qobject_cast<Parameter*>(window);
        QVERIFY(editor);
        QCOMPARE(tool.messageTexts(), QStringList{kReadOk});
        tool.messages.clear();
        editor->Text1(0)->setText(QStringLiteral("200"));
        editor->Text2(0)->setText(QStringLiteral("300"));
        tool.sim->clearReceived();
        tool.sim->setFault({FaultKind::Hangup, afterBytes});

        QElapsedTimer clock;
        clock.start();
        editor->btSave()->click();
        const qint64 elapsed = clock.elapsed();

        QCOMPARE(tool.messages.size(), 1);
        checkLinkError(tool.messages[0]);
        QCOMPARE(Others::ReadFailed, Others::True);
        QVERIFY2(!tool.port.PortOpen(), "a port whose device hung up must not stay open");
        const QByteArray received = tool.sim->receivedBytes();
        QCOMPARE(received.size(), afterBytes);
        QCOMPARE(received.at(0), ',');
        QVERIFY2(elapsed < maxMs, qPrintable(QStringLiteral("the write took %1 ms").arg(elapsed)));

        // Plugged back in, Load shows what the relay really holds: the old
        // values, unless the whole block reached it before it hung up.
        QVERIFY2(tool.sim->replug(&tool.error), qPrintable(tool.error));
        tool.messages.clear();
        editor->btLoad()->click();
        QCOMPARE(tool.messageTexts(), QStringList{kReadOk});
        QCOMPARE(editor->Text1(0)->text(), stored ? QStringLiteral("200") : QStringLiteral("1"));
        QCOMPARE(editor->Text2(0)->text(), stored ? QStringLiteral("300") : QStringLiteral("1"));
        QVERIFY(!tool.port.PortOpen());
        operated = true;
    });
    QVERIFY(run.shown);
    QVERIFY(operated);
}

void TestFaultLink::onLineHangUpThenStatusAgain_data() {
    QTest::addColumn<int>("reopenMs"); // < 0: the operator plugs it back in
    QTest::addColumn<bool>("streaming");

    QTest::newRow("quiet line, plugged back in") << -1 << false;
    QTest::newRow("records pouring in, back by itself after 300 ms") << 300 << true;
}

void TestFaultLink::onLineHangUpThenStatusAgain() {
    QFETCH(int, reopenMs);
    QFETCH(bool, streaming);
    LiveTool tool;
    QVERIFY(tool.settingsWritten);
    ktr6sim::SimConfig config = deviceConfig();
    config.reopenMs = reopenMs;
    QVERIFY2(tool.startSim(config), qPrintable(tool.error));
    QVERIFY(tool.startUp());

    bool operated = false;
    qint64 worstLateness = -1;
    const MenuRun first = choose(*tool.main, tool.main->nmuStatus(), [&](QWidget* window) {
        auto* view = qobject_cast<OnLine*>(window);
        QVERIFY(view);
        QVERIFY(tool.port.PortOpen());
        tool.sim->sendRecords(2, 5);
        QTRY_COMPARE_WITH_TIMEOUT(view->Text1(1)->text(), QStringLiteral("10.0"), 5000);
        if (streaming) {
            ktr6sim::StreamConfig stream;
            stream.rates = {{1, 0.0}};
            tool.sim->startStream(stream);
            QTRY_VERIFY_WITH_TIMEOUT(view->Text1(0)->text() != QStringLiteral("0"), 5000);
        }

        TickWatch watch;
        watch.start();
        tool.sim->hangUp();
        QTRY_COMPARE_WITH_TIMEOUT(tool.messages.size(), 1, 5000);
        checkLinkError(tool.messages[0]);
        QVERIFY2(!tool.port.PortOpen(), "a port whose device hung up must not stay open");
        // The dead line keeps nothing going: no second box, no counting.
        const QString totalIn1 = view->Text1(0)->text();
        QTest::qWait(500);
        QCOMPARE(tool.messages.size(), 1);
        QCOMPARE(view->Text1(0)->text(), totalIn1);
        QCOMPARE(view->Text1(1)->text(), QStringLiteral("10.0"));
        QVERIFY(view->isVisible());
        worstLateness = watch.worstLatenessMs();

        if (reopenMs < 0)
            QVERIFY2(tool.sim->replug(&tool.error), qPrintable(tool.error));
        QTRY_VERIFY_WITH_TIMEOUT(tool.sim->isConnected(), 5000);
        tool.sim->stopStream();
        operated = true;
    });
    QVERIFY(first.shown);
    QVERIFY(operated);
    qInfo("timer late by %lld ms at worst around the hang-up", worstLateness);
    QVERIFY2(worstLateness >= 0 && worstLateness < 250,
             qPrintable(QStringLiteral("the window was stuck for %1 ms").arg(worstLateness)));
    QVERIFY(!tool.port.PortOpen());

    // "Status" again, with the relay back: a fresh view that counts.
    tool.messages.clear();
    operated = false;
    const MenuRun second = choose(*tool.main, tool.main->nmuStatus(), [&](QWidget* window) {
        auto* view = qobject_cast<OnLine*>(window);
        QVERIFY(view);
        QVERIFY(tool.port.PortOpen());
        QCOMPARE(view->Text1(1)->text(), QStringLiteral("0"));
        tool.sim->sendRecords(3, 4);
        QTRY_COMPARE_WITH_TIMEOUT(view->Text1(2)->text(), QStringLiteral("12.0"), 5000);
        tool.sim->sendRecords(8, 2);
        QTRY_COMPARE_WITH_TIMEOUT(view->Text1(7)->text(), QStringLiteral("2"), 5000);
        operated = true;
    });
    QVERIFY(second.shown);
    QVERIFY(operated);
    QVERIFY(tool.messages.isEmpty());
    QVERIFY(!tool.port.PortOpen());
}

void TestFaultLink::usbAdapterGoneAndBack() {
    // Long enough for the checks below to run while the adapter is away.
    constexpr int kAwayMs = 700;
    LiveTool tool;
    QVERIFY(tool.settingsWritten);
    ktr6sim::SimConfig config = deviceConfig();
    config.reopenMs = kAwayMs;
    QVERIFY2(tool.startSim(config), qPrintable(tool.error));
    QVERIFY(tool.startUp());
    const QByteArray settings = tool.settingsBytes();
    const QString oldPty = tool.sim->slavePath();
    const QString link = tool.sim->linkPath();
    const int entry = tool.portNumber - 1;

    tool.sim->hangUp();
    const std::unique_ptr<TestPty> oldNumber = occupy(oldPty);
    QVERIFY(!QFileInfo(link).isSymLink());

    // A read while it is away fails at the open, before any pause, with the
    // box: there is no device behind the port number at all.
    bool operated = false;
    const MenuRun read = choose(*tool.main, tool.main->mnuParam(), [&](QWidget*) {
        QCOMPARE(tool.messages.size(), 1);
        checkLinkError(tool.messages[0]);
        QVERIFY(!tool.port.PortOpen());
        operated = true;
    });
    QVERIFY(read.shown);
    QVERIFY(operated);
    QVERIFY2(read.loadMs < 200, qPrintable(QString::number(read.loadMs)));

    // The port dialog says so in the entry's tool tip, and its trial open fails.
    tool.messages.clear();
    QString tip;
    const MenuRun away = choose(*tool.main, tool.main->mnuComPort(), [&](QWidget* window) {
        auto* dialog = qobject_cast<Rozhranie*>(window);
        QVERIFY(dialog);
        QCOMPARE(dialog->ComBo()->currentIndex(), entry);
        tip = dialog->ComBo()->itemData(entry, Qt::ToolTipRole).toString();
        QCOMPARE(dialog->ComBo()->toolTip(), tip);
    });
    QVERIFY(away.shown);
    QVERIFY2(tip.endsWith(QStringLiteral("(not present)")), qPrintable(tip));
    QCOMPARE(tool.messageTexts(), QStringList{QStringLiteral("Invalid Port Number")});
    QVERIFY2(!tool.sim->isConnected(), "the checks above took longer than the adapter was away");
    QVERIFY(!tool.port.PortOpen());
    QCOMPARE(tool.settingsBytes(), settings);

    // Back, under another name: the same program finds it through the link.
    QTRY_VERIFY_WITH_TIMEOUT(tool.sim->isConnected(), 5000);
    const QString newPty = tool.sim->slavePath();
    QVERIFY2(newPty != oldPty, qPrintable(newPty));
    tool.messages.clear();
    const MenuRun back = choose(*tool.main, tool.main->mnuComPort(), [&](QWidget* window) {
        auto* dialog = qobject_cast<Rozhranie*>(window);
        QVERIFY(dialog);
        tip = dialog->ComBo()->itemData(entry, Qt::ToolTipRole).toString();
        QVERIFY(tool.port.PortOpen());
    });
    QVERIFY(back.shown);
    QCOMPARE(tip, QStringLiteral("%1 -> %2 (present)").arg(link, newPty));
    QVERIFY(tool.messages.isEmpty());

    operated = false;
    const MenuRun again = choose(*tool.main, tool.main->mnuParam(), [&](QWidget* window) {
        auto* editor = qobject_cast<Parameter*>(window);
        QVERIFY(editor);
        QCOMPARE(tool.messageTexts(), QStringList{kReadOk});
        QCOMPARE(editor->Text1(5)->text(), QStringLiteral("6"));
        operated = true;
    });
    QVERIFY(again.shown);
    QVERIFY(operated);
    QVERIFY(!tool.port.PortOpen());
    QCOMPARE(tool.settingsBytes(), settings);
}

QTEST_MAIN(TestFaultLink)
#include "test_fault_link.moc"
