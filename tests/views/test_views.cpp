// The parameter editor, the on-line view and the about box, each opened
// through the main window's menu against a scripted relay.

#include "app/Main.h"
#include "core/Others.h"
#include "protocol/ParameterBlock.h"
#include "resources/Resources.h"
#include "support/FakeRelay.h"
#include "support/ScriptedPort.h"
#include "support/TestLocale.h"
#include "views/Lamp.h"
#include "views/OnLine.h"
#include "views/Parameter.h"
#include "views/frmAbout.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QFontMetricsF>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QStyle>
#include <QTest>
#include <QTimer>
#include <functional>
#include <memory>

namespace {

const QString kReadOk = QStringLiteral("Read Parameter OK");
const QString kAppTitleText = QStringLiteral("Program for KTR6 ");

int countLines(const QStringList& trace, const QString& line) {
    return int(trace.count(line));
}

// Triggers a menu entry; returns whether it showed a window. Runs body on
// that window while it is shown modally, then closes it.
bool trigger(Main& main, QAction* entry, const std::function<void(QWidget*)>& body) {
    bool shown = false;
    const auto connection =
        QObject::connect(&main, &Main::secondaryWindowLoaded, &main, [&](QWidget* window) {
            shown = true;
            QTimer::singleShot(0, window, [&body, window] {
                body(window);
                if (window->isVisible())
                    window->close();
            });
        });
    entry->trigger();
    QObject::disconnect(connection);
    return shown;
}

// The same for an entry that must show its window: no window is a failure.
void openThrough(Main& main, QAction* entry, const std::function<void(QWidget*)>& body) {
    if (!trigger(main, entry, body))
        QTest::qFail("the menu entry showed no window", __FILE__, __LINE__);
}

// A control stands where the layout puts it. A label may have been widened
// for a font wider than the layout's, but only about its anchor (left edge,
// or centre for centred text) and only as far as its text needs.
void checkPlaced(QWidget* widget, const QRect& designed) {
    auto* label = qobject_cast<QLabel*>(widget);
    if (!label || label->width() == designed.width()) {
        QCOMPARE(widget->geometry(), designed);
        return;
    }
    const QRect actual = label->geometry();
    QCOMPARE(actual.top(), designed.top());
    QCOMPARE(actual.height(), designed.height());
    QVERIFY(actual.width() > designed.width());
    QCOMPARE(actual.width(), label->sizeHint().width());
    if (label->alignment() & Qt::AlignHCenter)
        QVERIFY(qAbs(actual.center().x() - designed.center().x()) <= 1);
    else
        QCOMPARE(actual.left(), designed.left());
}

// No one-line label of the window cuts its text.
void checkNothingClipped(QWidget* window) {
    for (QLabel* label : window->findChildren<QLabel*>()) {
        if (label->text().isEmpty())
            continue;
        const QRect needed =
            label->fontMetrics().boundingRect(QRect(0, 0, 2000, 2000), Qt::AlignLeft | Qt::AlignTop,
                                              label->text().replace("\r\n", "\n"));
        QVERIFY2(needed.width() <= label->contentsRect().width(), qPrintable(label->objectName()));
        QVERIFY2(needed.height() <= label->height() + 2, qPrintable(label->objectName()));
    }
}

// A receive notification carrying these bytes.
void receive(ScriptedPort& port, const QByteArray& bytes) {
    port.deliver(bytes);
    port.raise(comm::kEvReceive);
}

} // namespace

class TestViews : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void parameterLoadShowsDeviceValues_data();
    void parameterLoadShowsDeviceValues();
    void parameterReadFailureKeepsDesignContents_data();
    void parameterReadFailureKeepsDesignContents();
    void parameterLoadAfterEdit_data();
    void parameterLoadAfterEdit();
    void parameterSaveWritesFieldsAsTheyStand();
    void parameterSaveRefusesTextNotANumber();
    void parameterSaveOverUnreadFieldsAsks_data();
    void parameterSaveOverUnreadFieldsAsks();
    void parameterLayout_data();
    void parameterLayout();
    void parameterTabOrderAndKeys();

    void onLineLoadShowsCoefficients();
    void onLineRecordFlashesAndCounts_data();
    void onLineRecordFlashesAndCounts();
    void onLineBurstIsCountedWithOneRead();
    void onLineOtherEventsReadNothing();
    void onLineClearScreen();
    void onLineTypedTotalContinues();
    void onLineEditHoldsRecords_data();
    void onLineEditHoldsRecords();
    void onLineWideTotalFits_data();
    void onLineWideTotalFits();
    void onLineUsesUserLocale();
    void onLineDivisorZeroOnlyFlashes();
    void onLineClosingClosesPort();
    void statusFailedReadShowsNoView_data();
    void statusFailedReadShowsNoView();
    void statusPortCannotOpen();
    void onLineDeviceLost_data();
    void onLineDeviceLost();
    void onLineLayout_data();
    void onLineLayout();

    void aboutTexts();
    void aboutKeysClose_data();
    void aboutKeysClose();
    void aboutVersionText_data();
    void aboutVersionText();
    void aboutLayout();

private:
    std::unique_ptr<TestSeams> seams_;
    std::unique_ptr<FakeRelay> relay_;
    std::unique_ptr<Main> main_;
};

void TestViews::initTestCase() {
    checkTestLocale();
    ktr6InitResources();
    QLocale::setDefault(QLocale::c());
}

void TestViews::init() {
    seams_ = std::make_unique<TestSeams>();
    relay_ = std::make_unique<FakeRelay>(seams_->port);
    main_ = std::make_unique<Main>(&seams_->port);
}

void TestViews::cleanup() {
    main_.reset();
    relay_.reset();
    seams_.reset();
    QLocale::setDefault(QLocale::c());
}

// ---- Parameter ----------------------------------------------------------

void TestViews::parameterLoadShowsDeviceValues_data() {
    QTest::addColumn<char>("variant");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<int>("signMask");
    QTest::addColumn<int>("output");

    QTest::newRow("SW6, all plus") << '6' << "Parameter Set  -   Firmware Version: SW 6" << 63 << 5;
    QTest::newRow("SW3, all minus")
        << '3' << "Parameter Set  -   Firmware Version: SW 2x3" << 0 << 255;
    QTest::newRow("mixed signs") << '6' << "Parameter Set  -   Firmware Version: SW 6" << 0b100101
                                 << 0;
}

void TestViews::parameterLoadShowsDeviceValues() {
    QFETCH(char, variant);
    QFETCH(QString, caption);
    QFETCH(int, signMask);
    QFETCH(int, output);

    const std::array<int, 6> numerators = {256, 1, 255, 10, 2, 300};
    const std::array<int, 6> divisors = {65300, 4, 1, 65535, 7, 9};
    relay_->variant = variant;
    relay_->stored.output = output;
    for (int r = 0; r < 6; ++r)
        relay_->setRow(r, (signMask >> r) & 1, numerators[r], divisors[r]);

    const bool shown = trigger(*main_, main_->mnuParam(), [&](QWidget* window) {
        auto* editor = qobject_cast<Parameter*>(window);
        QVERIFY(editor);
        QCOMPARE(editor->windowTitle(), caption);
        for (int r = 0; r < 6; ++r) {
            QCOMPARE(editor->Text1(r)->text(), QString::number(numerators[r]));
            QCOMPARE(editor->Text2(r)->text(), QString::number(divisors[r]));
            QCOMPARE(editor->Check1(r)->isChecked(), ((signMask >> r) & 1) == 0);
        }
        QCOMPARE(editor->Text1(6)->text(), QString::number(output));
        checkNothingClipped(editor);
    });
    QVERIFY(!QTest::currentTestFailed());
    QVERIFY(shown);
    // The message came before the window was shown, with the program's title.
    QCOMPARE(seams_->messages.size(), 1);
    QCOMPARE(seams_->messages[0].text, kReadOk);
    QCOMPARE(seams_->messages[0].title, kAppTitleText);
    QCOMPARE(seams_->messages[0].icon, MsgIcon::Information);
    QVERIFY(!seams_->port.PortOpen());
}

