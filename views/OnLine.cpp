#include "OnLine.h"

#include "app/NumText.h"
#include "app/Others.h"
#include "app/Seams.h"
#include "protocol/ParameterBlock.h"
#include "serial/MSComm.h"
#include "views/Lamp.h"

#include <QCloseEvent>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <exception>

using views::twipsRect;

const QColor OnLine::kLightPeach = QColor(255, 224, 192);
const QColor OnLine::kRed = QColor(255, 0, 0);
const QColor OnLine::kGreen = QColor(0, 255, 0);

namespace {

struct InputRow {
    int top;       // label, indicator and coefficient
    int boxTop;    // value box
    int labelLeft; // coefficient label
};
constexpr std::array<InputRow, Others::kInputs> kInputRows = {{
    {720, 630, 855},
    {1080, 1050, 855},
    {1470, 1470, 850},
    {1890, 1890, 850},
    {2310, 2310, 850},
    {2730, 2730, 850},
}};
constexpr std::array<int, 2> kOutputTop = {405, 735};
constexpr std::array<int, 2> kOutputBoxTop = {360, 720};

QString indexedName(const char* control, int k) {
    return QStringLiteral("%1(%2)").arg(QLatin1String(control), QString::number(k));
}

QLabel* makeLabel(QWidget* parent, const QString& text, const QString& name, const QRect& geometry,
                  Qt::Alignment alignment = Qt::AlignLeft | Qt::AlignTop) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    label->setAlignment(alignment);
    views::fitLabel(label, geometry);
    return label;
}

} // namespace

OnLine::OnLine(QWidget* parent) : FixedDialog(parent, QSize(kClientWidth, kClientHeight)) {
    setObjectName(QStringLiteral("OnLine"));
    setWindowTitle(QStringLiteral("On Line Status"));
    setEscapeCloses(false);

    frame1_ = new QGroupBox(QStringLiteral("Inputs"), this);
    frame1_->setObjectName(QStringLiteral("Frame1"));
    frame1_->setGeometry(twipsRect(120, 105, 2850, 3300));
    makeLabel(frame1_, QStringLiteral("Coefficient"), QStringLiteral("Label3"),
              twipsRect(960, 240, 855, 225));
    auto* line = new QFrame(frame1_);
    line->setObjectName(QStringLiteral("Line1"));
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Plain);
    line->setGeometry(twipsRect(210, 525, 2520, 15));

    frame2_ = new QGroupBox(QStringLiteral("Outputs"), this);
    frame2_->setObjectName(QStringLiteral("Frame2"));
    frame2_->setGeometry(twipsRect(3120, 1200, 2340, 1125));

    for (int k = 0; k < kChannels; ++k) {
        const bool input = k < Others::kInputs;
        QWidget* frame = input ? static_cast<QWidget*>(frame1_) : frame2_;
        QRect labelRect, lampRect, coefficientRect, boxRect;
        QString caption;
        if (input) {
            const InputRow& row = kInputRows[k];
            caption = QStringLiteral("IN %1").arg(k + 1);
            labelRect = twipsRect(105, row.top, 330, 225);
            lampRect = twipsRect(480, row.top, 200, 200);
            coefficientRect = twipsRect(row.labelLeft, row.top, 900, 225);
            boxRect = twipsRect(1890, row.boxTop, 750, 330);
        } else {
            const int o = k - Others::kInputs;
            caption = QStringLiteral("Out V%1").arg(o + 1);
            labelRect = twipsRect(120, kOutputTop[o], 555, 255);
            lampRect = twipsRect(735, kOutputTop[o], 200, 200);
            coefficientRect = twipsRect(1005, kOutputTop[o], 300, 255);
            boxRect = twipsRect(1440, kOutputBoxTop[o], 735, 315);
        }
        label1_[k] = makeLabel(frame, caption, indexedName("Label1", k), labelRect);
        shape1_[k] = new Lamp(kLightPeach, frame);
        shape1_[k]->setObjectName(indexedName("Shape1", k));
        shape1_[k]->setGeometry(lampRect);
        label2Design_[k] = coefficientRect;
        label2_[k] =
            makeLabel(frame, input ? QStringLiteral("256 / 65300") : QStringLiteral("256"),
                      indexedName("Label2", k), coefficientRect, Qt::AlignHCenter | Qt::AlignTop);

        text1_[k] = new QLineEdit(QStringLiteral("0"), frame);
        text1_[k]->setObjectName(indexedName("Text1", k));
        text1_[k]->setAlignment(Qt::AlignCenter);
        text1_[k]->setGeometry(boxRect);
        // What the operator types is where counting goes on from.
        connect(text1_[k], &QLineEdit::textEdited, this, [this, k](const QString& text) {
            typing_[k] = true;
            totals_.setBase(k, text, QLocale());
        });
        connect(text1_[k], &QLineEdit::editingFinished, this, [this, k] { typing_[k] = false; });
        // A total wider than its box is readable whole without editing.
        connect(text1_[k], &QLineEdit::textChanged, text1_[k], &QLineEdit::setToolTip);
        text1_[k]->setToolTip(text1_[k]->text());

        timers_[k] = new QTimer(this);
        timers_[k]->setObjectName(QStringLiteral("Timer%1").arg(k + 1));
        timers_[k]->setInterval(kFlashMs);
        timers_[k]->setSingleShot(true);
        connect(timers_[k], &QTimer::timeout, this, [this, k] {
            shape1_[k]->setFillColor(kGreen);
            timers_[k]->stop();
        });
    }

    btClear_ = new QPushButton(QStringLiteral("Clear Scr."), this);
    btClear_->setObjectName(QStringLiteral("btClear"));
    btClear_->setGeometry(twipsRect(3120, 240, 960, 330));
    btClear_->setAutoDefault(false);
    connect(btClear_, &QPushButton::clicked, this, &OnLine::clearScreen);

    picture1_ = views::makeEmblem(this, twipsRect(4560, 120, 810, 810), true);
    picture1_->setObjectName(QStringLiteral("Picture1"));
}

