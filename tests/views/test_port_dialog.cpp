// The port settings dialog against the real port object: pseudo-terminals
// linked as comN in a program directory of the test's own, the real settings
// file, and the message seam recorded. A scripted port stands in where an
// error code has to be forced.

#include "core/Others.h"
#include "core/Seams.h"
#include "serial/QtSerialComm.h"
#include "serial/SettingsFile.h"
#include "support/Immutable.h"
#include "support/ScriptedPort.h"
#include "support/TestPty.h"
#include "views/Rozhranie.h"

#ifdef KTR6_HAVE_PARAMETER_READ
#include "protocol/ParameterBlock.h"
#include <thread>
#endif

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <fcntl.h>
#include <linux/fs.h>
#include <memory>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

// The file every test starts from: COM3, no handshaking, 9600 baud, and
// WaitTime/TimeDelay values that only the file carries.
const QByteArray kStartFile =
    "Port=3\r\nHandshaking =  0 \r\nBaudRate =  9600 \r\nWaitTime =  5 \r\nTimeDelay = -7 \r\n";

// The operator opens the drop-down list and picks an entry with the keyboard,
// which is what makes the list report an activation.
void pickFromList(QComboBox* box, int position) {
    box->showPopup();
    QAbstractItemView* view = box->view();
    view->setCurrentIndex(box->model()->index(position, box->modelColumn()));
    QTest::keyClick(view, Qt::Key_Return);
}

// The operator replaces a field's text by typing.
void typeInto(QComboBox* box, const QString& text) {
    box->lineEdit()->selectAll();
    QTest::keyClick(box->lineEdit(), Qt::Key_Delete);
    QTest::keyClicks(box->lineEdit(), text);
}

// The line speed the terminal driver holds for a pty, as the device would
// see it.
speed_t ptySpeed(const QString& slavePath) {
    const int fd =
        ::open(QFile::encodeName(slavePath).constData(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return B0;
    termios tio{};
    ::tcgetattr(fd, &tio);
    ::close(fd);
    return ::cfgetospeed(&tio);
}

QString checkedButtonName(const Rozhranie& dialog) {
    for (QRadioButton* button : {dialog.HS_No(), dialog.HS_RTS(), dialog.HS_X(), dialog.HS_XR()}) {
        if (button->isChecked())
            return button->objectName();
    }
    return {};
}

} // namespace

class TestPortDialog : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void layout_data();
    void layout();
    void layoutSizes_data();
    void layoutSizes();
    void windowIsFixedAndCentred();
    void focusStartsOnOkAndTabsThroughTheFields_data();
    void focusStartsOnOkAndTabsThroughTheFields();
    void portListHoldsCom1ToCom15();
    void toolTipsNameTheDevice_data();
    void toolTipsNameTheDevice();
    void presetAtLoad_data();
    void presetAtLoad();
    void operatorSelectsPorts();
    void portHeldByAnotherOpener();
    void portErrorCodesShowTheirMessage_data();
    void portErrorCodesShowTheirMessage();
    void openingUsesSharedSettingsAndGoesOnAfterAFailure_data();
    void openingUsesSharedSettingsAndGoesOnAfterAFailure();
    void handshakingPreset_data();
    void handshakingPreset();
    void okWritesTheCheckedHandshaking_data();
    void okWritesTheCheckedHandshaking();
    void baudFieldTakesEffectOnlyThroughOk();
    void okWritesTheExactFileAndReloadsIt();
    void okReportsAFileThatCannotBeReadBack();
    void badBaudRateRefused_data();
    void badBaudRateRefused();
    void typedPortText_data();
    void typedPortText();
    void unwritableSettingsFile_data();
    void unwritableSettingsFile();
    void closingWithoutOkReleasesThePort_data();
    void closingWithoutOkReleasesThePort();
    void onlyOkItselfTakesEnter_data();
    void onlyOkItselfTakesEnter();

private:
    TestPty* linkPty(int number);
    void linkNowhere(int number);
    QByteArray settingsFile() const;
    QString settingsPath() const { return dir_->filePath(QStringLiteral("KTR.INI")); }
    QStringList messageTexts() const;
    void useScriptedPort() { seams::bindPort(&seams_->port); }

    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<TestSeams> seams_;
    std::unique_ptr<QtSerialComm> port_;
    std::vector<std::unique_ptr<TestPty>> ptys_;
};

void TestPortDialog::init() {
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
    seams_ = std::make_unique<TestSeams>();
    port_ = std::make_unique<QtSerialComm>();
    seams::bindPort(port_.get());
    seams::setProgramDirectory(dir_->path());

    QFile file(settingsPath());
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(kStartFile);
    file.close();
    Others::PortNumber = 3;
    Others::HandshakeMode = 0;
    Others::BaudRate = 9600;
    Others::WaitTime = 5;
    Others::TimeDelay = -7;
}

void TestPortDialog::cleanup() {
    if (port_ && port_->PortOpen())
        port_->PortOpen(false);
    port_.reset();
    ptys_.clear();
    seams_.reset();
    seams::setProgramDirectory(QString());
    dir_.reset();
}

TestPty* TestPortDialog::linkPty(int number) {
    auto pty = std::make_unique<TestPty>();
    if (!pty->ok() || !pty->linkAs(dir_->path(), QStringLiteral("com%1").arg(number)))
        return nullptr;
    ptys_.push_back(std::move(pty));
    return ptys_.back().get();
}