void TestViews::parameterReadFailureKeepsDesignContents_data() {
    QTest::addColumn<bool>("portError");
    QTest::addColumn<int>("messages");
    QTest::addColumn<int>("requests");

    // Silence: three requests, then the box. A held port: the box at once.
    QTest::newRow("device silent") << false << 1 << 3;
    QTest::newRow("port held elsewhere") << true << 1 << 0;
}

void TestViews::parameterReadFailureKeepsDesignContents() {
    QFETCH(bool, portError);
    QFETCH(int, messages);
    QFETCH(int, requests);
    relay_->silent = true;
    if (portError)
        seams_->port.openError = comm::kPortAlreadyOpen;

    const bool shown = trigger(*main_, main_->mnuParam(), [](QWidget* window) {
        auto* editor = qobject_cast<Parameter*>(window);
        QVERIFY(editor);
        QCOMPARE(editor->windowTitle(), QStringLiteral("Parameter set"));
        for (int r = 0; r < 7; ++r)
            QCOMPARE(editor->Text1(r)->text(), QStringLiteral("1"));
        for (int r = 0; r < 6; ++r) {
            QCOMPARE(editor->Text2(r)->text(), QStringLiteral("1"));
            QVERIFY(!editor->Check1(r)->isChecked());
        }
    });
    QVERIFY(!QTest::currentTestFailed());
    QVERIFY(shown); // the editor opens even when the read failed
    QCOMPARE(seams_->messages.size(), messages);
    if (messages) {
        QCOMPARE(seams_->messages[0].text, kPortErrorText);
        QCOMPARE(seams_->messages[0].title, QStringLiteral("ERROR"));
        QCOMPARE(seams_->messages[0].icon, MsgIcon::Critical);
    }
    QCOMPARE(countLines(seams_->port.trace, "out 2A"), requests);
}

void TestViews::parameterLoadAfterEdit_data() {
    QTest::addColumn<bool>("readSucceeds");
    QTest::addColumn<QString>("expected");
    QTest::newRow("read OK replaces the edit") << true << "42";
    QTest::newRow("read failed keeps the edit") << false << "999";
}

void TestViews::parameterLoadAfterEdit() {
    QFETCH(bool, readSucceeds);
    QFETCH(QString, expected);
    relay_->setRow(2, 1, 42, 7);

    openThrough(*main_, main_->mnuParam(), [&](QWidget* window) {
        auto* editor = qobject_cast<Parameter*>(window);
        QVERIFY(editor);
        QCOMPARE(editor->Text1(2)->text(), QStringLiteral("42"));
        editor->Text1(2)->setText(QStringLiteral("999"));
        editor->Check1(2)->setChecked(true);
        relay_->silent = !readSucceeds;
        seams_->messages.clear();
        QTest::mouseClick(editor->btLoad(), Qt::LeftButton);
        QCOMPARE(editor->Text1(2)->text(), expected);
        QCOMPARE(editor->Check1(2)->isChecked(), !readSucceeds);
        QCOMPARE(editor->windowTitle(),
                 QStringLiteral("Parameter Set  -   Firmware Version: SW 6"));
        QCOMPARE(seams_->messages.size(), 1);
        QCOMPARE(seams_->messages[0].text, readSucceeds ? kReadOk : kPortErrorText);
    });
    QVERIFY(!QTest::currentTestFailed());
}

void TestViews::parameterSaveWritesFieldsAsTheyStand() {
    openThrough(*main_, main_->mnuParam(), [&](QWidget* window) {
        auto* editor = qobject_cast<Parameter*>(window);
        QVERIFY(editor);
        editor->Text1(0)->setText(QStringLiteral("300"));
        editor->Text2(0)->setText(QStringLiteral("65535"));
        editor->Text1(1)->setText(QStringLiteral("2.5"));
        editor->Text2(1)->setText(QStringLiteral(" 12 "));
        editor->Text1(2)->setText(QStringLiteral("3.5"));
        editor->Text2(2)->setText(QStringLiteral("1.6e1"));
        editor->Check1(0)->setChecked(true);
        editor->Check1(2)->setChecked(true);
        editor->Text1(6)->setText(QStringLiteral("7"));
        seams_->messages.clear();
        seams_->port.written.clear();

        QTest::mouseClick(editor->btSave(), Qt::LeftButton);

        QByteArray block = QByteArray::fromHex("2C 2C01 0200 0400 0100 0100 0100"
                                               "FFFF 0C00 1000 0100 0100 0100 3A 07");
        QCOMPARE(seams_->port.written.left(27).toHex(' '), block.toHex(' '));
        QCOMPARE(relay_->blocksStored, 1);
        QCOMPARE(seams_->messages.size(), 1);
        QCOMPARE(seams_->messages[0].text, QStringLiteral("All Parameter writen "));
        QCOMPARE(seams_->messages[0].title, QStringLiteral("Check Parameter"));
        QCOMPARE(seams_->messages[0].icon, MsgIcon::Information);
        // Save does not refresh the fields from the read-back.
        QCOMPARE(editor->Text1(1)->text(), QStringLiteral("2.5"));
        QCOMPARE(editor->Text2(1)->text(), QStringLiteral(" 12 "));
    });
    QVERIFY(!QTest::currentTestFailed());
    QVERIFY(!seams_->port.PortOpen());
}

void TestViews::parameterSaveRefusesTextNotANumber() {
    openThrough(*main_, main_->mnuParam(), [&](QWidget* window) {
        auto* editor = qobject_cast<Parameter*>(window);
        QVERIFY(editor);
        editor->Text1(0)->setText(QStringLiteral("abc"));
        editor->Text2(2)->setText(QString());
        editor->Text1(3)->setText(QStringLiteral("12abc"));
        editor->Text2(4)->setText(QStringLiteral("70000"));
        editor->Text1(6)->setText(QStringLiteral("1 2"));
        seams_->messages.clear();
        seams_->port.trace.clear();

        QTest::mouseClick(editor->btSave(), Qt::LeftButton);

        QCOMPARE(seams_->messages.size(), 1);
        QCOMPARE(seams_->messages[0].text,
                 QStringLiteral("Numerator of IN 1: \"abc\" is not a number\n"
                                "Divisor of IN 3: \"\" is not a number\n"
                                "Numerator of IN 4: \"12abc\" is not a number\n"
                                "Divisor of IN 5: \"70000\" is outside 0..65535\n"
                                "Output: \"1 2\" is not a number; nothing was sent."));
        QCOMPARE(seams_->messages[0].icon, MsgIcon::Warning);
        QVERIFY2(seams_->port.trace.isEmpty(), qPrintable(seams_->port.trace.join(", ")));
        QCOMPARE(relay_->blocksStored, 0);
        QCOMPARE(editor->Text1(0)->text(), QStringLiteral("abc"));
    });
    QVERIFY(!QTest::currentTestFailed());
}

void TestViews::parameterSaveOverUnreadFieldsAsks_data() {
    QTest::addColumn<int>("loadBeforeSave"); // 0 none, 1 a failed Load, 2 a successful one
    QTest::addColumn<bool>("answerYes");
    QTest::addColumn<bool>("asked");
    QTest::addColumn<bool>("written");

    QTest::newRow("answered No: nothing sent") << 0 << false << true << false;
    QTest::newRow("answered Yes: written") << 0 << true << true << true;
    QTest::newRow("failed Load: still asks") << 1 << false << true << false;
    QTest::newRow("successful Load: no question") << 2 << false << false << true;
}