OnLine::~OnLine() {
    // Dropped without a close (the main window ended the program): the port
    // must still not stay open behind it.
    if (!portOpened_)
        return;
    try {
        closePort();
    } catch (const std::exception&) {
        // No port object any more: nothing left to close.
    }
}

void OnLine::load() {
    ReadParameterBlock();
    if (Others::ReadFailed != Others::False)
        return;
    setWindowTitle(QStringLiteral("On Line - Firmware Version: SW ") + Others::FirmwareVersion);

    try {
        MSComm1().PortOpen(true);
        portOpened_ = true;
        MSComm1().RThreshold(2);
    } catch (const comm::CommError&) {
        // Another program took the port between the read and now, or the
        // adapter went away: without the port the view has nothing to show.
        closePort();
        MsgBox(kPortErrorText, MsgIcon::Critical, kPortErrorTitle);
        Others::ReadFailed = Others::True;
        return;
    }
    counting_ = true;

    for (int i = 0; i < Others::kInputs; ++i) {
        const auto& row = Others::ParamTable[i];
        const QString sign = row[Others::kSignColumn] != 1 ? QStringLiteral("-") : QString();
        label2_[i]->setText(sign + numberText(row[Others::kNumeratorColumn]) + QLatin1Char('/') +
                            numberText(row[Others::kDivisorColumn]));
    }
    for (int k = Others::kInputs; k < kChannels; ++k)
        label2_[k]->setText(numberText(Others::OutputParam));
    for (int k = 0; k < kChannels; ++k)
        views::fitLabel(label2_[k], label2Design_[k]);
}

void OnLine::onComm(MSComm& port) {
    if (!counting_)
        return;
    const int16_t event = port.CommEvent();
    if (event == comm::kErDeviceLost) {
        deviceLost(port);
        return;
    }
    if (event != comm::kEvReceive)
        return; // line status changes and line errors are no records

    QByteArray received;
    try {
        received = port.Input();
    } catch (const comm::CommError&) {
        deviceLost(port);
        return;
    }

    // A notification may hold part of a record or thousands of them: count
    // them all, but touch each box and indicator only once.
    std::array<bool, kChannels> flashed{};
    std::array<bool, kChannels> changed{};
    for (const int k : assembler_.feed(received)) {
        flashed[k] = true;
        if (totals_.count(k))
            changed[k] = true;
    }
    // A record cut after its channel digit may be completed by its carriage
    // return alone, one character, below the usual threshold of two: while a
    // record is incomplete, wake up for every character so it counts at once.
    const int threshold = assembler_.hasPartialRecord() ? 1 : 2;
    if (port.RThreshold() != threshold)
        port.RThreshold(threshold);
    thresholdLowered_ = threshold != 2;

    const QLocale locale;
    for (int k = 0; k < kChannels; ++k) {
        if (changed[k])
            showTotal(k, totals_.text(k, locale));
        if (flashed[k]) {
            shape1_[k]->setFillColor(kRed);
            timers_[k]->start();
        }
    }
}

void OnLine::clearScreen() {
    totals_.clear();
    for (int k = 0; k < kChannels; ++k) {
        showTotal(k, QStringLiteral("0"));
        shape1_[k]->setFillColor(kLightPeach);
    }
}

void OnLine::showTotal(int k, const QString& text) {
    QLineEdit* box = text1_[k];
    if (typing_[k] && box->hasFocus()) {
        // The operator is typing here: the cursor stays where it is.
        const int cursor = box->cursorPosition();
        box->setText(text);
        box->setCursorPosition(std::min(cursor, int(box->text().size())));
        return;
    }
    box->setText(text);
    // QLineEdit scrolls to its cursor, which setText puts after the last
    // character: a total wider than the box would show only its tail
    // ("10700.0" for 1310700.0). Its leading digits show instead.
    box->setCursorPosition(0);
}

void OnLine::deviceLost(MSComm& port) {
    counting_ = false;
    assembler_.reset();
    // Normally the port object has closed the port already; after a failed
    // read it may not have.
    closePortQuietly(port);
    portOpened_ = false;
    MsgBox(kPortErrorText, MsgIcon::Critical, kPortErrorTitle);
}

void OnLine::closePort() {
    counting_ = false;
    portOpened_ = false;
    MSComm& port = MSComm1();
    // Notifications from 2 characters again, as before the view opened.
    if (thresholdLowered_) {
        port.RThreshold(2);
        thresholdLowered_ = false;
    }
    closePortQuietly(port);
}

void OnLine::closeEvent(QCloseEvent* event) {
    closePort();
    FixedDialog::closeEvent(event);
}

void OnLine::done(int result) {
    closePort();
    FixedDialog::done(result);
}