void TestPortDialog::linkNowhere(int number) {
    QFile::link(dir_->filePath(QStringLiteral("gone")),
                dir_->filePath(QStringLiteral("com%1").arg(number)));
}

QByteArray TestPortDialog::settingsFile() const {
    QFile file(settingsPath());
    if (!file.open(QIODevice::ReadOnly))
        return "<unreadable>";
    return file.readAll();
}

QStringList TestPortDialog::messageTexts() const {
    QStringList texts;
    for (const RecordedMessage& message : seams_->messages)
        texts << message.text;
    return texts;
}

void TestPortDialog::layout_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("geometry"); // height 0: the control's own height
    QTest::addColumn<QString>("text");

    QTest::newRow("Label2") << "Label2" << QRect(14, 7, 57, 15) << "COM:";
    QTest::newRow("ComBo") << "ComBo" << QRect(14, 21, 71, 0) << "";
    QTest::newRow("Label1") << "Label1" << QRect(105, 7, 97, 17) << "Baud Rate";
    QTest::newRow("B_Rate") << "B_Rate" << QRect(105, 21, 89, 0) << "";
    QTest::newRow("Frame2") << "Frame2" << QRect(203, 7, 113, 96) << "Handshaking";
    QTest::newRow("HS_No") << "HS_No" << QRect(16, 24, -1, 0) << "No";
    QTest::newRow("HS_RTS") << "HS_RTS" << QRect(16, 40, -1, 0) << "RTS / CTS";
    QTest::newRow("HS_X") << "HS_X" << QRect(16, 56, -1, 0) << "XON/XOFF";
    QTest::newRow("HS_XR") << "HS_XR" << QRect(16, 72, -1, 0) << "RTS, XON";
    QTest::newRow("OKButton") << "OKButton" << QRect(322, 21, 61, 25) << "OK";
}

void TestPortDialog::layout() {
    QFETCH(QString, name);
    QFETCH(QRect, geometry);
    QFETCH(QString, text);
    Rozhranie dialog;
    auto* control = dialog.findChild<QWidget*>(name);
    QVERIFY2(control, qPrintable(name));
    QCOMPARE(control->pos(), geometry.topLeft());
    if (geometry.width() > 0)
        QCOMPARE(control->width(), geometry.width());
    if (geometry.height() > 0)
        QCOMPARE(control->height(), geometry.height());
    // Whatever its size, a control stays inside its parent.
    QVERIFY(control->parentWidget()->rect().contains(control->geometry()));

    if (auto* label = qobject_cast<QLabel*>(control))
        QCOMPARE(label->text(), text);
    else if (auto* button = qobject_cast<QAbstractButton*>(control))
        QCOMPARE(button->text(), text);
    else if (auto* frame = qobject_cast<QGroupBox*>(control))
        QCOMPARE(frame->title(), text);
    if (name.startsWith(QLatin1String("HS_")))
        QCOMPARE(control->parentWidget(), dialog.Frame2());
}

// The sizes layout() leaves open: the option buttons' (one 16-pixel row each,
// across the frame) and the lists' height, which is their own.
void TestPortDialog::layoutSizes_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("width");  // 0: pinned by layout()
    QTest::addColumn<int>("height"); // 0: the control's own height

    QTest::newRow("ComBo") << "ComBo" << 0 << 0;
    QTest::newRow("B_Rate") << "B_Rate" << 0 << 0;
    QTest::newRow("HS_No") << "HS_No" << 93 << 16;
    QTest::newRow("HS_RTS") << "HS_RTS" << 93 << 16;
    QTest::newRow("HS_X") << "HS_X" << 93 << 16;
    QTest::newRow("HS_XR") << "HS_XR" << 93 << 16;
}

void TestPortDialog::layoutSizes() {
    QFETCH(QString, name);
    QFETCH(int, width);
    QFETCH(int, height);
    Rozhranie dialog;
    auto* control = dialog.findChild<QWidget*>(name);
    QVERIFY2(control, qPrintable(name));
    if (width > 0)
        QCOMPARE(control->width(), width);
    QCOMPARE(control->height(), height > 0 ? height : control->sizeHint().height());
}