// The opening read fails because another program holds the port; once the
// port is free, Save must not put the placeholders over the device's set
// unless the operator says so.
void TestViews::parameterSaveOverUnreadFieldsAsks() {
    QFETCH(int, loadBeforeSave);
    QFETCH(bool, answerYes);
    QFETCH(bool, asked);
    QFETCH(bool, written);
    relay_->setRow(0, 0, 16, 3);
    relay_->stored.output = 9;
    const RelayParams deviceSet = relay_->stored;
    seams_->port.openError = comm::kPortAlreadyOpen;
    seams_->answerYes = answerYes;

    openThrough(*main_, main_->mnuParam(), [&](QWidget* window) {
        auto* editor = qobject_cast<Parameter*>(window);
        QVERIFY(editor);
        QCOMPARE(editor->Text1(0)->text(), QStringLiteral("1"));
        if (loadBeforeSave) {
            if (loadBeforeSave == 1)
                seams_->port.openError = comm::kPortAlreadyOpen;
            QTest::mouseClick(editor->btLoad(), Qt::LeftButton);
        }
        seams_->messages.clear();
        seams_->port.written.clear();
        seams_->port.trace.clear();

        QTest::mouseClick(editor->btSave(), Qt::LeftButton);

        QCOMPARE(seams_->questions.size(), asked ? 1 : 0);
        if (asked) {
            QCOMPARE(seams_->questions[0].text, Parameter::kUnreadSaveQuestion);
            QCOMPARE(seams_->questions[0].title, kAppTitleText);
            QCOMPARE(seams_->questions[0].icon, MsgIcon::Warning);
        }
        QCOMPARE(relay_->blocksStored, written ? 1 : 0);
        if (written) {
            QCOMPARE(seams_->messages.size(), 1);
            QCOMPARE(seams_->messages[0].text, kWriteVerifiedText);
        } else {
            QVERIFY(seams_->port.trace.isEmpty());
            QVERIFY(seams_->messages.isEmpty());
            QVERIFY(relay_->stored.numerators == deviceSet.numerators);
            QCOMPARE(relay_->stored.output, deviceSet.output);
        }
    });
    QVERIFY(!QTest::currentTestFailed());
    QVERIFY(!seams_->port.PortOpen());
}

void TestViews::parameterLayout_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QString>("text");

    QTest::newRow("Frame1") << "Frame1" << QRect(8, 8, 292, 169) << "Inputs";
    QTest::newRow("Frame2") << "Frame2" << QRect(304, 7, 72, 48) << "Output";
    QTest::newRow("btLoad") << "btLoad" << QRect(312, 125, 57, 20) << "Load";
    QTest::newRow("btSave") << "btSave" << QRect(312, 152, 57, 20) << "Save";
    QTest::newRow("Label1(0)") << "Label1(0)" << QRect(16, 16, 25, 17) << "IN 1:";
    QTest::newRow("Label1(5)") << "Label1(5)" << QRect(16, 136, 25, 17) << "IN 6:";
    QTest::newRow("Text1(0)") << "Text1(0)" << QRect(56, 16, 65, 19) << "1";
    QTest::newRow("Text1(1) stands higher") << "Text1(1)" << QRect(56, 35, 65, 19) << "1";
    QTest::newRow("Text2(1)") << "Text2(1)" << QRect(144, 40, 65, 19) << "1";
    QTest::newRow("Label2(3)") << "Label2(3)" << QRect(128, 88, 49, 25) << "/";
    QTest::newRow("Check1(0) stands higher") << "Check1(0)" << QRect(224, 14, 65, 17) << "Minus";
    QTest::newRow("Check1(1)") << "Check1(1)" << QRect(224, 40, 65, 17) << "Minus";
    QTest::newRow("Check1(2) stands higher") << "Check1(2)" << QRect(224, 63, 65, 17) << "Minus";
    QTest::newRow("Text1(6) output") << "Text1(6)" << QRect(7, 21, 57, 19) << "1";
    // The rest of the rows, so that every control of the window is pinned.
    QTest::newRow("Label1(1)") << "Label1(1)" << QRect(16, 40, 25, 17) << "IN 2:";
    QTest::newRow("Label1(2)") << "Label1(2)" << QRect(16, 64, 25, 17) << "IN 3:";
    QTest::newRow("Label1(3)") << "Label1(3)" << QRect(16, 88, 25, 17) << "IN 4:";
    QTest::newRow("Label1(4)") << "Label1(4)" << QRect(16, 112, 25, 17) << "IN 5:";
    QTest::newRow("Text1(2)") << "Text1(2)" << QRect(56, 64, 65, 19) << "1";
    QTest::newRow("Text1(3)") << "Text1(3)" << QRect(56, 88, 65, 19) << "1";
    QTest::newRow("Text1(4)") << "Text1(4)" << QRect(56, 112, 65, 19) << "1";
    QTest::newRow("Text1(5)") << "Text1(5)" << QRect(56, 136, 65, 19) << "1";
    QTest::newRow("Label2(0)") << "Label2(0)" << QRect(128, 16, 49, 25) << "/";
    QTest::newRow("Label2(1)") << "Label2(1)" << QRect(128, 40, 49, 25) << "/";
    QTest::newRow("Label2(2)") << "Label2(2)" << QRect(128, 64, 49, 25) << "/";
    QTest::newRow("Label2(4)") << "Label2(4)" << QRect(128, 112, 49, 25) << "/";
    QTest::newRow("Label2(5)") << "Label2(5)" << QRect(128, 136, 49, 25) << "/";
    QTest::newRow("Text2(0)") << "Text2(0)" << QRect(144, 16, 65, 19) << "1";
    QTest::newRow("Text2(2)") << "Text2(2)" << QRect(144, 64, 65, 19) << "1";
    QTest::newRow("Text2(3)") << "Text2(3)" << QRect(144, 88, 65, 19) << "1";
    QTest::newRow("Text2(4)") << "Text2(4)" << QRect(144, 112, 65, 19) << "1";
    QTest::newRow("Text2(5)") << "Text2(5)" << QRect(144, 136, 65, 19) << "1";
    QTest::newRow("Check1(3)") << "Check1(3)" << QRect(224, 88, 65, 17) << "Minus";
    QTest::newRow("Check1(4)") << "Check1(4)" << QRect(224, 112, 65, 17) << "Minus";
    QTest::newRow("Check1(5)") << "Check1(5)" << QRect(224, 136, 65, 17) << "Minus";
}

