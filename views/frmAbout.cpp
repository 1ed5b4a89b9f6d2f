#include "frmAbout.h"

#include "core/Seams.h"
#include "core/Version.h"

#include <QFontMetrics>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QStringList>

namespace {

// Grey over white: the etched look of a separator on a light dialog.
class EtchedLine : public QWidget {
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setPen(QColor(128, 128, 128));
        painter.drawLine(0, 0, width() - 1, 0);
        painter.setPen(Qt::white);
        painter.drawLine(0, 1, width() - 1, 1);
    }
};

QLabel* makeLabel(QWidget* parent, const char* name, const QString& text, const QRect& geometry) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QLatin1String(name));
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setWordWrap(false);
    label->setTextFormat(Qt::PlainText);
    label->setGeometry(geometry);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, Qt::black);
    label->setPalette(palette);
    return label;
}

} // namespace

QString frmAbout::versionText(int major, int minor, int revision) {
    return QStringLiteral("Software Version: ") + versionNumberText(major, minor, revision);
}

QString frmAbout::descriptionText() {
    const QString indent(16, QLatin1Char(' '));
    const QStringList lines = {
        QStringLiteral("Version SW6  -  Impuls sumrelay for 6 inputs."),
        indent + QStringLiteral("Outputs are configuret for energy demand "),
        indent + QStringLiteral("output (V1) and  energy  delivery (V2). "),
        QString(),
        QStringLiteral("Version SW3  -  Impuls Sumrelay for 3 Inputs of active "),
        indent + QStringLiteral("and 3 inputs of reactive energy. Outputs"),
        indent + QStringLiteral("are configuret for  summary active (V1)"),
        indent + QStringLiteral("and  summary  reactive energy (V2)."),
    };
    return lines.join(QStringLiteral("\r\n"));
}

QString frmAbout::disclaimerText() {
    return QStringLiteral("Orvelt\r\n    E-Mail: ") + QStringLiteral(KTR6_CONTACT_EMAIL);
}

frmAbout::frmAbout(QWidget* parent) : FixedDialog(parent, QSize(kClientWidth, kClientHeight)) {
    setObjectName(QStringLiteral("frmAbout"));
    setWindowTitle(QStringLiteral("About ") + kAppTitle);

    picIcon_ = views::makeEmblem(this, QRect(7, 14, 54, 54), false);
    picIcon_->setObjectName(QStringLiteral("picIcon"));
    lblTitle_ = makeLabel(this, "lblTitle", QStringLiteral("Orvelt - ") + kAppTitle,
                          QRect(84, 16, 291, 17));
    lblVersion_ =
        makeLabel(this, "lblVersion", QStringLiteral("Software Version: ") + programVersion(),
                  QRect(84, 32, 291, 14));
    lblDescription_ = makeLabel(this, "lblDescription", descriptionText(), QRect(80, 64, 294, 113));
    // Eight lines with their long indents were laid out for a small font:
    // shrink until they fit rather than clip them.
    const QString measured =
        descriptionText().replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    QFont font = lblDescription_->font();
    for (qreal size = font.pointSizeF(); size > 6.0; size -= 0.5) {
        font.setPointSizeF(size);
        const QRect needed = QFontMetrics(font).boundingRect(
            QRect(0, 0, 10000, 10000), Qt::AlignLeft | Qt::AlignTop, measured);
        if (needed.width() <= lblDescription_->width() &&
            needed.height() <= lblDescription_->height())
            break;
    }
    lblDescription_->setFont(font);

    line1_ = new EtchedLine(this);
    line1_->setObjectName(QStringLiteral("Line1"));
    line1_->setGeometry(7, 192, 372, 2);

    lblDisclaimer_ = makeLabel(this, "lblDisclaimer", disclaimerText(), QRect(14, 202, 258, 28));

    cmdOK_ = new QPushButton(QStringLiteral("OK"), this);
    cmdOK_->setObjectName(QStringLiteral("cmdOK"));
    cmdOK_->setGeometry(287, 210, 84, 23);
    cmdOK_->setDefault(true);
    cmdOK_->setFocus();
    connect(cmdOK_, &QPushButton::clicked, this, &QDialog::accept);
}
