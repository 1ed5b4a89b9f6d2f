#include "PdfSheet.h"

#include "RecordPdf.h"

#include <QFileInfo>
#include <QFontMetricsF>
#include <QPageLayout>
#include <QPageSize>
#include <QPdfWriter>
#include <QTextLayout>
#include <QTextOption>

using namespace pdfsheet;

QString pdfsheet::orDash(const QString& text) {
    return text.isEmpty() ? kDash : text;
}

void pdfsheet::setUpA4(QPdfWriter& writer, const QString& title, const QString& version) {
    writer.setResolution(kDpi);
    writer.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait,
                                     QMarginsF(0, 0, 0, 0), QPageLayout::Millimeter));
    writer.setTitle(title);
    writer.setCreator(QStringLiteral("ktr6ctl ") + version);
}

QString pdfsheet::footerText(const QString& pdfPath) {
    const QFileInfo pdf(pdfPath);
    return QStringLiteral("File %1 \u00B7 its data and SHA-256 in %2.json")
        .arg(pdf.fileName(), pdf.completeBaseName());
}

PdfSheet::PdfSheet(QPdfWriter* writer, QString* drawn)
    : device_(writer), painter_(writer), drawn_(drawn) {}

bool PdfSheet::newPage() {
    return device_->newPage();
}

QFont PdfSheet::font(qreal points, bool bold) const {
    QFont font(kRecordFontFamily);
    font.setPointSizeF(points);
    font.setBold(bold);
    font.setStyleStrategy(QFont::PreferNoShaping);
    return font;
}

qreal PdfSheet::paragraph(const QString& text, const QFont& font, qreal x, qreal y, qreal width,
                          const QColor& colour, Qt::Alignment align, bool draw) {
    QTextLayout layout(text, font, device_);
    QTextOption option(align);
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    qreal height = 0;
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(toDevice(width));
        line.setPosition(QPointF(0, height));
        height += line.height();
    }
    layout.endLayout();
    if (draw) {
        if (drawn_)
            drawn_->append(text);
        painter_.setPen(colour);
        layout.draw(&painter_, QPointF(toDevice(x), toDevice(y)));
    }
    return toMm(height);
}

int PdfSheet::lineCount(const QString& text, const QFont& font, qreal width) const {
    QTextLayout layout(text, font, device_);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    int lines = 0;
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(toDevice(width));
        ++lines;
    }
    layout.endLayout();
    return lines;
}

QString PdfSheet::cutToLines(const QString& text, const QFont& font, qreal width,
                             int maxLines) const {
    if (lineCount(text, font, width) <= maxLines)
        return text;
    qsizetype kept = 0;
    for (qsizetype low = 0, high = text.size(); low < high;) {
        const qsizetype middle = (low + high + 1) / 2;
        if (lineCount(text.left(middle).trimmed() + kEllipsis, font, width) <= maxLines)
            low = kept = middle;
        else
            high = middle - 1;
    }
    if (kept > 0 && text[kept - 1].isHighSurrogate())
        --kept;
    return text.left(kept).trimmed() + kEllipsis;
}

qreal PdfSheet::boundedParagraph(const QString& text, const QFont& font, qreal x, qreal y,
                                 qreal width, int maxLines) {
    return paragraph(cutToLines(text, font, width, maxLines), font, x, y, width);
}

void PdfSheet::wholeCell(const QString& text, QFont font, const QRectF& box, Qt::Alignment align) {
    while (font.pointSizeF() > kCellMinPoints && !fitsLine(text, font, box.width()))
        font.setPointSizeF(font.pointSizeF() - 0.5);
    cell(text, font, box, align);
}

bool PdfSheet::fitsLine(const QString& text, const QFont& font, qreal width) const {
    return toMm(QFontMetricsF(font, device_).horizontalAdvance(text)) <= width - 2 * kCellPad;
}

void PdfSheet::cell(const QString& text, const QFont& font, const QRectF& box, Qt::Alignment align,
                    const QColor& colour) {
    const qreal pad = kCellPad;
    const QRectF inner(toDevice(box.x() + pad), toDevice(box.y()), toDevice(box.width() - 2 * pad),
                       toDevice(box.height()));
    const QString shown =
        QFontMetricsF(font, device_).elidedText(text, Qt::ElideRight, inner.width());
    if (drawn_)
        drawn_->append(shown);
    painter_.setFont(font);
    painter_.setPen(colour);
    painter_.drawText(inner, int(align | Qt::AlignVCenter), shown);
}

void PdfSheet::line(const QString& text, const QFont& font, qreal x, qreal y, qreal width,
                    Qt::Alignment align, const QColor& colour) {
    const QFontMetricsF metrics(font, device_);
    painter_.setFont(font);
    painter_.setPen(colour);
    painter_.drawText(QRectF(toDevice(x), toDevice(y), toDevice(width), metrics.height()),
                      int(align), metrics.elidedText(text, Qt::ElideRight, toDevice(width)));
}

qreal PdfSheet::lineHeight(const QFont& font) const {
    return toMm(QFontMetricsF(font, device_).height());
}

void PdfSheet::fill(const QRectF& box, const QColor& colour) {
    painter_.fillRect(
        QRectF(toDevice(box.x()), toDevice(box.y()), toDevice(box.width()), toDevice(box.height())),
        colour);
}

void PdfSheet::rule(qreal x1, qreal y1, qreal x2, qreal y2, qreal widthMm, const QColor& colour) {
    painter_.setPen(QPen(colour, toDevice(widthMm)));
    painter_.drawLine(QPointF(toDevice(x1), toDevice(y1)), QPointF(toDevice(x2), toDevice(y2)));
}

void PdfSheet::frame(const QRectF& box, qreal widthMm) {
    painter_.setPen(QPen(kInk, toDevice(widthMm)));
    painter_.setBrush(Qt::NoBrush);
    painter_.drawRect(QRectF(toDevice(box.x()), toDevice(box.y()), toDevice(box.width()),
                             toDevice(box.height())));
}

void PdfSheet::signatures(qreal top, const QString& technician, const NameWriter& name) {
    const QFont heading = font(10, true);
    const QFont label = font(8.5);
    const qreal columnWidth = 80;
    const struct {
        QString title;
        QString name;
        qreal x;
    } parties[] = {
        {QStringLiteral("Technician"), technician, kLeft},
        {QStringLiteral("Customer"), QString(), kLeft + kWidth - columnWidth},
    };
    for (const auto& party : parties) {
        qreal y = top + 6;
        paragraph(party.title, heading, party.x, top, columnWidth);
        for (const QString& field :
             {QStringLiteral("Name"), QStringLiteral("Signature"), QStringLiteral("Date")}) {
            y += field == QLatin1String("Signature") ? 10 : 7;
            paragraph(field, label, party.x, y - 3.6, 20, kMuted);
            if (field == QLatin1String("Name") && !party.name.isEmpty())
                name(party.name, party.x + 20, y, columnWidth - 20);
            rule(party.x + 20, y, party.x + columnWidth, y, 0.25, kInk);
        }
    }
}