void TestViews::parameterLayout() {
    QFETCH(QString, name);
    QFETCH(QRect, geometry);
    QFETCH(QString, text);

    Parameter editor;
    QCOMPARE(editor.size(), QSize(381, 183));
    QCOMPARE(editor.minimumSize(), editor.maximumSize());
    QVERIFY(
        !(editor.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
    QVERIFY(!editor.windowIcon().isNull());

    auto* widget = editor.findChild<QWidget*>(name);
    QVERIFY2(widget, qPrintable(name));
    checkPlaced(widget, geometry);
    if (QTest::currentTestFailed())
        return;
    if (auto* box = qobject_cast<QLineEdit*>(widget)) {
        QCOMPARE(box->text(), text);
        QCOMPARE(box->alignment(), Qt::AlignCenter);
        QCOMPARE(box->toolTip(),
                 name.startsWith("Text2") ? QStringLiteral("1..65535") : QStringLiteral("1..255"));
    } else if (auto* label = qobject_cast<QLabel*>(widget)) {
        QCOMPARE(label->text(), text);
    } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
        QCOMPARE(button->text(), text);
    } else if (auto* frame = qobject_cast<QGroupBox*>(widget)) {
        QCOMPARE(frame->title(), text);
    }
}

void TestViews::parameterTabOrderAndKeys() {
    Parameter editor;
    QStringList order;
    QWidget* widget = editor.Text1(0);
    do {
        if (widget->focusPolicy() & Qt::TabFocus)
            order << widget->objectName();
        widget = widget->nextInFocusChain();
    } while (widget != editor.Text1(0));
    QStringList expected;
    for (int r = 0; r < 6; ++r)
        expected << QStringLiteral("Text1(%1)").arg(r) << QStringLiteral("Text2(%1)").arg(r);
    expected << "Text1(6)"
             << "btLoad"
             << "btSave";
    for (int r = 0; r < 6; ++r)
        expected << QStringLiteral("Check1(%1)").arg(r);
    QCOMPARE(order, expected);

    // Neither button is a default or cancel button: Enter and Escape in a
    // field start nothing and close nothing.
    QVERIFY(!editor.btLoad()->isDefault() && !editor.btLoad()->autoDefault());
    QVERIFY(!editor.btSave()->isDefault() && !editor.btSave()->autoDefault());
    editor.show();
    QVERIFY(QTest::qWaitForWindowExposed(&editor));
    QTest::keyClick(editor.Text1(0), Qt::Key_Return);
    QTest::keyClick(editor.Text1(0), Qt::Key_Escape);
    QVERIFY(editor.isVisible());
    QVERIFY(seams_->port.trace.isEmpty());
}

// ---- OnLine -------------------------------------------------------------

void TestViews::onLineLoadShowsCoefficients() {
    relay_->variant = '3';
    relay_->stored.output = 5;
    relay_->setRow(0, 1, 256, 65300);
    relay_->setRow(1, 0, 1, 4);
    relay_->setRow(5, 0, 255, 65535);

    const bool shown = trigger(*main_, main_->nmuStatus(), [&](QWidget* window) {
        auto* view = qobject_cast<OnLine*>(window);
        QVERIFY(view);
        QCOMPARE(main_->onLineView(), view);
        QCOMPARE(view->windowTitle(), QStringLiteral("On Line - Firmware Version: SW 2x3"));
        QCOMPARE(view->Label2(0)->text(), QStringLiteral(" 256/ 65300"));
        QCOMPARE(view->Label2(1)->text(), QStringLiteral("- 1/ 4"));
        QCOMPARE(view->Label2(2)->text(), QStringLiteral(" 1/ 1"));
        QCOMPARE(view->Label2(5)->text(), QStringLiteral("- 255/ 65535"));
        QCOMPARE(view->Label2(6)->text(), QStringLiteral(" 5"));
        QCOMPARE(view->Label2(7)->text(), QStringLiteral(" 5"));
        checkNothingClipped(view);
        for (int k = 0; k < 8; ++k) {
            QCOMPARE(view->Text1(k)->text(), QStringLiteral("0"));
            QCOMPARE(view->Shape1(k)->fillColor(), QColor(255, 224, 192));
            QVERIFY(!view->Timer(k)->isActive());
        }
        // The view holds the port open with notifications from 2 characters.
        QVERIFY(seams_->port.PortOpen());
        QCOMPARE(seams_->port.RThreshold(), 2);
        const QStringList trace = exchangeOnly(seams_->port.trace);
        QCOMPARE(trace.mid(trace.size() - 2), QStringList({"open", "rthreshold 2"}));
        // No cancel button: Escape in a box must not end the watch.
        QTest::keyClick(view->Text1(0), Qt::Key_Escape);
        QVERIFY(view->isVisible());
        QVERIFY(seams_->port.PortOpen());
    });
    QVERIFY(!QTest::currentTestFailed());
    QVERIFY(shown);
    QCOMPARE(seams_->messages.size(), 0); // the view says nothing on a good read
}

void TestViews::onLineRecordFlashesAndCounts_data() {
    QTest::addColumn<QByteArrayList>("chunks");
    QTest::addColumn<int>("channel");
    QTest::addColumn<QString>("total");

    // IN 3 is 1/4 plus, IN 5 3/2 minus, outputs add 5.
    QTest::newRow("IN 3 whole record") << QByteArrayList{"3\r"} << 2 << "0.25";
    QTest::newRow("IN 5 split record") << QByteArrayList{"5", "\r"} << 4 << "-1.5";
    QTest::newRow("IN 4 with filler") << QByteArrayList{"4ab\r"} << 3 << "1.0";
    QTest::newRow("V1") << QByteArrayList{"7\r"} << 6 << "5";
    QTest::newRow("V2 in three pieces") << QByteArrayList{"8", "x", "\r"} << 7 << "5";
    // IN 1 is 65535/1: twenty records make a total wider than its box.
    QTest::newRow("IN 1 wider than its box")
        << QByteArrayList{QByteArray("1\r").repeated(20)} << 0 << "1310700.0";
}

void TestViews::onLineRecordFlashesAndCounts() {
    QFETCH(QByteArrayList, chunks);
    QFETCH(int, channel);
    QFETCH(QString, total);
    relay_->setRow(0, 1, 65535, 1);
    relay_->setRow(2, 1, 1, 4);
    relay_->setRow(3, 1, 1, 1);
    relay_->setRow(4, 0, 3, 2);
    relay_->stored.output = 5;

    openThrough(*main_, main_->nmuStatus(), [&](QWidget* window) {
        auto* view = qobject_cast<OnLine*>(window);
        QVERIFY(view);
        const QRect boxGeometry = view->Text1(channel)->geometry();
        for (qsizetype i = 0; i + 1 < chunks.size(); ++i) {
            receive(seams_->port, chunks[i]);
            QCOMPARE(view->Text1(channel)->text(), QStringLiteral("0")); // not complete yet
            QCOMPARE(view->Shape1(channel)->fillColor(), OnLine::kLightPeach);
        }
        receive(seams_->port, chunks.last());
        for (int k = 0; k < 8; ++k) {
            QCOMPARE(view->Text1(k)->text(), k == channel ? total : QStringLiteral("0"));
            QCOMPARE(view->Shape1(k)->fillColor(),
                     k == channel ? QColor(255, 0, 0) : QColor(255, 224, 192));
            QCOMPARE(view->Timer(k)->isActive(), k == channel);
        }
        QCOMPARE(view->Timer(channel)->interval(), 200);
        // The box shows the total's leading digits (its cursor at the start)
        // in its own size, and the whole total in its tool tip.
        QCOMPARE(view->Text1(channel)->cursorPosition(), 0);
        QCOMPARE(view->Text1(channel)->geometry(), boxGeometry);
        QCOMPARE(view->Text1(channel)->toolTip(), total);
        // 200 ms later the indicator is green and its timer stopped.
        QTRY_COMPARE_WITH_TIMEOUT(view->Shape1(channel)->fillColor(), QColor(0, 255, 0), 1000);
        QVERIFY(!view->Timer(channel)->isActive());
        QTest::qWait(300);
        QCOMPARE(view->Shape1(channel)->fillColor(), QColor(0, 255, 0)); // stays green
        // The next record turns it red again and counts on.
        receive(seams_->port, chunks.join());
        QCOMPARE(view->Shape1(channel)->fillColor(), QColor(255, 0, 0));
        QVERIFY(view->Timer(channel)->isActive());
        QVERIFY(view->Text1(channel)->text() != total);
    });
    QVERIFY(!QTest::currentTestFailed());
}

void TestViews::onLineBurstIsCountedWithOneRead() {
    relay_->setRow(0, 1, 1, 3);
    relay_->setRow(1, 0, 1, 4);
    relay_->stored.output = 2;

    openThrough(*main_, main_->nmuStatus(), [&](QWidget* window) {
        auto* view = qobject_cast<OnLine*>(window);
        QVERIFY(view);
        // 3000 records of IN 1, 10 of IN 2 and 7 of V2 in one notification,
        // the last one left unfinished.
        QByteArray burst = QByteArray("1\r").repeated(3000) + QByteArray("2-\r").repeated(10) +
                           QByteArray("8\r").repeated(7) + "1";
        const int readsBefore = int(seams_->port.trace.filter(QRegularExpression("^in ")).size());
        receive(seams_->port, burst);
        QCOMPARE(int(seams_->port.trace.filter(QRegularExpression("^in ")).size()),
                 readsBefore + 1);
        QCOMPARE(view->Text1(0)->text(), QStringLiteral("1000.0"));
        QCOMPARE(view->Text1(1)->text(), QStringLiteral("-2.5"));
        QCOMPARE(view->Text1(7)->text(), QStringLiteral("14"));
        QCOMPARE(view->Text1(6)->text(), QStringLiteral("0"));
        // Its carriage return may come alone: one character must be enough
        // to be told of it, and two again once the record is whole.
        QCOMPARE(seams_->port.RThreshold(), 1);
        // The unfinished record is completed by the next notification.
        receive(seams_->port, "\r");
        QCOMPARE(view->Text1(0)->text(), QStringLiteral("1000.33"));
        QCOMPARE(seams_->port.RThreshold(), 2);
    });
    QVERIFY(!QTest::currentTestFailed());
}

void TestViews::onLineOtherEventsReadNothing() {
    openThrough(*main_, main_->nmuStatus(), [&](QWidget* window) {
        auto* view = qobject_cast<OnLine*>(window);
        QVERIFY(view);
        seams_->port.deliver("3\r");
        const qsizetype traceBefore = seams_->port.trace.size();
        for (const int16_t event :
             {comm::kEvSend, comm::kEvCTS, comm::kEvEOF, comm::kErFrame, comm::kErOverrun})
            seams_->port.raise(event);
        QCOMPARE(seams_->port.trace.size(), traceBefore); // nothing read
        QCOMPARE(seams_->port.inBuffer, QByteArray("3\r"));
        QCOMPARE(view->Text1(2)->text(), QStringLiteral("0"));
        QCOMPARE(view->Shape1(2)->fillColor(), OnLine::kLightPeach);
        QCOMPARE(seams_->messages.size(), 0);
        // The waiting characters count with the next receive notification.
        seams_->port.raise(comm::kEvReceive);
        QCOMPARE(view->Text1(2)->text(), QStringLiteral("1.0"));
    });
    QVERIFY(!QTest::currentTestFailed());
}

void TestViews::onLineClearScreen() {
    relay_->stored.output = 3;
    openThrough(*main_, main_->nmuStatus(), [&](QWidget* window) {
        auto* view = qobject_cast<OnLine*>(window);
        QVERIFY(view);
        receive(seams_->port, "1\r2\r");
        QTRY_COMPARE_WITH_TIMEOUT(view->Shape1(1)->fillColor(), OnLine::kGreen, 1000);
        receive(seams_->port, "1\r7\r");
        QVERIFY(view->Timer(0)->isActive());

        QTest::mouseClick(view->btClear(), Qt::LeftButton);
        for (int k = 0; k < 8; ++k) {
            QCOMPARE(view->Text1(k)->text(), QStringLiteral("0"));
            QCOMPARE(view->Shape1(k)->fillColor(), QColor(255, 224, 192));
        }
        // Timers are left running: a cleared indicator still turns green.
        QVERIFY(view->Timer(0)->isActive());
        QVERIFY(view->Timer(6)->isActive());
        QVERIFY(!view->Timer(1)->isActive());
        QTRY_COMPARE_WITH_TIMEOUT(view->Shape1(0)->fillColor(), OnLine::kGreen, 1000);
        QTRY_COMPARE_WITH_TIMEOUT(view->Shape1(6)->fillColor(), OnLine::kGreen, 1000);
        QCOMPARE(view->Shape1(1)->fillColor(), OnLine::kLightPeach);
        // Counting starts again from zero.
        receive(seams_->port, "7\r1\r");
        QCOMPARE(view->Text1(6)->text(), QStringLiteral("3"));
        QCOMPARE(view->Text1(0)->text(), QStringLiteral("1.0"));
    });
    QVERIFY(!QTest::currentTestFailed());
}

void TestViews::onLineTypedTotalContinues() {
    relay_->setRow(0, 1, 1, 2);
    relay_->stored.output = 5;
    openThrough(*main_, main_->nmuStatus(), [&](QWidget* window) {
        auto* view = qobject_cast<OnLine*>(window);
        QVERIFY(view);
        receive(seams_->port, "1\r1\r7\r");
        QCOMPARE(view->Text1(0)->text(), QStringLiteral("1.0"));

        view->Text1(0)->selectAll();
        QTest::keyClicks(view->Text1(0), QStringLiteral("100"));
        receive(seams_->port, "1\r");
        QTest::keyClick(view->Text1(0), Qt::Key_Return);
        QCOMPARE(view->Text1(0)->text(), QStringLiteral("100.5"));

        view->Text1(6)->selectAll();
        QTest::keyClicks(view->Text1(6), QStringLiteral("x"));
        receive(seams_->port, "7\r");
        QTest::keyClick(view->Text1(6), Qt::Key_Return);
        QCOMPARE(view->Text1(6)->text(), QStringLiteral("10")); // not a number: the counted total

        // A record while the operator types in the box leaves the text and
        // the cursor as they are; once the typing is done, updates show the
        // start.
        QLineEdit* box = view->Text1(0);
        view->activateWindow();
        box->setFocus();
        QTRY_VERIFY_WITH_TIMEOUT(box->hasFocus(), 1000);
        box->selectAll();
        QTest::keyClicks(box, QStringLiteral("20"));
        box->setCursorPosition(1);
        receive(seams_->port, "1\r");
        QCOMPARE(box->text(), QStringLiteral("20"));
        QCOMPARE(box->cursorPosition(), 1);
        QTest::keyClick(box, Qt::Key_Return);
        QCOMPARE(box->text(), QStringLiteral("20.5"));
        receive(seams_->port, "1\r");
        QCOMPARE(box->text(), QStringLiteral("21.0"));
        QCOMPARE(box->cursorPosition(), 0);
    });
    QVERIFY(!QTest::currentTestFailed());
}

// How an edit of a value box ends.
enum class EditEnd { Enter, KeypadEnter, Tab, Escape, LeaveView, Clear };

void TestViews::onLineEditHoldsRecords_data() {
    QTest::addColumn<int>("ending");
    QTest::addColumn<QString>("typed"); // after "1000" and a record
    QTest::addColumn<QString>("total"); // when the edit has ended
    QTest::addColumn<QString>("next");  // after one more record

    // IN 1 is 1/2 and has counted 1.0 when the edit starts.
    QTest::newRow("Enter commits, the record added") << int(EditEnd::Enter) << "000"
                                                     << "1000000.5"
                                                     << "1000001.0";
    QTest::newRow("keypad Enter commits") << int(EditEnd::KeypadEnter) << "000"
                                          << "1000000.5"
                                          << "1000001.0";
    QTest::newRow("Tab to another control commits") << int(EditEnd::Tab) << "000"
                                                    << "1000000.5"
                                                    << "1000001.0";
    QTest::newRow("Escape puts back the counted total") << int(EditEnd::Escape) << "000"
                                                        << "1.5"
                                                        << "2.0";
    QTest::newRow("text not a number puts it back") << int(EditEnd::Enter) << "x"
                                                    << "1.5"
                                                    << "2.0";
    QTest::newRow("focus leaving the view puts it back") << int(EditEnd::LeaveView) << "000"
                                                         << "1.5"
                                                         << "2.0";
    QTest::newRow("Clear Scr. ends the edit and clears") << int(EditEnd::Clear) << "000"
                                                         << "0"
                                                         << "0.5";
}

void TestViews::onLineEditHoldsRecords() {
    QFETCH(int, ending);
    QFETCH(QString, typed);
    QFETCH(QString, total);
    QFETCH(QString, next);
    relay_->setRow(0, 1, 1, 2);
    openThrough(*main_, main_->nmuStatus(), [&](QWidget* window) {
        auto* view = qobject_cast<OnLine*>(window);
        QVERIFY(view);
        QLineEdit* box = view->Text1(0);
        receive(seams_->port, "1\r1\r");
        view->activateWindow();
        box->setFocus();
        QTRY_VERIFY_WITH_TIMEOUT(box->hasFocus(), 1000);
        box->selectAll();
        QTest::keyClicks(box, QStringLiteral("1000"));
        // A record during the edit counts and flashes but leaves the box.
        receive(seams_->port, "1\r");
        QCOMPARE(box->text(), QStringLiteral("1000"));
        QCOMPARE(view->Shape1(0)->fillColor(), OnLine::kRed);
        QTest::keyClicks(box, typed);
        QCOMPARE(box->text(), QStringLiteral("1000") + typed);

        QWidget elsewhere(view, Qt::Window);
        switch (EditEnd(ending)) {
        case EditEnd::Enter:
            QTest::keyClick(box, Qt::Key_Return);
            break;
        case EditEnd::KeypadEnter:
            QTest::keyClick(box, Qt::Key_Enter, Qt::KeypadModifier);
            break;
        case EditEnd::Tab:
            QTest::keyClick(box, Qt::Key_Tab);
            QVERIFY(view->isAncestorOf(QApplication::focusWidget()));
            break;
        case EditEnd::Escape:
            QTest::keyClick(box, Qt::Key_Escape);
            QVERIFY(view->isVisible());
            break;
        case EditEnd::LeaveView:
            elsewhere.show();
            elsewhere.activateWindow();
            QTRY_VERIFY_WITH_TIMEOUT(elsewhere.isActiveWindow(), 1000);
            break;
        case EditEnd::Clear:
            QTest::mouseClick(view->btClear(), Qt::LeftButton);
            break;
        }
        QCOMPARE(box->text(), total);
        QCOMPARE(box->toolTip(), total);
        receive(seams_->port, "1\r");
        QCOMPARE(box->text(), next);
    });
    QVERIFY(!QTest::currentTestFailed());
}

void TestViews::onLineWideTotalFits_data() {
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("whole");
    QTest::addColumn<bool>("cut");
    QTest::addColumn<bool>("fitsWhileEdited");

    QTest::newRow("fits in the box's font") << "12"
                                            << "12.0" << false << true;
    QTest::newRow("fits in a smaller font") << "123456.5"
                                            << "123456.5" << false << true;
    QTest::newRow("cut, whole while edited") << "12348978.5"
                                             << "12348978.5" << true << true;
    QTest::newRow("cut, scrolls while edited") << "123456789012345"
                                               << "123456789012345.0" << true << false;
}

void TestViews::onLineWideTotalFits() {
    QFETCH(QString, typed);
    QFETCH(QString, whole);
    QFETCH(bool, cut);
    QFETCH(bool, fitsWhileEdited);
    openThrough(*main_, main_->nmuStatus(), [&](QWidget* window) {
        auto* view = qobject_cast<OnLine*>(window);
        QVERIFY(view);
        QLineEdit* box = view->Text1(0);
        const QRect geometry = box->geometry();
        const qreal designSize = view->Text1(1)->font().pointSizeF();
        const int frame = box->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, box);
        auto fits = [&](const QString& text) {
            return QFontMetricsF(box->font()).horizontalAdvance(text) <=
                   box->width() - 2 * frame - 4;
        };
        view->activateWindow();
        box->setFocus();
        QTRY_VERIFY_WITH_TIMEOUT(box->hasFocus(), 1000);
        box->selectAll();
        QTest::keyClicks(box, typed);
        QTest::keyClick(box, Qt::Key_Return);

        // Not edited (focused or not): a smaller font down to 7 points,
        // then its leading digits and an ellipsis, never a shorter number.
        for (QLineEdit* focus : {box, static_cast<QLineEdit*>(view->Text1(1))}) {
            focus->setFocus();
            QTRY_VERIFY_WITH_TIMEOUT(focus->hasFocus(), 1000);
            QCOMPARE(box->text(), whole);
            QCOMPARE(box->toolTip(), whole);
            QCOMPARE(box->geometry(), geometry);
            const QString shown = box->property("shownText").toString();
            const qreal size = box->font().pointSizeF();
            QVERIFY2(size >= 7 && size <= designSize, qPrintable(QString::number(size)));
            QVERIFY(fits(shown));
            QCOMPARE(size<designSize, whole.size()> 5);
            if (cut) {
                QCOMPARE(size, 7.0);
                QVERIFY2(shown.endsWith(QChar(0x2026)), qPrintable(shown));
                QVERIFY(shown.size() > 1 && whole.startsWith(shown.chopped(1)));
            } else {
                QCOMPARE(shown, whole);
            }
        }

        // While edited the whole text shows, from its first digit.
        box->setFocus();
        QTRY_VERIFY_WITH_TIMEOUT(box->hasFocus(), 1000);
        box->setCursorPosition(0);
        QTest::keyClick(box, Qt::Key_Delete);
        QCOMPARE(box->property("shownText").toString(), whole.mid(1));
        QCOMPARE(fits(whole.mid(1)), fitsWhileEdited);
        QCOMPARE(box->cursorPosition(), 0);
    });
    QVERIFY(!QTest::currentTestFailed());
}

