#include "Parameter.h"

#include "core/NumText.h"
#include "core/Others.h"
#include "core/Seams.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

using views::twipsRect;

const QString Parameter::kUnreadSaveQuestion = QStringLiteral(
    "No read from the device has filled these boxes, so they hold placeholders (or what "
    "was typed over them), not the device's values.\n\n"
    "Writing them replaces the parameter set stored in the device.\n\n"
    "Write them to the device anyway?");

namespace {

using views::ControlBox;
using views::Fit;

constexpr int kRows = Others::kInputs;
constexpr int kRowStep = views::twipsToPixels(360);

// The editor's layout: a row per input in Frame1 (caption, numerator, "/",
// divisor, sign), the rows 360 twips apart.
constexpr ControlBox kLayout[] = {
    {"Frame1", twipsRect(120, 120, 4380, 2535)},
    {"Label1", twipsRect(240, 240, 375, 255), Fit::Text, kRows, kRowStep},
    {"Text1", twipsRect(840, 240, 975, 285), Fit::Box, kRows, kRowStep},
    {"Label2", twipsRect(1920, 240, 735, 375), Fit::Box, kRows, kRowStep},
    {"Text2", twipsRect(2160, 240, 975, 285), Fit::Box, kRows, kRowStep},
    {"Check1", twipsRect(3360, 240, 975, 255), Fit::Box, kRows, kRowStep},
    // Three controls stand off their row in the layout the operators know.
    {"Text1(1)", twipsRect(840, 525, 975, 285)},
    {"Check1(0)", twipsRect(3360, 210, 975, 255)},
    {"Check1(2)", twipsRect(3360, 945, 975, 255)},
    {"Frame2", twipsRect(4560, 105, 1080, 720)},
    {"Text1(6)", twipsRect(105, 315, 855, 285)},
    {"btLoad", twipsRect(4680, 1875, 855, 300)},
    {"btSave", twipsRect(4680, 2280, 855, 300)},
};

QString rowName(const char* control, int row) {
    return QStringLiteral("%1(%2)").arg(QLatin1String(control), QString::number(row));
}

QLineEdit* makeBox(QWidget* parent, const QString& name, const QString& hint) {
    auto* box = new QLineEdit(QStringLiteral("1"), parent);
    box->setObjectName(name);
    box->setAlignment(Qt::AlignCenter);
    box->setToolTip(hint);
    return box;
}

QPushButton* makeButton(QWidget* parent, const QString& text, const QString& name) {
    auto* button = new QPushButton(text, parent);
    button->setObjectName(name);
    // Neither button answers Enter: a slip of the key must not start a write.
    button->setAutoDefault(false);
    button->setDefault(false);
    return button;
}

} // namespace

Parameter::Parameter(QWidget* parent) : FixedDialog(parent, QSize(kClientWidth, kClientHeight)) {
    setObjectName(QStringLiteral("Parameter"));
    setWindowTitle(QStringLiteral("Parameter set"));
    setEscapeCloses(false);

    frame1_ = new QGroupBox(QStringLiteral("Inputs"), this);
    frame1_->setObjectName(QStringLiteral("Frame1"));
    for (int r = 0; r < Others::kInputs; ++r) {
        label1_[r] = new QLabel(QStringLiteral("IN %1:").arg(r + 1), frame1_);
        label1_[r]->setObjectName(rowName("Label1", r));
        text1_[r] = makeBox(frame1_, rowName("Text1", r), QStringLiteral("1..255"));
        label2_[r] = new QLabel(QStringLiteral("/"), frame1_);
        label2_[r]->setObjectName(rowName("Label2", r));
        label2_[r]->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        text2_[r] = makeBox(frame1_, rowName("Text2", r), QStringLiteral("1..65535"));
        check1_[r] = new QCheckBox(QStringLiteral("Minus"), frame1_);
        check1_[r]->setObjectName(rowName("Check1", r));
    }

    frame2_ = new QGroupBox(QStringLiteral("Output"), this);
    frame2_->setObjectName(QStringLiteral("Frame2"));
    text1_[Others::kInputs] =
        makeBox(frame2_, rowName("Text1", Others::kInputs), QStringLiteral("1..255"));

    btLoad_ = makeButton(this, QStringLiteral("Load"), QStringLiteral("btLoad"));
    btSave_ = makeButton(this, QStringLiteral("Save"), QStringLiteral("btSave"));
    views::placeControls(this, kLayout);

    // Focus runs along the coefficients row by row, then the output, the
    // buttons, and the sign boxes last.
    QList<QWidget*> order;
    for (int r = 0; r < Others::kInputs; ++r)
        order << text1_[r] << text2_[r];
    order << text1_[Others::kInputs] << btLoad_ << btSave_;
    for (QCheckBox* check : check1_)
        order << check;
    views::chainFocus(order);
    text1_[0]->setFocus();

    connect(btLoad_, &QPushButton::clicked, this, &Parameter::load);
    connect(btSave_, &QPushButton::clicked, this, &Parameter::save);
}

void Parameter::load() {
    ReadParameterBlock();
    if (Others::ReadFailed != Others::False)
        return; // the read has told the operator what went wrong
    setWindowTitle(QStringLiteral("Parameter Set  -   Firmware Version: SW ") +
                   Others::FirmwareVersion);
    for (int r = 0; r < Others::kInputs; ++r) {
        const auto& row = Others::ParamTable[r];
        text1_[r]->setText(decimalText(row[Others::kNumeratorColumn]));
        text2_[r]->setText(decimalText(row[Others::kDivisorColumn]));
        check1_[r]->setChecked(row[Others::kSignColumn] != 1);
    }
    text1_[Others::kInputs]->setText(decimalText(Others::OutputParam));
    fieldsUnread_ = false;
    MsgBox(QStringLiteral("Read Parameter OK"), MsgIcon::Information);
}

EditorFields Parameter::fields() const {
    EditorFields fields;
    for (int r = 0; r < Others::kInputs; ++r) {
        fields.numerator[r] = text1_[r]->text();
        fields.divisor[r] = text2_[r]->text();
        fields.minus[r] = check1_[r]->isChecked();
    }
    fields.output = text1_[Others::kInputs]->text();
    return fields;
}

void Parameter::save() {
    if (fieldsUnread_ && !AskYesNo(kUnreadSaveQuestion, MsgIcon::Warning))
        return;
    WriteParameterBlock(fields());
}