void TestPortDialog::windowIsFixedAndCentred() {
    Others::PortNumber = 0; // nothing to open
    Rozhranie dialog;
    dialog.load();
    QCOMPARE(dialog.objectName(), QStringLiteral("Rozhranie"));
    QCOMPARE(dialog.windowTitle(), QStringLiteral("COM Port "));
    QCOMPARE(dialog.minimumSize(), QSize(388, 123));
    QCOMPARE(dialog.maximumSize(), QSize(388, 123));
    QVERIFY(!(dialog.windowFlags() & Qt::WindowMinimizeButtonHint));
    QVERIFY(!(dialog.windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(dialog.windowFlags() & Qt::WindowCloseButtonHint);
    QVERIFY(dialog.ComBo()->isEditable());
    QVERIFY(dialog.B_Rate()->isEditable());
    QCOMPARE(dialog.B_Rate()->count(), 1);
    QCOMPARE(dialog.B_Rate()->itemText(0), QStringLiteral("19200"));

    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QCOMPARE(dialog.size(), QSize(388, 123));
    const QPoint screenCentre = dialog.screen()->availableGeometry().center();
    const QPoint offset = dialog.frameGeometry().center() - screenCentre;
    QVERIFY2(offset.manhattanLength() <= 2,
             qPrintable(QStringLiteral("off centre by %1,%2").arg(offset.x()).arg(offset.y())));
}

void TestPortDialog::focusStartsOnOkAndTabsThroughTheFields_data() {
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("forwardStop");  // where Tab enters the option group
    QTest::addColumn<QString>("backwardStop"); // where Shift+Tab enters it

    QTest::newRow("RTS / CTS on") << 2 << "HS_RTS"
                                  << "HS_RTS";
    QTest::newRow("RTS, XON on") << 3 << "HS_XR"
                                 << "HS_XR";
    QTest::newRow("none on, first button") << 7 << "HS_No"
                                           << "HS_No";
}

void TestPortDialog::focusStartsOnOkAndTabsThroughTheFields() {
    QFETCH(int, mode);
    QFETCH(QString, forwardStop);
    QFETCH(QString, backwardStop);
    Others::PortNumber = 0;
    Others::HandshakeMode = int16_t(mode);
    Rozhranie dialog;
    dialog.load();
    dialog.show();
    QVERIFY(QTest::qWaitForWindowActive(&dialog));

    // The control that has the focus, seen as one of the dialog's own (an
    // editable list hands its focus to its text field).
    auto focused = [&]() -> QString {
        for (QWidget* w = QApplication::focusWidget(); w; w = w->parentWidget()) {
            if (!w->objectName().isEmpty() && w != &dialog && w != dialog.Frame2())
                return w->objectName();
        }
        return QStringLiteral("<none>");
    };
    QCOMPARE(focused(), QStringLiteral("OKButton"));

    // The option group is one stop on the way, at its button that is on if
    // there is one, whichever way the operator goes round.
    auto tabRound = [&](Qt::Key key) {
        QStringList visited;
        for (int i = 0; i < 4; ++i) {
            QTest::keyClick(QApplication::focusWidget(), key);
            visited << focused();
        }
        return visited;
    };
    QCOMPARE(tabRound(Qt::Key_Tab), (QStringList{"B_Rate", forwardStop, "ComBo", "OKButton"}));
    QCOMPARE(tabRound(Qt::Key_Backtab), (QStringList{"ComBo", backwardStop, "B_Rate", "OKButton"}));
}

void TestPortDialog::portListHoldsCom1ToCom15() {
    Others::PortNumber = 0;
    Rozhranie dialog;
    dialog.load();
    QStringList entries;
    for (int i = 0; i < dialog.ComBo()->count(); ++i)
        entries << dialog.ComBo()->itemText(i);
    QStringList expected;
    for (int n = 1; n <= 15; ++n)
        expected << QStringLiteral("COM%1").arg(n);
    QCOMPARE(entries, expected);

    // Loading twice (a second opening of the dialog builds it anew) must not
    // be needed to get a clean list, and typing must never add an entry.
    typeInto(dialog.ComBo(), QStringLiteral("COM16"));
    QTest::keyClick(dialog.ComBo()->lineEdit(), Qt::Key_Return);
    QCOMPARE(dialog.ComBo()->count(), 15);
}

void TestPortDialog::toolTipsNameTheDevice_data() {
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("kind");

    QTest::newRow("linked pty") << 3 << "pty";
    QTest::newRow("link to nothing") << 4 << "dead link";
    QTest::newRow("COM1 built in") << 1 << "built in";
    QTest::newRow("COM5 built in") << 5 << "built in";
    QTest::newRow("COM15 built in") << 15 << "built in";
}

void TestPortDialog::toolTipsNameTheDevice() {
    QFETCH(int, number);
    QFETCH(QString, kind);
    const QString link = dir_->filePath(QStringLiteral("com%1").arg(number));
    QString expected;
    if (kind == "pty") {
        TestPty* pty = linkPty(number);
        QVERIFY(pty);
        expected = link + " -> " + pty->slavePath() + " (present)";
    } else if (kind == "dead link") {
        linkNowhere(number);
        expected = link + " -> " + dir_->filePath("gone") + " (not present)";
    } else {
        const QString device = number <= 4    ? QStringLiteral("/dev/ttyS%1").arg(number - 1)
                               : number <= 10 ? QStringLiteral("/dev/ttyUSB%1").arg(number - 5)
                                              : QStringLiteral("/dev/ttyACM%1").arg(number - 11);
        expected = device + (QFileInfo::exists(device) ? " (present)" : " (not present)");
    }
    // Built-in devices may be real serial ports of this machine: leave them
    // alone.
    Others::PortNumber = int16_t(kind == "built in" ? 0 : number);
    Rozhranie dialog;
    dialog.load();
    QCOMPARE(dialog.ComBo()->itemData(number - 1, Qt::ToolTipRole).toString(), expected);
    // The list itself shows the tip of the port it stands on.
    QCOMPARE(dialog.ComBo()->toolTip(), Others::PortNumber ? expected : QString());
}

void TestPortDialog::presetAtLoad_data() {
    QTest::addColumn<int>("portNumber");
    QTest::addColumn<QString>("device");
    QTest::addColumn<bool>("openBefore"); // port 3 left open by an earlier user
    QTest::addColumn<bool>("opened");
    QTest::addColumn<QStringList>("messages");
    QTest::addColumn<QString>("shownEntry");

    QTest::newRow("configured port present")
        << 3 << "pty" << false << true << QStringList() << "COM3";
    QTest::newRow("configured port reopened")
        << 3 << "pty" << true << true << QStringList() << "COM3";
    QTest::newRow("configured port missing")
        << 3 << "dead link" << false << false << QStringList{"Invalid Port Number"} << "COM3";
    QTest::newRow("port 0 has no entry") << 0 << "pty" << true << false << QStringList() << "";
    QTest::newRow("port 16 has no entry") << 16 << "pty" << true << false << QStringList() << "";
}

void TestPortDialog::presetAtLoad() {
    QFETCH(int, portNumber);
    QFETCH(QString, device);
    QFETCH(bool, openBefore);
    QFETCH(bool, opened);
    QFETCH(QStringList, messages);
    QFETCH(QString, shownEntry);
    if (device == "pty")
        QVERIFY(linkPty(3));
    else
        linkNowhere(3);
    if (openBefore) {
        port_->CommPort(3);
        port_->PortOpen(true);
    }
    Others::PortNumber = int16_t(portNumber);

    Rozhranie dialog;
    dialog.load();
    // Everything below happened before the dialog is on the screen.
    QVERIFY(!dialog.isVisible());
    QCOMPARE(port_->PortOpen(), opened);
    if (opened)
        QCOMPARE(port_->CommPort(), int16_t(3));
    QCOMPARE(messageTexts(), messages);
    for (const RecordedMessage& message : seams_->messages) {
        QCOMPARE(message.icon, MsgIcon::None);
        QCOMPARE(message.title, kAppTitle);
    }
    QCOMPARE(Others::PortNumber, int16_t(portNumber));
    QCOMPARE(dialog.ComBo()->currentText(), shownEntry);
    QCOMPARE(dialog.ComBo()->currentIndex(), shownEntry.isEmpty() ? -1 : portNumber - 1);
    QCOMPARE(settingsFile(), kStartFile);
}

void TestPortDialog::operatorSelectsPorts() {
    QVERIFY(linkPty(3));
    QVERIFY(linkPty(15));
    linkNowhere(4);
    Rozhranie dialog;
    dialog.load();
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QCOMPARE(port_->CommPort(), int16_t(3));

    pickFromList(dialog.ComBo(), 14);
    QCOMPARE(dialog.ComBo()->currentText(), QStringLiteral("COM15"));
    QCOMPARE(Others::PortNumber, int16_t(15));
    QVERIFY(port_->PortOpen());
    QCOMPARE(port_->CommPort(), int16_t(15));
    QVERIFY(seams_->messages.isEmpty());

    // A port that is not there: reported, the number stays with the last
    // port that opened, and the port is no longer held.
    pickFromList(dialog.ComBo(), 3);
    QCOMPARE(messageTexts(), QStringList{"Invalid Port Number"});
    QCOMPARE(Others::PortNumber, int16_t(15));
    QVERIFY(!port_->PortOpen());

    // Picking the same port again opens it again.
    pickFromList(dialog.ComBo(), 2);
    pickFromList(dialog.ComBo(), 2);
    QCOMPARE(messageTexts().size(), 1);
    QCOMPARE(Others::PortNumber, int16_t(3));
    QVERIFY(port_->PortOpen());
    QCOMPARE(settingsFile(), kStartFile);
}

void TestPortDialog::portHeldByAnotherOpener() {
    QVERIFY(linkPty(3));
    QtSerialComm other;
    other.CommPort(3);
    other.PortOpen(true);

    Rozhranie dialog;
    dialog.load();
    QCOMPARE(messageTexts(), QStringList{"Port already open"});
    QCOMPARE(seams_->messages.first().icon, MsgIcon::None);
    QVERIFY(!port_->PortOpen());
    QCOMPARE(Others::PortNumber, int16_t(3));

    // Once the other program lets go, choosing the port again succeeds.
    other.PortOpen(false);
    pickFromList(dialog.ComBo(), 2);
    QVERIFY(port_->PortOpen());
    QCOMPARE(seams_->messages.size(), 1);
}

void TestPortDialog::portErrorCodesShowTheirMessage_data() {
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");

    QTest::newRow("8001") << 8001 << "Port is opened";
    QTest::newRow("8002") << 8002 << "Invalid Port Number";
    QTest::newRow("8005") << 8005 << "Port already open";
    QTest::newRow("unknown 8099") << 8099 << "Port Error 8099";
    QTest::newRow("no permission 8010") << 8010 << "Port Error 8010";
}

void TestPortDialog::portErrorCodesShowTheirMessage() {
    QFETCH(int, code);
    QFETCH(QString, message);
    useScriptedPort();
    ScriptedPort& port = seams_->port;
    Rozhranie dialog;
    dialog.load();
    QVERIFY(port.PortOpen());
    QVERIFY(seams_->messages.isEmpty());

    port.openError = code;
    pickFromList(dialog.ComBo(), 6);
    QCOMPARE(messageTexts(), QStringList{message});
    QCOMPARE(seams_->messages.first().title, kAppTitle);
    QCOMPARE(seams_->messages.first().icon, MsgIcon::None);
    QCOMPARE(Others::PortNumber, int16_t(3));
    QVERIFY(!port.PortOpen());
}

void TestPortDialog::openingUsesSharedSettingsAndGoesOnAfterAFailure_data() {
    QTest::addColumn<int>("handshake");
    QTest::addColumn<QStringList>("trace");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QStringList>("messages");

    QTest::newRow("all steps succeed")
        << 1 << QStringList{"close", "commport 9", "settings 4800,N,8,1", "handshaking 1", "open"}
        << true << QStringList();
    // The refused handshaking is reported, and the port still opens.
    QTest::newRow("handshaking refused")
        << 7 << QStringList{"close", "commport 9", "settings 4800,N,8,1", "open"} << false
        << QStringList{"Port Error 380"};
}

void TestPortDialog::openingUsesSharedSettingsAndGoesOnAfterAFailure() {
    QFETCH(int, handshake);
    QFETCH(QStringList, trace);
    QFETCH(bool, result);
    QFETCH(QStringList, messages);
    useScriptedPort();
    ScriptedPort& port = seams_->port;
    Others::BaudRate = 4800;
    Rozhranie dialog;
    dialog.load();
    QVERIFY(port.PortOpen());
    // What the dialog shows does not count until OK.
    typeInto(dialog.B_Rate(), QStringLiteral("19200"));
    dialog.HS_RTS()->click();
    Others::HandshakeMode = int16_t(handshake);
    port.trace.clear();

    QCOMPARE(dialog.Otvor_Port(9), result);
    QCOMPARE(port.trace, trace);
    QCOMPARE(messageTexts(), messages);
    QVERIFY(port.PortOpen());
}

void TestPortDialog::handshakingPreset_data() {
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("button");

    QTest::newRow("0 none") << 0 << "HS_No";
    QTest::newRow("1 XON/XOFF") << 1 << "HS_X";
    QTest::newRow("2 RTS/CTS") << 2 << "HS_RTS";
    QTest::newRow("3 both") << 3 << "HS_XR";
    QTest::newRow("4 has no button") << 4 << "";
    QTest::newRow("-1 has no button") << -1 << "";
}

void TestPortDialog::handshakingPreset() {
    QFETCH(int, mode);
    QFETCH(QString, button);
    Others::PortNumber = 0;
    Others::HandshakeMode = int16_t(mode);
    Rozhranie dialog;
    dialog.load();
    QCOMPARE(checkedButtonName(dialog), button);

    // The buttons are one group: switching one on switches the other off.
    dialog.HS_XR()->click();
    dialog.HS_No()->click();
    QCOMPARE(checkedButtonName(dialog), QStringLiteral("HS_No"));
    QCOMPARE(Others::HandshakeMode, int16_t(mode));
}

void TestPortDialog::okWritesTheCheckedHandshaking_data() {
    QTest::addColumn<int>("preset");
    QTest::addColumn<QString>("button");
    QTest::addColumn<int>("mode");

    QTest::newRow("No") << 1 << "HS_No" << 0;
    QTest::newRow("RTS / CTS") << 0 << "HS_RTS" << 2;
    QTest::newRow("XON/XOFF") << 3 << "HS_X" << 1;
    QTest::newRow("RTS, XON") << 2 << "HS_XR" << 3;
    QTest::newRow("preset button left on") << 2 << "" << 2;
}

void TestPortDialog::okWritesTheCheckedHandshaking() {
    QFETCH(int, preset);
    QFETCH(QString, button);
    QFETCH(int, mode);
    QVERIFY(linkPty(3));
    Others::HandshakeMode = int16_t(preset);
    Rozhranie dialog;
    dialog.load();
    dialog.show();
    if (!button.isEmpty())
        dialog.findChild<QRadioButton*>(button)->click();
    dialog.OKButton()->click();

    const QList<QByteArray> lines = settingsFile().split('\n');
    QVERIFY(lines.size() >= 2);
    QCOMPARE(lines[1], QByteArray("Handshaking =  ") + QByteArray::number(mode) + " \r");
    QCOMPARE(Others::HandshakeMode, int16_t(mode));
    // Read back and applied to the port.
    QCOMPARE(port_->Handshaking(), int16_t(mode));
}

void TestPortDialog::baudFieldTakesEffectOnlyThroughOk() {
    TestPty* com3 = linkPty(3);
    TestPty* com4 = linkPty(4);
    QVERIFY(com3 && com4);
    Rozhranie dialog;
    dialog.load();
    dialog.show();
    QCOMPARE(dialog.B_Rate()->currentText(), QStringLiteral("9600"));
    QCOMPARE(ptySpeed(com3->slavePath()), speed_t(B9600));

    pickFromList(dialog.B_Rate(), 0);
    QCOMPARE(dialog.B_Rate()->currentText(), QStringLiteral("19200"));
    pickFromList(dialog.ComBo(), 3);
    QVERIFY(port_->PortOpen());
    QCOMPARE(port_->CommPort(), int16_t(4));
    QCOMPARE(port_->Settings(), QStringLiteral("9600,N,8,1"));
    QCOMPARE(ptySpeed(com4->slavePath()), speed_t(B9600));
    QCOMPARE(Others::BaudRate, int16_t(9600));

    dialog.OKButton()->click();
    QVERIFY(!dialog.isVisible());
    QVERIFY(settingsFile().contains("\r\nBaudRate =  19200 \r\n"));
    QCOMPARE(Others::BaudRate, int16_t(19200));
    QVERIFY(!port_->PortOpen());
    // The next opening of the port runs at the new rate.
    port_->PortOpen(true);
    QCOMPARE(ptySpeed(com4->slavePath()), speed_t(B19200));
}

void TestPortDialog::okWritesTheExactFileAndReloadsIt() {
    QVERIFY(linkPty(3));
    Rozhranie dialog;
    dialog.load();
    dialog.show();
    QVERIFY(port_->PortOpen());
    dialog.HS_RTS()->click();
    typeInto(dialog.B_Rate(), QStringLiteral(" 19200 "));
    dialog.OKButton()->click();

    QCOMPARE(settingsFile(), QByteArray("Port=3\r\nHandshaking =  2 \r\nBaudRate =  19200 \r\n"
                                        "WaitTime =  5 \r\nTimeDelay = -7 \r\n"));
    QVERIFY(!dialog.isVisible());
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QVERIFY(!dialog.settingsReloadFailed());
    QVERIFY(seams_->messages.isEmpty());
    QVERIFY(!port_->PortOpen());

    // The reload put the file into the shared values and onto the port.
    QCOMPARE(Others::PortNumber, int16_t(3));
    QCOMPARE(Others::HandshakeMode, int16_t(2));
    QCOMPARE(Others::BaudRate, int16_t(19200));
    QCOMPARE(Others::WaitTime, 5);
    QCOMPARE(Others::TimeDelay, int16_t(-7));
    QCOMPARE(port_->CommPort(), int16_t(3));
    QCOMPARE(port_->Handshaking(), int16_t(2));
    QCOMPARE(port_->Settings(), QStringLiteral("19200,N,8,1"));

    // And a fresh read of the file gives the same values.
    Others::resetAll();
    QVERIFY(LoadPortSettings());
    QCOMPARE(Others::PortNumber, int16_t(3));
    QCOMPARE(Others::HandshakeMode, int16_t(2));
    QCOMPARE(Others::BaudRate, int16_t(19200));
    QCOMPARE(Others::WaitTime, 5);
    QCOMPARE(Others::TimeDelay, int16_t(-7));
}

void TestPortDialog::okReportsAFileThatCannotBeReadBack() {
    // A handshaking value without a button is kept by OK as it is; the file
    // then holds a value the reader refuses, and the program must end.
    Others::PortNumber = 0;
    Others::HandshakeMode = 7;
    Rozhranie dialog;
    dialog.load();
    dialog.show();
    pickFromList(dialog.ComBo(), 0);
    seams_->messages.clear();
    dialog.OKButton()->click();

    QVERIFY(settingsFile().startsWith("Port=1\r\nHandshaking =  7 \r\n"));
    QVERIFY(!dialog.isVisible());
    QVERIFY(dialog.settingsReloadFailed());
    QCOMPARE(seams_->messages.size(), 1);
    QCOMPARE(seams_->messages.first().title, QStringLiteral("Error"));
    QVERIFY2(seams_->messages.first().text.contains(QStringLiteral("line 2")),
             qPrintable(seams_->messages.first().text));
}

void TestPortDialog::badBaudRateRefused_data() {
    QTest::addColumn<QString>("text");
    QTest::newRow("letters") << "abc";
    QTest::newRow("zero") << "0";
    QTest::newRow("above 16 bits") << "40000";
    QTest::newRow("empty") << "";
    QTest::newRow("trailing letters") << "9600x";
}

void TestPortDialog::badBaudRateRefused() {
    QFETCH(QString, text);
    QVERIFY(linkPty(3));
    Rozhranie dialog;
    dialog.load();
    dialog.show();
    QVERIFY(port_->PortOpen());
    dialog.HS_X()->click();
    typeInto(dialog.B_Rate(), text);
    dialog.OKButton()->click();

    QCOMPARE(
        messageTexts(),
        QStringList{
            QStringLiteral("Baud Rate: \"%1\" is not a baud rate between 1 and 32767.").arg(text)});
    QCOMPARE(seams_->messages.first().icon, MsgIcon::Warning);
    QVERIFY(dialog.isVisible());
    QCOMPARE(settingsFile(), kStartFile);
    QVERIFY(!port_->PortOpen());
    QCOMPARE(Others::BaudRate, int16_t(9600));
    QCOMPARE(Others::HandshakeMode, int16_t(0));

    // Corrected, the same dialog goes through.
    typeInto(dialog.B_Rate(), QStringLiteral("4800"));
    dialog.OKButton()->click();
    QVERIFY(!dialog.isVisible());
    QCOMPARE(settingsFile(), QByteArray("Port=3\r\nHandshaking =  1 \r\nBaudRate =  4800 \r\n"
                                        "WaitTime =  5 \r\nTimeDelay = -7 \r\n"));
}

void TestPortDialog::typedPortText_data() {
    QTest::addColumn<int>("portAtLoad");
    QTest::addColumn<QString>("typed"); // "-": leave the field as the load left it
    QTest::addColumn<int>("written");   // 0: refused

    QTest::newRow("beyond the list") << 3 << "COM16" << 0;
    QTest::newRow("not a port") << 3 << "xyz" << 0;
    QTest::newRow("cleared") << 3 << "" << 0;
    QTest::newRow("nothing selected at load") << 0 << "-" << 0;
    // A port needs no successful opening to be written.
    QTest::newRow("typed entry") << 3 << "COM7" << 7;
    QTest::newRow("typed in lower case") << 3 << "com12" << 12;
}

void TestPortDialog::typedPortText() {
    QFETCH(int, portAtLoad);
    QFETCH(QString, typed);
    QFETCH(int, written);
    QVERIFY(linkPty(3));
    Others::PortNumber = int16_t(portAtLoad);
    Rozhranie dialog;
    dialog.load();
    dialog.show();
    if (typed != "-")
        typeInto(dialog.ComBo(), typed);
    const QString shown = dialog.ComBo()->currentText();
    seams_->messages.clear();
    dialog.OKButton()->click();

    QVERIFY(!port_->PortOpen());
    if (written == 0) {
        QCOMPARE(seams_->messages.size(), 1);
        QCOMPARE(seams_->messages.first().icon, MsgIcon::Warning);
        QVERIFY2(seams_->messages.first().text.startsWith(QStringLiteral("COM: \"%1\"").arg(shown)),
                 qPrintable(seams_->messages.first().text));
        QVERIFY(dialog.isVisible());
        QCOMPARE(settingsFile(), kStartFile);
        QCOMPARE(Others::PortNumber, int16_t(portAtLoad));
    } else {
        QVERIFY(seams_->messages.isEmpty());
        QVERIFY(!dialog.isVisible());
        QVERIFY(settingsFile().startsWith("Port=" + QByteArray::number(written) + "\r\n"));
        QCOMPARE(Others::PortNumber, int16_t(written));
    }
}

void TestPortDialog::unwritableSettingsFile_data() {
    QTest::addColumn<QString>("how");
    // Tests run as root, which ignores permission bits; these stop root as
    // well. A folder alone that cannot be written does not stop a save: the
    // file is then rewritten in place.
    QTest::newRow("immutable file") << "immutable";
    QTest::newRow("file size limit (disk full)") << "fsize";
    QTest::newRow("read-only file (no write bit)") << "0444";
}

void TestPortDialog::unwritableSettingsFile() {
    QFETCH(QString, how);
    QVERIFY(linkPty(3));
    Rozhranie dialog;
    dialog.load();
    dialog.show();
    dialog.HS_XR()->click();
    typeInto(dialog.B_Rate(), QStringLiteral("4800"));
    const int16_t handshakingOnPort = port_->Handshaking();

    struct Restore {
        std::function<void()> undo;
        ~Restore() {
            if (undo)
                undo();
        }
    } restore;
    const QByteArray file = QFile::encodeName(settingsPath());
    if (how == "immutable") {
        if (!setImmutable(settingsPath(), true))
            QSKIP("this file system or user cannot make a file immutable");
        restore.undo = [this] { setImmutable(settingsPath(), false); };
    } else if (how == "0444") {
        QVERIFY(::chmod(file.constData(), 0444) == 0);
        restore.undo = [file] { ::chmod(file.constData(), 0644); };
    } else {
        rlimit old{};
        ::getrlimit(RLIMIT_FSIZE, &old);
        const auto oldSignal = std::signal(SIGXFSZ, SIG_IGN);
        rlimit tiny = old;
        tiny.rlim_cur = 16;
        QVERIFY(::setrlimit(RLIMIT_FSIZE, &tiny) == 0);
        restore.undo = [old, oldSignal] {
            ::setrlimit(RLIMIT_FSIZE, &old);
            std::signal(SIGXFSZ, oldSignal);
        };
    }
    struct stat before {};
    QVERIFY(::stat(file.constData(), &before) == 0);
    dialog.OKButton()->click();
    struct stat after {};
    QVERIFY(::stat(file.constData(), &after) == 0);
    QCOMPARE(after.st_mode, before.st_mode);
    restore.undo();
    restore.undo = nullptr;

    QCOMPARE(seams_->messages.size(), 1);
    QCOMPARE(seams_->messages.first().icon, MsgIcon::Warning);
    QVERIFY2(seams_->messages.first().text.contains(QDir::toNativeSeparators(settingsPath())),
             qPrintable(seams_->messages.first().text));
    QVERIFY(dialog.isVisible());
    QVERIFY(!dialog.settingsReloadFailed());
    QCOMPARE(settingsFile(), kStartFile);
    // No half-written copy left behind either.
    QCOMPARE(QDir(dir_->path()).entryList({"*.INI*"}, QDir::Files | QDir::Hidden | QDir::System),
             QStringList{"KTR.INI"});
    QCOMPARE(Others::BaudRate, int16_t(9600));
    QCOMPARE(Others::HandshakeMode, int16_t(0));
    QCOMPARE(port_->Handshaking(), handshakingOnPort);
    QVERIFY(!port_->PortOpen());

    // With the disk usable again, OK goes through.
    dialog.OKButton()->click();
    QVERIFY(!dialog.isVisible());
    QVERIFY(settingsFile().startsWith("Port=3\r\nHandshaking =  3 \r\nBaudRate =  4800 \r\n"));
}

void TestPortDialog::closingWithoutOkReleasesThePort_data() {
    QTest::addColumn<bool>("escape");
    // After COM4 opened, COM5 is chosen and is not there: closing puts the
    // port back on COM4, the last port that opened.
    QTest::addColumn<bool>("absentChosenLast");
    QTest::newRow("close box") << false << false;
    QTest::newRow("Escape") << true << false;
    QTest::newRow("close box after an absent port") << false << true;
    QTest::newRow("Escape after an absent port") << true << true;
}

void TestPortDialog::closingWithoutOkReleasesThePort() {
    QFETCH(bool, escape);
    QFETCH(bool, absentChosenLast);
    QVERIFY(linkPty(3));
    TestPty* com4 = linkPty(4);
    QVERIFY(com4);
    linkNowhere(5);
    Rozhranie dialog;
    dialog.load();

    bool operated = false;
    QTimer::singleShot(0, &dialog, [&] {
        operated = true;
        pickFromList(dialog.ComBo(), 3);
        typeInto(dialog.B_Rate(), QStringLiteral("4800"));
        dialog.HS_X()->click();
        if (absentChosenLast)
            pickFromList(dialog.ComBo(), 4);
        if (escape)
            QTest::keyClick(&dialog, Qt::Key_Escape);
        else
            dialog.close();
    });
    // Should the dialog not close, the test fails instead of hanging.
    QTimer::singleShot(10000, &dialog, [&] { dialog.done(-1); });
    const int result = dialog.exec();

    QVERIFY(operated);
    QCOMPARE(result, int(QDialog::Rejected));
    QCOMPARE(messageTexts(), absentChosenLast ? QStringList{"Invalid Port Number"} : QStringList());
    QVERIFY(!port_->PortOpen());
    QCOMPARE(settingsFile(), kStartFile);
    QCOMPARE(Others::PortNumber, int16_t(4));
    QCOMPARE(Others::BaudRate, int16_t(9600));
    QCOMPARE(Others::HandshakeMode, int16_t(0));
    QVERIFY(!dialog.settingsReloadFailed());
    // The port object is on the port and line the shared values name, not on
    // what the dialog showed.
    QCOMPARE(port_->CommPort(), int16_t(4));
    QCOMPARE(port_->Settings(), QStringLiteral("9600,N,8,1"));
    QCOMPARE(port_->Handshaking(), int16_t(0));

    // Another program can take the line now.
    {
        QtSerialComm other;
        other.CommPort(4);
        other.PortOpen(true);
        QVERIFY(other.PortOpen());
    }

#ifdef KTR6_HAVE_PARAMETER_READ
    // And the next device transaction opens the port and reads the device.
    seams::bindSleep({}); // the device answers in real time
    std::thread device([com4] {
        if (com4->receive(1, 3000) == "*")
            com4->send("#6,10,0,10,0,10,0,10,0,10,0,10,0,1,0,1,0,1,0,1,0,1,0,1,0,63,12\r");
    });
    ReadParameterBlock();
    device.join();
    QCOMPARE(Others::ReadFailed, Others::False);
    QCOMPARE(Others::FirmwareVersion, QStringLiteral("6"));
    QCOMPARE(Others::ParamTable[0][Others::kNumeratorColumn], 10);
    QCOMPARE(int(Others::OutputParam), 12);
    QVERIFY(!port_->PortOpen());
#else
    MSComm1().PortOpen(true);
    QVERIFY(MSComm1().PortOpen());
    QCOMPARE(MSComm1().CommPort(), int16_t(4));
#endif
}

void TestPortDialog::onlyOkItselfTakesEnter_data() {
    QTest::addColumn<QString>("focus"); // the control the key goes to
    QTest::addColumn<int>("key");
    QTest::addColumn<bool>("saved");

    QTest::newRow("Return in the port field") << "ComBo" << int(Qt::Key_Return) << false;
    QTest::newRow("Enter in the baud field") << "B_Rate" << int(Qt::Key_Enter) << false;
    QTest::newRow("Return on an option button") << "HS_RTS" << int(Qt::Key_Return) << false;
    QTest::newRow("Return on OK") << "OKButton" << int(Qt::Key_Return) << true;
    QTest::newRow("Enter on OK") << "OKButton" << int(Qt::Key_Enter) << true;
    QTest::newRow("Space on OK") << "OKButton" << int(Qt::Key_Space) << true;
}

void TestPortDialog::onlyOkItselfTakesEnter() {
    QFETCH(QString, focus);
    QFETCH(int, key);
    QFETCH(bool, saved);
    QVERIFY(linkPty(3));
    Rozhranie dialog;
    dialog.load();
    dialog.show();
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    typeInto(dialog.B_Rate(), QStringLiteral("4800"));
    auto* control = dialog.findChild<QWidget*>(focus);
    QVERIFY(control);
    control->setFocus(Qt::OtherFocusReason);
    // An editable list hands its focus to its text field, which takes the key.
    QWidget* target = QApplication::focusWidget();
    QVERIFY(target == control || target->parentWidget() == control);

    QTest::keyClick(target, Qt::Key(key));

    QCOMPARE(dialog.isVisible(), !saved);
    QVERIFY(seams_->messages.isEmpty());
    if (saved) {
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QVERIFY(settingsFile().contains("\r\nBaudRate =  4800 \r\n"));
        QCOMPARE(Others::BaudRate, int16_t(4800));
    } else {
        QCOMPARE(settingsFile(), kStartFile);
        QCOMPARE(Others::BaudRate, int16_t(9600));
        QVERIFY(port_->PortOpen());
        QCOMPARE(port_->CommPort(), int16_t(3));
    }
}

QTEST_MAIN(TestPortDialog)
#include "test_port_dialog.moc"
