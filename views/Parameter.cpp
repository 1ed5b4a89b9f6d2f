#include "Parameter.h"

#include "app/NumText.h"
#include "app/Others.h"
#include "app/Seams.h"

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

constexpr std::array<int, Others::kInputs> kRowTop = {240, 600, 960, 1320, 1680, 2040};
// Three controls stand off their row in the layout the operators know.
constexpr int kText1Row1Top = 525;
constexpr int kCheck1Row0Top = 210;
constexpr int kCheck1Row2Top = 945;

QString rowName(const char* control, int row) {
    return QStringLiteral("%1(%2)").arg(QLatin1String(control), QString::number(row));
}

QLineEdit* makeBox(QWidget* parent, const QString& name, const QString& hint,
                   const QRect& geometry) {
    auto* box = new QLineEdit(QStringLiteral("1"), parent);
    box->setObjectName(name);
    box->setAlignment(Qt::AlignCenter);
    box->setToolTip(hint);
    box->setGeometry(geometry);
    return box;
}

} // namespace

Parameter::Parameter(QWidget* parent) : FixedDialog(parent, QSize(kClientWidth, kClientHeight)) {
    setObjectName(QStringLiteral("Parameter"));
    setWindowTitle(QStringLiteral("Parameter set"));
    setEscapeCloses(false);

    frame1_ = new QGroupBox(QStringLiteral("Inputs"), this);
    frame1_->setObjectName(QStringLiteral("Frame1"));
    frame1_->setGeometry(twipsRect(120, 120, 4380, 2535));

    for (int r = 0; r < Others::kInputs; ++r) {
        const int top = kRowTop[r];
        label1_[r] = new QLabel(QStringLiteral("IN %1:").arg(r + 1), frame1_);
        label1_[r]->setObjectName(rowName("Label1", r));
        views::fitLabel(label1_[r], twipsRect(240, top, 375, 255));

        text1_[r] = makeBox(frame1_, rowName("Text1", r), QStringLiteral("1..255"),
                            twipsRect(840, r == 1 ? kText1Row1Top : top, 975, 285));

        label2_[r] = new QLabel(QStringLiteral("/"), frame1_);
        label2_[r]->setObjectName(rowName("Label2", r));
        label2_[r]->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        label2_[r]->setGeometry(twipsRect(1920, top, 735, 375));

        text2_[r] = makeBox(frame1_, rowName("Text2", r), QStringLiteral("1..65535"),
                            twipsRect(2160, top, 975, 285));

        const int checkTop = r == 0 ? kCheck1Row0Top : r == 2 ? kCheck1Row2Top : top;
        check1_[r] = new QCheckBox(QStringLiteral("Minus"), frame1_);
        check1_[r]->setObjectName(rowName("Check1", r));
        check1_[r]->setGeometry(twipsRect(3360, checkTop, 975, 255));
    }

    frame2_ = new QGroupBox(QStringLiteral("Output"), this);
    frame2_->setObjectName(QStringLiteral("Frame2"));
    frame2_->setGeometry(twipsRect(4560, 105, 1080, 720));
    text1_[Others::kInputs] = makeBox(frame2_, rowName("Text1", Others::kInputs),
                                      QStringLiteral("1..255"), twipsRect(105, 315, 855, 285));

    btLoad_ = new QPushButton(QStringLiteral("Load"), this);
    btLoad_->setObjectName(QStringLiteral("btLoad"));
    btLoad_->setGeometry(twipsRect(4680, 1875, 855, 300));
    btSave_ = new QPushButton(QStringLiteral("Save"), this);
    btSave_->setObjectName(QStringLiteral("btSave"));
    btSave_->setGeometry(twipsRect(4680, 2280, 855, 300));
    // Neither button answers Enter: a slip of the key must not start a write.
    for (QPushButton* button : {btLoad_, btSave_}) {
        button->setAutoDefault(false);
        button->setDefault(false);
    }

    // Focus runs along the coefficients row by row, then the output, the
    // buttons, and the sign boxes last.
    QList<QWidget*> order;
    for (int r = 0; r < Others::kInputs; ++r)
        order << text1_[r] << text2_[r];
    order << text1_[Others::kInputs] << btLoad_ << btSave_;
    for (QCheckBox* check : check1_)
        order << check;
    for (qsizetype i = 1; i < order.size(); ++i)
        setTabOrder(order[i - 1], order[i]);
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
