#include "OnLine.h"

#include "core/NumText.h"
#include "core/Others.h"
#include "core/Seams.h"
#include "protocol/ParameterBlock.h"
#include "serial/MSComm.h"
#include "views/Lamp.h"
#include "views/ValueBox.h"

#include <QCloseEvent>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QTime>
#include <QTimer>
#include <algorithm>
#include <exception>

using views::twipsRect;

const QColor OnLine::kLightPeach = QColor(255, 224, 192);
const QColor OnLine::kRed = QColor(255, 0, 0);
const QColor OnLine::kGreen = QColor(0, 255, 0);

namespace {

using views::ControlBox;
using views::Fit;

// Per channel a caption (Label1), an indicator (Shape1), a coefficient
// (Label2, centred) and a value box (Text1). The input rows are not evenly
// spaced, and the value boxes of the first two stand above their rows.
constexpr ControlBox kLayout[] = {
    {"Frame1", twipsRect(120, 105, 2850, 3300)},
    {"Label3", twipsRect(960, 240, 855, 225), Fit::Text},
    {"Line1", twipsRect(210, 525, 2520, 15)},
    {"Frame2", twipsRect(3120, 1200, 2340, 1125)},
    {"Label1(0)", twipsRect(105, 720, 330, 225), Fit::Text},
    {"Shape1(0)", twipsRect(480, 720, 200, 200)},
    {"Label2(0)", twipsRect(855, 720, 900, 225), Fit::Text},
    {"Text1(0)", twipsRect(1890, 630, 750, 330)},
    {"Label1(1)", twipsRect(105, 1080, 330, 225), Fit::Text},
    {"Shape1(1)", twipsRect(480, 1080, 200, 200)},
    {"Label2(1)", twipsRect(855, 1080, 900, 225), Fit::Text},
    {"Text1(1)", twipsRect(1890, 1050, 750, 330)},
    {"Label1(2)", twipsRect(105, 1470, 330, 225), Fit::Text},
    {"Shape1(2)", twipsRect(480, 1470, 200, 200)},
    {"Label2(2)", twipsRect(850, 1470, 900, 225), Fit::Text},
    {"Text1(2)", twipsRect(1890, 1470, 750, 330)},
    {"Label1(3)", twipsRect(105, 1890, 330, 225), Fit::Text},
    {"Shape1(3)", twipsRect(480, 1890, 200, 200)},
    {"Label2(3)", twipsRect(850, 1890, 900, 225), Fit::Text},
    {"Text1(3)", twipsRect(1890, 1890, 750, 330)},
    {"Label1(4)", twipsRect(105, 2310, 330, 225), Fit::Text},
    {"Shape1(4)", twipsRect(480, 2310, 200, 200)},
    {"Label2(4)", twipsRect(850, 2310, 900, 225), Fit::Text},
    {"Text1(4)", twipsRect(1890, 2310, 750, 330)},
    {"Label1(5)", twipsRect(105, 2730, 330, 225), Fit::Text},
    {"Shape1(5)", twipsRect(480, 2730, 200, 200)},
    {"Label2(5)", twipsRect(850, 2730, 900, 225), Fit::Text},
    {"Text1(5)", twipsRect(1890, 2730, 750, 330)},
    {"Label1(6)", twipsRect(120, 405, 555, 255), Fit::Text},
    {"Shape1(6)", twipsRect(735, 405, 200, 200)},
    {"Label2(6)", twipsRect(1005, 405, 300, 255), Fit::Text},
    {"Text1(6)", twipsRect(1440, 360, 735, 315)},
    {"Label1(7)", twipsRect(120, 735, 555, 255), Fit::Text},
    {"Shape1(7)", twipsRect(735, 735, 200, 200)},
    {"Label2(7)", twipsRect(1005, 735, 300, 255), Fit::Text},
    {"Text1(7)", twipsRect(1440, 720, 735, 315)},
    {"btClear", twipsRect(3120, 240, 960, 330)},
    {"Picture1", twipsRect(4560, 120, 810, 810)},
};

QString indexedName(const char* control, int k) {
    return QStringLiteral("%1(%2)").arg(QLatin1String(control), QString::number(k));
}

QLabel* makeLabel(QWidget* parent, const QString& text, const QString& name,
                  Qt::Alignment alignment = Qt::AlignLeft | Qt::AlignTop) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    label->setAlignment(alignment);
    return label;
}

} // namespace

