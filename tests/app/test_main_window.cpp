#include "app/Main.h"
#include "app/MessageBox.h"
#include "core/Others.h"
#include "resources/Resources.h"
#include "serial/SettingsFile.h"
#include "support/ScriptedPort.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>

class TestMainWindow : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { ktr6InitResources(); }
    void init();
    void cleanup();
    void withoutSettingsFileNoWindowIsShown();
    void startsCentredWithPictureAndMenu();
    void pictureKeepsItsSizeWhenResized();
    void closingReleasesThePort();
    void notificationsWithoutOnLineViewAreDrained();
    void messageBoxShowsTextAsWritten_data();
    void messageBoxShowsTextAsWritten();

private:
    QTemporaryDir* dir_ = nullptr;
};

void TestMainWindow::init() {
    dir_ = new QTemporaryDir;
    seams::setProgramDirectory(dir_->path());
}

void TestMainWindow::cleanup() {
    seams::setProgramDirectory(QString());
    delete dir_;
}

void TestMainWindow::withoutSettingsFileNoWindowIsShown() {
    TestSeams seams;
    Main window(&seams.port);
    QVERIFY(!window.startUp());
    QVERIFY(!window.isVisible());
    QCOMPARE(seams.messages.size(), 1);
    const QString path = QDir::toNativeSeparators(QDir(dir_->path()).absoluteFilePath("Ktr.INI"));
    QCOMPARE(seams.messages[0].text, "File " + path + " not found !\n");
    QCOMPARE(seams.messages[0].title, QStringLiteral("Error"));
    QCOMPARE(seams.messages[0].icon, MsgIcon::Warning);
}

void TestMainWindow::startsCentredWithPictureAndMenu() {
    TestSeams seams;
    QString error;
    QVERIFY(writePortSettings({4, 2, 19200, 0, 0}, &error));
    Main window(&seams.port);
    QVERIFY(window.startUp());
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(window.windowTitle(), QStringLiteral(" KTR"));
    QCOMPARE(window.centralWidget()->size(), QSize(383, 260));
    auto* picture = window.findChild<QWidget*>("Picture");
    QVERIFY(picture);
    QCOMPARE(picture->geometry(), QRect(0, 0, 383, 257));
    QVERIFY(!window.windowIcon().isNull());
    const Qt::WindowFlags flags = window.windowFlags();
    QVERIFY(!(flags & Qt::WindowMinimizeButtonHint));
    QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));

    QStringList entries;
    for (QAction* action : window.menuBar()->actions())
        entries << action->text();
    QCOMPARE(entries, QStringList({"Parameter", "Status", "Com Port", "Info"}));
    for (QAction* action : window.menuBar()->actions()) {
        QVERIFY(!action->menu());
        QVERIFY(action->shortcut().isEmpty());
        QVERIFY(!action->isCheckable());
    }

    // Loaded from the file, port configured but closed.
    QCOMPARE(Others::PortNumber, int16_t(4));
    QCOMPARE(seams.port.CommPort(), int16_t(4));
    QCOMPARE(seams.port.Settings(), QStringLiteral("19200,N,8,1"));
    QCOMPARE(seams.port.Handshaking(), int16_t(2));
    QVERIFY(!seams.port.PortOpen());

    const QPoint screenCentre = window.screen()->availableGeometry().center();
    // Centred before the window manager adds its frame: off by at most the
    // frame's own thickness.
    const int frame = window.frameGeometry().width() - window.geometry().width() +
                      window.frameGeometry().height() - window.geometry().height();
    QVERIFY((window.frameGeometry().center() - screenCentre).manhattanLength() <= frame + 2);
}

void TestMainWindow::pictureKeepsItsSizeWhenResized() {
    TestSeams seams;
    QString error;
    QVERIFY(writePortSettings({1, 0, 9600, 0, 0}, &error));
    Main window(&seams.port);
    QVERIFY(window.startUp());
    window.resize(600, 500);
    QTest::qWait(20);
    QCOMPARE(window.findChild<QWidget*>("Picture")->size(), QSize(383, 257));
}

void TestMainWindow::closingReleasesThePort() {
    TestSeams seams;
    QString error;
    QVERIFY(writePortSettings({1, 0, 9600, 0, 0}, &error));
    Main window(&seams.port);
    QVERIFY(window.startUp());
    seams.port.PortOpen(true);
    window.close();
    QVERIFY(!seams.port.PortOpen());
    QVERIFY(seams.messages.isEmpty()); // no question, no confirmation
}

void TestMainWindow::notificationsWithoutOnLineViewAreDrained() {
    TestSeams seams;
    QString error;
    QVERIFY(writePortSettings({1, 0, 9600, 0, 0}, &error));
    Main window(&seams.port);
    QVERIFY(window.startUp());
    seams.port.PortOpen(true);
    seams.port.deliver("3\r4\r");
    seams.port.raise(comm::kEvReceive);
    QVERIFY(seams.port.inBuffer.isEmpty());
    QVERIFY(seams.messages.isEmpty());
    seams.port.PortOpen(false);
}

void TestMainWindow::messageBoxShowsTextAsWritten_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<MsgIcon>("icon");
    QTest::addColumn<QMessageBox::Icon>("shown");
    // Texts carry file contents, typed text, device names and paths.
    QTest::newRow("typed markup") << "COM: \"<b>COM3</b>\" is not a port of the list"
                                  << MsgIcon::Warning << QMessageBox::Warning;
    QTest::newRow("a file's line") << "File /x/KTR.INI, line 3: \"<h1>9600\": ..."
                                   << MsgIcon::Critical << QMessageBox::Critical;
    QTest::newRow("a path") << "<html>/opt/a&amp;b/<KTR>.INI</html>\nsecond line"
                            << MsgIcon::Information << QMessageBox::Information;
    QTest::newRow("a device name")
        << "<img src=x> Port Error 8010" << MsgIcon::None << QMessageBox::NoIcon;
}

void TestMainWindow::messageBoxShowsTextAsWritten() {
    QFETCH(QString, text);
    QFETCH(MsgIcon, icon);
    QFETCH(QMessageBox::Icon, shown);
    const std::unique_ptr<QMessageBox> box = makeMessageBox(text, kAppTitle, icon);
    QCOMPARE(box->windowTitle(), kAppTitle);
    QCOMPARE(box->icon(), shown);
    QCOMPARE(box->standardButtons(), QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(box->textFormat(), Qt::PlainText);
    box->show();
    const auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
    QVERIFY(label);
    QCOMPARE(label->textFormat(), Qt::PlainText);
    QCOMPARE(label->text(), text);
}

QTEST_MAIN(TestMainWindow)
#include "test_main_window.moc"