void TestViews::onLineUsesUserLocale() {
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    relay_->setRow(0, 0, 1, 4);
    openThrough(*main_, main_->nmuStatus(), [&](QWidget* window) {
        auto* view = qobject_cast<OnLine*>(window);
        QVERIFY(view);
        receive(seams_->port, "1\r");
        QCOMPARE(view->Text1(0)->text(), QStringLiteral("-0,25"));
        view->Text1(0)->selectAll();
        QTest::keyClicks(view->Text1(0), QStringLiteral("2,5"));
        receive(seams_->port, "1\r");
        QTest::keyClick(view->Text1(0), Qt::Key_Return);
        QCOMPARE(view->Text1(0)->text(), QStringLiteral("2,25"));
    });
    QVERIFY(!QTest::currentTestFailed());
}

void TestViews::onLineDivisorZeroOnlyFlashes() {
    relay_->setRow(3, 1, 5, 0);
    openThrough(*main_, main_->nmuStatus(), [&](QWidget* window) {
        auto* view = qobject_cast<OnLine*>(window);
        QVERIFY(view);
        receive(seams_->port, "4\r4\r");
        QCOMPARE(view->Text1(3)->text(), QStringLiteral("0"));
        QCOMPARE(view->Shape1(3)->fillColor(), OnLine::kRed);
        QVERIFY(view->Timer(3)->isActive());
    });
    QVERIFY(!QTest::currentTestFailed());
}