OnLine::OnLine(QWidget* parent) : FixedDialog(parent, QSize(kClientWidth, kClientHeight)) {
    setObjectName(QStringLiteral("OnLine"));
    setWindowTitle(QStringLiteral("On Line Status"));
    setEscapeCloses(false);

    frame1_ = new QGroupBox(QStringLiteral("Inputs"), this);
    frame1_->setObjectName(QStringLiteral("Frame1"));
    makeLabel(frame1_, QStringLiteral("Coefficient"), QStringLiteral("Label3"));
    auto* line = new QFrame(frame1_);
    line->setObjectName(QStringLiteral("Line1"));
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Plain);

    frame2_ = new QGroupBox(QStringLiteral("Outputs"), this);
    frame2_->setObjectName(QStringLiteral("Frame2"));
    for (int k = 0; k < kChannels; ++k)
        makeChannel(k);

    btClear_ = new QPushButton(QStringLiteral("Clear Scr."), this);
    btClear_->setObjectName(QStringLiteral("btClear"));
    btClear_->setAutoDefault(false);
    connect(btClear_, &QPushButton::clicked, this, &OnLine::clearScreen);

    retry_ = new QTimer(this);
    retry_->setInterval(kRetryMs);
    connect(retry_, &QTimer::timeout, this, &OnLine::retryDevice);

    picture1_ = views::makeEmblem(this, QRect(), true);
    picture1_->setObjectName(QStringLiteral("Picture1"));
    views::placeControls(this, kLayout);
}

void OnLine::makeChannel(int k) {
    const bool input = k < Others::kInputs;
    QWidget* frame = input ? static_cast<QWidget*>(frame1_) : frame2_;
    const QString caption = input ? QStringLiteral("IN %1").arg(k + 1)
                                  : QStringLiteral("Out V%1").arg(k - Others::kInputs + 1);
    label1_[k] = makeLabel(frame, caption, indexedName("Label1", k));
    shape1_[k] = new Lamp(kLightPeach, frame);
    shape1_[k]->setObjectName(indexedName("Shape1", k));
    label2_[k] = makeLabel(frame, input ? QStringLiteral("256 / 65300") : QStringLiteral("256"),
                           indexedName("Label2", k), Qt::AlignHCenter | Qt::AlignTop);

    text1_[k] = new ValueBox(frame);
    text1_[k]->setText(QStringLiteral("0"));
    text1_[k]->setObjectName(indexedName("Text1", k));
    text1_[k]->setAlignment(Qt::AlignCenter);
    // What the operator types is where counting goes on from, once the edit
    // is committed; records meanwhile count but leave the box alone.
    connect(text1_[k], &ValueBox::editStarted, this,
            [this, k] { editStart_[k] = totals_.records(k); });
    connect(text1_[k], &ValueBox::editEnded, this,
            [this, k](bool committed) { editEnded(k, committed); });
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
    set_ = ParameterSet{Others::FirmwareVersion, Others::ParamTable, Others::OutputParam};
    totals_.useSet(set_.table, set_.output);
    showCoefficients();
}

void OnLine::showCoefficients() {
    for (int i = 0; i < Others::kInputs; ++i) {
        const auto& row = set_.table[i];
        const QString sign = row[Others::kSignColumn] != 1 ? QStringLiteral("-") : QString();
        label2_[i]->setText(sign + numberText(row[Others::kNumeratorColumn]) + QLatin1Char('/') +
                            numberText(row[Others::kDivisorColumn]));
    }
    for (int k = Others::kInputs; k < kChannels; ++k)
        label2_[k]->setText(numberText(set_.output));
    // The coefficients' texts may need wider boxes than the placeholders.
    views::placeControls(this, kLayout);
}