void TestViews::onLineClosingClosesPort() {
    int opens = 0;
    for (int round = 0; round < 2; ++round) {
        openThrough(*main_, main_->nmuStatus(), [&](QWidget* window) {
            auto* view = qobject_cast<OnLine*>(window);
            QVERIFY(view);
            // Each opening starts from the design state.
            QCOMPARE(view->Text1(0)->text(), QStringLiteral("0"));
            // Closed with a record unfinished, while notifications come
            // for every character.
            receive(seams_->port, "1\r1");
            QCOMPARE(view->Text1(0)->text(), QStringLiteral("1.0"));
            QCOMPARE(seams_->port.RThreshold(), 1);
            QVERIFY(seams_->port.PortOpen());
        });
        QVERIFY(!QTest::currentTestFailed());
        QVERIFY(!seams_->port.PortOpen());
        QCOMPARE(seams_->port.RThreshold(), 2); // as before the view opened
        QCOMPARE(main_->onLineView(), nullptr);
        opens += 2; // the read's open and the view's
        QCOMPARE(countLines(seams_->port.trace, "open"), opens);
        QCOMPARE(countLines(seams_->port.trace, "close"), opens);
    }
}

void TestViews::statusFailedReadShowsNoView_data() {
    QTest::addColumn<bool>("portError");
    QTest::addColumn<int>("messages");
    QTest::newRow("device silent") << false << 1;
    QTest::newRow("port held elsewhere") << true << 1;
}

void TestViews::statusFailedReadShowsNoView() {
    QFETCH(bool, portError);
    QFETCH(int, messages);
    relay_->silent = true;
    for (int attempt = 1; attempt <= 2; ++attempt) {
        if (portError)
            seams_->port.openError = comm::kPortAlreadyOpen;
        const bool shown = trigger(*main_, main_->nmuStatus(), [](QWidget*) {});
        QVERIFY(!shown);
        QCOMPARE(Others::ReadFailed, Others::False);
        QCOMPARE(main_->onLineView(), nullptr);
        QVERIFY(!seams_->port.PortOpen());
        QCOMPARE(seams_->messages.size(), messages * attempt);
        QCOMPARE(seams_->messages.last().text, kPortErrorText);
        // Each "Status" reads afresh.
        QCOMPARE(countLines(seams_->port.trace, "out 2A"), portError ? 0 : 3 * attempt);
        QVERIFY(!seams_->port.trace.contains("rthreshold 2"));
    }
}

void TestViews::statusPortCannotOpen() {
    // The read gets its reply, then another program takes the port before
    // the view can open it.
    relay_->refuseOpenAfterRead = comm::kPortAlreadyOpen;
    const bool shown = trigger(*main_, main_->nmuStatus(), [](QWidget*) {});
    QVERIFY(!shown);
    QCOMPARE(seams_->messages.size(), 1);
    QCOMPARE(seams_->messages[0].text, kPortErrorText);
    QCOMPARE(seams_->messages[0].title, QStringLiteral("ERROR"));
    QCOMPARE(seams_->messages[0].icon, MsgIcon::Critical);
    QCOMPARE(Others::ReadFailed, Others::False);
    QVERIFY(!seams_->port.PortOpen());
    QCOMPARE(main_->onLineView(), nullptr);

    // With the port free again, "Status" works.
    relay_->refuseOpenAfterRead = 0;
    QVERIFY(trigger(*main_, main_->nmuStatus(), [](QWidget*) {}));
}

void TestViews::onLineDeviceLost_data() {
    QTest::addColumn<bool>("byEvent"); // else Input() fails
    QTest::newRow("device lost event") << true;
    QTest::newRow("read fails") << false;
}

void TestViews::onLineDeviceLost() {
    QFETCH(bool, byEvent);
    relay_->setRow(0, 1, 1, 2);
    openThrough(*main_, main_->nmuStatus(), [&](QWidget* window) {
        auto* view = qobject_cast<OnLine*>(window);
        QVERIFY(view);
        receive(seams_->port, "1\r1\r");
        QCOMPARE(view->Text1(0)->text(), QStringLiteral("1.0"));

        seams_->port.PortOpen(false); // the port object closes a vanished device
        const qsizetype closes = seams_->port.trace.count("close");
        if (byEvent)
            seams_->port.raise(comm::kErDeviceLost);
        else
            seams_->port.raise(comm::kEvReceive);
        seams_->port.raise(comm::kErDeviceLost);
        receive(seams_->port, "1\r");
        QCOMPARE(seams_->messages.size(), 1);
        QCOMPARE(seams_->messages[0].text, kPortErrorText);
        QCOMPARE(seams_->messages[0].title, QStringLiteral("ERROR"));
        QCOMPARE(seams_->messages[0].icon, MsgIcon::Critical);
        // The view stays open with the totals it had, and says that it has
        // stopped counting.
        QVERIFY(view->isVisible());
        QCOMPARE(view->Text1(0)->text(), QStringLiteral("1.0"));
        QCOMPARE(seams_->port.trace.count("close"), closes);
        QCOMPARE(view->windowTitle(),
                 QStringLiteral("On Line - Firmware Version: SW 6 - device lost, not counting"));

        // It tries the port every two seconds while the device is away; the
        // relay comes back with another coefficient for IN 1, and what
        // waited on the line meanwhile is not counted.
        seams_->port.device.clear();
        relay_->setRow(0, 1, 1, 4);
        seams_->port.deliver("1\r1\r");
        const qsizetype readsBefore = seams_->port.trace.count("out 2A");
        QTest::qWait(OnLine::kRetryMs + 500);
        QVERIFY(view->windowTitle().endsWith(QStringLiteral("not counting")));
        QCOMPARE(seams_->port.trace.count("out 2A"), readsBefore);
        // A relay that is there but silent gets one request a try, never
        // the read's three: the window is held 400 ms at the most.
        seams_->port.device = QStringLiteral("/dev/scripted");
        relay_->silent = true;
        const qsizetype silentBefore = seams_->port.trace.count("out 2A");
        QTRY_VERIFY_WITH_TIMEOUT(seams_->port.trace.count("out 2A") > silentBefore,
                                 2 * OnLine::kRetryMs);
        QCOMPARE(seams_->port.trace.count("out 2A"), silentBefore + 1);
        QVERIFY(view->windowTitle().endsWith(QStringLiteral("not counting")));
        relay_->silent = false;
        QTRY_VERIFY_WITH_TIMEOUT(view->windowTitle().contains(QStringLiteral("counting again")),
                                 2 * OnLine::kRetryMs);
        QVERIFY2(view->windowTitle().contains(
                     QRegularExpression("^On Line - Firmware Version: SW 6 - counting again since "
                                        "\\d\\d:\\d\\d:\\d\\d, parameter set changed$")),
                 qPrintable(view->windowTitle()));
        QCOMPARE(view->Label2(0)->text(), QStringLiteral(" 1/ 4"));
        QVERIFY(seams_->port.PortOpen());
        QCOMPARE(view->Text1(0)->text(), QStringLiteral("1.0"));
        receive(seams_->port, "1\r");
        QCOMPARE(view->Text1(0)->text(), QStringLiteral("1.25"));
        QCOMPARE(seams_->messages.size(), 1); // the read again shows no box
    });
    QVERIFY(!QTest::currentTestFailed());
    QVERIFY(!seams_->port.PortOpen());
    QCOMPARE(seams_->messages.size(), 1);
}

void TestViews::onLineLayout_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("geometry");

    QTest::newRow("btClear") << "btClear" << QRect(208, 16, 64, 22);
    QTest::newRow("Frame1") << "Frame1" << QRect(8, 7, 190, 220);
    QTest::newRow("Frame2") << "Frame2" << QRect(208, 80, 156, 75);
    QTest::newRow("Picture1") << "Picture1" << QRect(304, 8, 54, 54);
    QTest::newRow("Label3") << "Label3" << QRect(64, 16, 57, 15);
    QTest::newRow("Shape1(0)") << "Shape1(0)" << QRect(32, 48, 13, 13);
    QTest::newRow("Label2(1)") << "Label2(1)" << QRect(57, 72, 60, 15);
    QTest::newRow("Text1(0) above its row") << "Text1(0)" << QRect(126, 42, 50, 22);
    QTest::newRow("Text1(5)") << "Text1(5)" << QRect(126, 182, 50, 22);
    QTest::newRow("Label1(6)") << "Label1(6)" << QRect(8, 27, 37, 17);
    QTest::newRow("Shape1(7)") << "Shape1(7)" << QRect(49, 49, 13, 13);
    QTest::newRow("Text1(7)") << "Text1(7)" << QRect(96, 48, 49, 21);
    // The rest of the rows, so that every control of the window is pinned;
    // the input rows are not evenly spaced.
    QTest::newRow("Line1") << "Line1" << QRect(14, 35, 168, 1);
    QTest::newRow("Label1(0)") << "Label1(0)" << QRect(7, 48, 22, 15);
    QTest::newRow("Label2(0)") << "Label2(0)" << QRect(57, 48, 60, 15);
    QTest::newRow("Label1(1)") << "Label1(1)" << QRect(7, 72, 22, 15);
    QTest::newRow("Shape1(1)") << "Shape1(1)" << QRect(32, 72, 13, 13);
    QTest::newRow("Text1(1)") << "Text1(1)" << QRect(126, 70, 50, 22);
    QTest::newRow("Label1(2)") << "Label1(2)" << QRect(7, 98, 22, 15);
    QTest::newRow("Shape1(2)") << "Shape1(2)" << QRect(32, 98, 13, 13);
    QTest::newRow("Label2(2)") << "Label2(2)" << QRect(57, 98, 60, 15);
    QTest::newRow("Text1(2)") << "Text1(2)" << QRect(126, 98, 50, 22);
    QTest::newRow("Label1(3)") << "Label1(3)" << QRect(7, 126, 22, 15);
    QTest::newRow("Shape1(3)") << "Shape1(3)" << QRect(32, 126, 13, 13);
    QTest::newRow("Label2(3)") << "Label2(3)" << QRect(57, 126, 60, 15);
    QTest::newRow("Text1(3)") << "Text1(3)" << QRect(126, 126, 50, 22);
    QTest::newRow("Label1(4)") << "Label1(4)" << QRect(7, 154, 22, 15);
    QTest::newRow("Shape1(4)") << "Shape1(4)" << QRect(32, 154, 13, 13);
    QTest::newRow("Label2(4)") << "Label2(4)" << QRect(57, 154, 60, 15);
    QTest::newRow("Text1(4)") << "Text1(4)" << QRect(126, 154, 50, 22);
    QTest::newRow("Label1(5)") << "Label1(5)" << QRect(7, 182, 22, 15);
    QTest::newRow("Shape1(5)") << "Shape1(5)" << QRect(32, 182, 13, 13);
    QTest::newRow("Label2(5)") << "Label2(5)" << QRect(57, 182, 60, 15);
    QTest::newRow("Shape1(6)") << "Shape1(6)" << QRect(49, 27, 13, 13);
    QTest::newRow("Label2(6)") << "Label2(6)" << QRect(67, 27, 20, 17);
    QTest::newRow("Text1(6)") << "Text1(6)" << QRect(96, 24, 49, 21);
    QTest::newRow("Label1(7)") << "Label1(7)" << QRect(8, 49, 37, 17);
    QTest::newRow("Label2(7)") << "Label2(7)" << QRect(67, 49, 20, 17);
}