QString OnLine::caption() const {
    return QStringLiteral("On Line - Firmware Version: SW ") + set_.firmwareVersion;
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
        if (changed[k] && !text1_[k]->isEditing())
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
        text1_[k]->endEdit();
        showTotal(k, QStringLiteral("0"));
        shape1_[k]->setFillColor(kLightPeach);
    }
}

void OnLine::showTotal(int k, const QString& text) {
    QLineEdit* box = text1_[k];
    // The operator selected the whole total to type over it: a record
    // before the first keystroke keeps it selected.
    const bool allSelected =
        box->hasFocus() && box->hasSelectedText() && box->selectedText() == box->text();
    box->setText(text);
    // QLineEdit scrolls to its cursor, which setText puts after the last
    // character: a total wider than the box would show only its tail
    // ("10700.0" for 1310700.0). Its leading digits show instead.
    box->setCursorPosition(0);
    if (allSelected)
        box->selectAll();
}

void OnLine::editEnded(int k, bool committed) {
    const QLocale locale;
    // Not a number, Escape, or the focus gone to another window: the total
    // as counted comes back.
    if (committed)
        totals_.takeTyped(k, text1_[k]->text(), locale, totals_.records(k) - editStart_[k]);
    showTotal(k, totals_.text(k, locale));
}

void OnLine::deviceLost(MSComm& port) {
    counting_ = false;
    assembler_.reset();
    // Normally the port object has closed the port already; after a failed
    // read it may not have.
    closePortQuietly(port);
    portOpened_ = false;
    lost_ = true;
    setWindowTitle(caption() + QStringLiteral(" - device lost, not counting"));
    MsgBox(kPortErrorText, MsgIcon::Critical, kPortErrorTitle);
    // Unless the box ended the view.
    if (isVisible())
        retry_->start();
}

void OnLine::retryDevice() {
    if (!lost_) {
        retry_->stop();
        return;
    }
    MSComm* port = nullptr;
    try {
        port = &MSComm1();
    } catch (const std::logic_error&) {
        // No port object any more: the program is ending.
        retry_->stop();
        return;
    }
    // One attempt of the read, no box: the operator was told of the loss
    // once, and the caption says that the view is not counting. A relay
    // that stays silent holds the window 400 ms of every two seconds, not
    // the read's whole 2.2 s.
    std::optional<ParameterSet> set;
    try {
        const QByteArray reply = requestParameterReply(*port, Sleep);
        if (reply.size() >= kReplyMinLength)
            set = parseParameterReply(reply);
    } catch (const std::exception&) {
        return; // still gone
    }
    if (set && openForRecords(*port))
        resumeWith(*set);
}

bool OnLine::openForRecords(MSComm& port) {
    try {
        port.PortOpen(true);
        portOpened_ = true;
        // What waited on the line came while the view was not counting.
        port.InBufferCount(0);
        port.RThreshold(2);
        return true;
    } catch (const comm::CommError&) {
        closePortQuietly(port);
        portOpened_ = false;
        return false;
    }
}

void OnLine::resumeWith(const ParameterSet& set) {
    const bool sameSet = set == set_;
    // The totals as they stand are where counting goes on from, with the
    // amounts of the set just read.
    totals_.fold();
    editStart_.fill(0);
    set_ = set;
    totals_.useSet(set_.table, set_.output);
    showCoefficients();
    assembler_.reset();
    thresholdLowered_ = false;
    lost_ = false;
    retry_->stop();
    counting_ = true;
    setWindowTitle(caption() + QStringLiteral(" - counting again since ") +
                   QTime::currentTime().toString(QStringLiteral("HH:mm:ss")) +
                   (sameSet ? QString() : QStringLiteral(", parameter set changed")));
}

void OnLine::closePort() {
    counting_ = false;
    lost_ = false;
    retry_->stop();
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