void TestViews::onLineLayout() {
    QFETCH(QString, name);
    QFETCH(QRect, geometry);
    OnLine view;
    QCOMPARE(view.size(), QSize(370, 234));
    QCOMPARE(view.windowTitle(), QStringLiteral("On Line Status"));
    auto* widget = view.findChild<QWidget*>(name);
    QVERIFY2(widget, qPrintable(name));
    checkPlaced(widget, geometry);
    if (QTest::currentTestFailed())
        return;
    QStringList captions;
    for (int k = 0; k < 8; ++k)
        captions << view.Label1(k)->text();
    QCOMPARE(captions,
             QStringList({"IN 1", "IN 2", "IN 3", "IN 4", "IN 5", "IN 6", "Out V1", "Out V2"}));
    QCOMPARE(view.Frame1()->title(), QStringLiteral("Inputs"));
    QCOMPARE(view.Frame2()->title(), QStringLiteral("Outputs"));
    QCOMPARE(view.btClear()->text(), QStringLiteral("Clear Scr."));
    QCOMPARE(view.Text1(3)->alignment(), Qt::AlignCenter);
    QVERIFY(!view.Text1(3)->isReadOnly());
    QVERIFY(!view.Picture1()->pixmap().isNull());
    QCOMPARE(view.Picture1()->pixmap().deviceIndependentSize(), QSizeF(50, 50));
    // The indicator paints its own colour inside its outline.
    view.Shape1(2)->setFillColor(OnLine::kRed);
    const QImage lamp = view.Shape1(2)->grab().toImage();
    QCOMPARE(QColor(lamp.pixel(6, 6)), OnLine::kRed);
    QVERIFY(QColor(lamp.pixel(0, 0)) != OnLine::kRed);
}

// ---- frmAbout -----------------------------------------------------------

void TestViews::aboutTexts() {
    const bool shown = trigger(*main_, main_->nmuInfo(), [](QWidget* window) {
        auto* about = qobject_cast<frmAbout*>(window);
        QVERIFY(about);
        QCOMPARE(about->windowTitle(), QStringLiteral("About Program for KTR6 "));
        QCOMPARE(about->lblTitle()->text(), QStringLiteral("Orvelt - Program for KTR6 "));
        QCOMPARE(about->lblVersion()->text(), QStringLiteral("Software Version: 1.02"));
        QCOMPARE(about->lblDescription()->text(),
                 QStringLiteral("Version SW6  -  Impuls sumrelay for 6 inputs.\r\n"
                                "                Outputs are configuret for energy demand \r\n"
                                "                output (V1) and  energy  delivery (V2). \r\n"
                                "\r\n"
                                "Version SW3  -  Impuls Sumrelay for 3 Inputs of active \r\n"
                                "                and 3 inputs of reactive energy. Outputs\r\n"
                                "                are configuret for  summary active (V1)\r\n"
                                "                and  summary  reactive energy (V2)."));
        QCOMPARE(about->lblDisclaimer()->text(),
                 QStringLiteral("Orvelt\r\n    E-Mail: " KTR6_CONTACT_EMAIL));
        QCOMPARE(about->cmdOK()->text(), QStringLiteral("OK"));
        QCOMPARE(about->focusWidget(), about->cmdOK());
        for (QLabel* label : {about->lblTitle(), about->lblVersion(), about->lblDescription(),
                              about->lblDisclaimer()})
            QCOMPARE(label->palette().color(QPalette::WindowText), QColor(Qt::black));
        checkNothingClipped(about);
    });
    QVERIFY(!QTest::currentTestFailed());
    QVERIFY(shown);
    QVERIFY(seams_->port.trace.isEmpty()); // no device talk
}

void TestViews::aboutKeysClose_data() {
    QTest::addColumn<int>("key");
    QTest::newRow("Enter") << int(Qt::Key_Return);
    QTest::newRow("keypad Enter") << int(Qt::Key_Enter);
    QTest::newRow("Escape") << int(Qt::Key_Escape);
    QTest::newRow("Space on OK") << int(Qt::Key_Space);
}

void TestViews::aboutKeysClose() {
    QFETCH(int, key);
    bool closedByKey = false;
    openThrough(*main_, main_->nmuInfo(), [&](QWidget* window) {
        QTest::keyClick(window->focusWidget() ? window->focusWidget() : window, Qt::Key(key));
        QTRY_VERIFY_WITH_TIMEOUT(!window->isVisible(), 1000);
        closedByKey = true;
    });
    QVERIFY(closedByKey);
}

void TestViews::aboutVersionText_data() {
    QTest::addColumn<int>("major");
    QTest::addColumn<int>("minor");
    QTest::addColumn<int>("revision");
    QTest::addColumn<QString>("expected");
    QTest::newRow("1.0.2") << 1 << 0 << 2 << "Software Version: 1.02";
    QTest::newRow("revision 12") << 1 << 0 << 12 << "Software Version: 1.012";
    QTest::newRow("2.3.0") << 2 << 3 << 0 << "Software Version: 2.30";
}

void TestViews::aboutVersionText() {
    QFETCH(int, major);
    QFETCH(int, minor);
    QFETCH(int, revision);
    QFETCH(QString, expected);
    QCOMPARE(frmAbout::versionText(major, minor, revision), expected);
}

void TestViews::aboutLayout() {
    frmAbout about;
    QCOMPARE(about.size(), QSize(382, 237));
    QCOMPARE(about.picIcon()->geometry(), QRect(7, 14, 54, 54));
    QCOMPARE(about.lblTitle()->geometry(), QRect(84, 16, 291, 17));
    QCOMPARE(about.lblVersion()->geometry(), QRect(84, 32, 291, 14));
    QCOMPARE(about.lblDescription()->geometry(), QRect(80, 64, 294, 113));
    QCOMPARE(about.lblDisclaimer()->geometry(), QRect(14, 202, 258, 28));
    QCOMPARE(about.cmdOK()->geometry(), QRect(287, 210, 84, 23));
    QVERIFY(about.cmdOK()->isDefault());
    QVERIFY(!about.picIcon()->pixmap().isNull());
    // The separator runs from x 7 to 378 at y 192: grey over white.
    QCOMPARE(about.Line1()->geometry(), QRect(7, 192, 372, 2));
    const QImage line = about.Line1()->grab().toImage();
    QCOMPARE(QColor(line.pixel(100, 0)), QColor(128, 128, 128));
    QCOMPARE(QColor(line.pixel(100, 1)), QColor(Qt::white));
}

QTEST_MAIN(TestViews)
#include "test_views.moc"
