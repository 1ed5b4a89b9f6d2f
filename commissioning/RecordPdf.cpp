#include "RecordPdf.h"

#include "Coefficient.h"

#include <QBuffer>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QLocale>
#include <QPageLayout>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QTextLayout>
#include <QTextOption>
#include <iterator>

namespace {

// Millimetres on the page; A4 portrait.
constexpr qreal kPageWidth = 210;
constexpr qreal kPageHeight = 297;
constexpr qreal kLeft = 18;
constexpr qreal kTop = 16;
constexpr qreal kWidth = kPageWidth - 2 * kLeft;
constexpr qreal kBottom = kPageHeight - 14;
constexpr int kDpi = 600;

const QString kDash = QStringLiteral("\u2014");

const QColor kInk(0, 0, 0);
const QColor kMuted(80, 80, 80);
const QColor kRule(120, 120, 120);
const QColor kHeaderFill(225, 225, 225);
const QColor kStripe(243, 243, 243);

// Draws on the page in millimetres, text laid out by Qt without ligatures
// (PreferNoShaping), so the PDF's text layer gives back the words as written.
class Sheet {
public:
    explicit Sheet(QPdfWriter* writer) : device_(writer), painter_(writer) {}

    bool isActive() const { return painter_.isActive(); }
    void end() { painter_.end(); }

    static qreal toDevice(qreal mm) { return mm * kDpi / 25.4; }
    static qreal toMm(qreal device) { return device * 25.4 / kDpi; }

    QFont font(qreal points, bool bold = false) const {
        QFont font(kRecordFontFamily);
        font.setPointSizeF(points);
        font.setBold(bold);
        font.setStyleStrategy(QFont::PreferNoShaping);
        return font;
    }

    // A paragraph in a column of the given width, wrapped at word
    // boundaries (anywhere in a word longer than a line); returns its height.
    // draw false only measures.
    qreal paragraph(const QString& text, const QFont& font, qreal x, qreal y, qreal width,
                    const QColor& colour = kInk, Qt::Alignment align = Qt::AlignLeft,
                    bool draw = true) {
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
            painter_.setPen(colour);
            layout.draw(&painter_, QPointF(toDevice(x), toDevice(y)));
        }
        return toMm(height);
    }

    // One line in a cell, cut with "…" where it does not fit, centred
    // vertically.
    void cell(const QString& text, const QFont& font, const QRectF& box, Qt::Alignment align,
              const QColor& colour = kInk) {
        const qreal pad = 1.2;
        const QRectF inner(toDevice(box.x() + pad), toDevice(box.y()),
                           toDevice(box.width() - 2 * pad), toDevice(box.height()));
        const QString shown =
            QFontMetricsF(font, device_).elidedText(text, Qt::ElideRight, inner.width());
        painter_.setFont(font);
        painter_.setPen(colour);
        painter_.drawText(inner, int(align | Qt::AlignVCenter), shown);
    }

    qreal lineHeight(const QFont& font) const {
        return toMm(QFontMetricsF(font, device_).height());
    }

    void fill(const QRectF& box, const QColor& colour) {
        painter_.fillRect(QRectF(toDevice(box.x()), toDevice(box.y()), toDevice(box.width()),
                                 toDevice(box.height())),
                          colour);
    }
    void rule(qreal x1, qreal y1, qreal x2, qreal y2, qreal widthMm = 0.25,
              const QColor& colour = kRule) {
        painter_.setPen(QPen(colour, toDevice(widthMm)));
        painter_.drawLine(QPointF(toDevice(x1), toDevice(y1)), QPointF(toDevice(x2), toDevice(y2)));
    }
    void frame(const QRectF& box, qreal widthMm) {
        painter_.setPen(QPen(kInk, toDevice(widthMm)));
        painter_.setBrush(Qt::NoBrush);
        painter_.drawRect(QRectF(toDevice(box.x()), toDevice(box.y()), toDevice(box.width()),
                                 toDevice(box.height())));
    }

private:
    QPdfWriter* device_;
    QPainter painter_;
};

QString orDash(const QString& text) {
    return text.isEmpty() ? kDash : text;
}

QString signWord(const std::array<int32_t, 3>& row) {
    return row[Others::kSignColumn] == 1 ? QStringLiteral("plus") : QStringLiteral("minus");
}

// A relative error for a person: three significant digits, "0" when exact.
QString relativeErrorText(double error) {
    return QLocale::c().toString(error, 'g', 3);
}

struct Column {
    QString title;
    qreal width;
    Qt::Alignment align;
};

// The details at the top: label and value, the value wrapped in its column.
qreal drawDetails(Sheet& sheet, const CommissionRecord& record, qreal y) {
    const QFont label = sheet.font(9.5);
    const QFont value = sheet.font(9.5);
    const qreal labelWidth = 33;
    const ParameterSet* firmwareSource = record.after    ? &*record.after
                                         : record.before ? &*record.before
                                                         : nullptr;
    const std::pair<QString, QString> rows[] = {
        {QStringLiteral("Date and time"), recordTimeText(record.time)},
        {QStringLiteral("Site"), orDash(record.site)},
        {QStringLiteral("Relay"), orDash(record.relay)},
        {QStringLiteral("Technician"), orDash(record.technician)},
        {QStringLiteral("Computer"), orDash(record.host)},
        {QStringLiteral("Program"), QStringLiteral("ktr6ctl, version ") + record.version},
        {QStringLiteral("Port"), portText(record.port)},
        {QStringLiteral("Line settings"), lineSettingsText(record.port)},
        {QStringLiteral("Firmware"),
         firmwareSource ? QStringLiteral("SW ") + firmwareSource->firmwareVersion : kDash},
    };
    for (const auto& [name, text] : rows) {
        sheet.paragraph(name, label, kLeft, y, labelWidth, kMuted);
        y += sheet.paragraph(text, value, kLeft + labelWidth, y, kWidth - labelWidth) + 1.1;
    }
    return y;
}

// The inputs table: the input's name, six columns of the plan, three of
// what the device held before.
const Column kInputColumns[] = {
    {QStringLiteral("Input"), 12, Qt::AlignLeft},
    {QStringLiteral("Sign"), 14, Qt::AlignLeft},
    {QStringLiteral("Numerator"), 19, Qt::AlignRight},
    {QStringLiteral("Divisor"), 15.5, Qt::AlignRight},
    {QStringLiteral("Per impulse"), 20.5, Qt::AlignRight},
    {QStringLiteral("Intended"), 22, Qt::AlignRight},
    {QStringLiteral("Rel. error"), 18, Qt::AlignRight},
    {QStringLiteral("Sign"), 14, Qt::AlignLeft},
    {QStringLiteral("Numerator"), 19.5, Qt::AlignRight},
    {QStringLiteral("Divisor"), 19.5, Qt::AlignRight},
};
constexpr int kPlanColumns = 7; // the input's name and six of the plan
constexpr qreal kInputHeaderHeight = 5;
constexpr qreal kInputRowHeight = 6;

// Where the "before" columns start.
qreal beforeColumnsX() {
    qreal x = 0;
    for (int c = 0; c < kPlanColumns; ++c)
        x += kInputColumns[c].width;
    return kLeft + x;
}

// Two header rows: the groups, then the columns; returns where they end.
qreal drawInputsHeader(Sheet& sheet, qreal y, qreal beforeX, const QFont& heading) {
    const qreal nameWidth = kInputColumns[0].width;
    sheet.fill(QRectF(kLeft, y, kWidth, 2 * kInputHeaderHeight), kHeaderFill);
    sheet.cell(QStringLiteral("Plan (the set written)"), heading,
               QRectF(kLeft + nameWidth, y, beforeX - kLeft - nameWidth, kInputHeaderHeight),
               Qt::AlignLeft);
    sheet.cell(QStringLiteral("Before (the device)"), heading,
               QRectF(beforeX, y, kLeft + kWidth - beforeX, kInputHeaderHeight), Qt::AlignLeft);
    sheet.rule(kLeft + nameWidth, y + kInputHeaderHeight, beforeX - 1.5, y + kInputHeaderHeight);
    sheet.rule(beforeX + 1.5, y + kInputHeaderHeight, kLeft + kWidth, y + kInputHeaderHeight);
    y += kInputHeaderHeight;
    qreal x = kLeft;
    for (const Column& column : kInputColumns) {
        sheet.cell(column.title, heading, QRectF(x, y, column.width, kInputHeaderHeight),
                   column.align);
        x += column.width;
    }
    return y + kInputHeaderHeight;
}

// Input i's cells, one per column of kInputColumns.
QStringList inputRowTexts(const CommissionRecord& record, int i) {
    const auto& row = record.plan.set.table[i];
    const std::optional<IntendedAmount> intended = intendedAmount(record.plan, i);
    const bool minus = row[Others::kSignColumn] != 1;
    QStringList texts = {
        QStringLiteral("IN %1").arg(i + 1),
        signWord(row),
        QString::number(row[Others::kNumeratorColumn]),
        QString::number(row[Others::kDivisorColumn]),
        row[Others::kDivisorColumn] == 0 ? kDash : coefficientText(row),
        intended ? (minus ? QStringLiteral("-") : QString()) + intended->text.trimmed() : QString(),
        !intended                 ? QString()
        : intended->relativeError ? relativeErrorText(*intended->relativeError)
                                  : kDash,
    };
    const auto* before = record.before ? &record.before->table[i] : nullptr;
    texts << (before ? signWord(*before) : kDash)
          << (before ? QString::number((*before)[Others::kNumeratorColumn]) : kDash)
          << (before ? QString::number((*before)[Others::kDivisorColumn]) : kDash);
    return texts;
}

// Input i's row at y, striped every other row; a plan value that differs
// from what the device held is set in bold.
void drawInputRow(Sheet& sheet, const CommissionRecord& record, int i, qreal y, const QFont& body,
                  const QFont& changed) {
    const QStringList texts = inputRowTexts(record, i);
    const auto& row = record.plan.set.table[i];
    const auto* before = record.before ? &record.before->table[i] : nullptr;
    const int planColumnOf[] = {-1, Others::kSignColumn, Others::kNumeratorColumn,
                                Others::kDivisorColumn};
    if (i % 2 == 1)
        sheet.fill(QRectF(kLeft, y, kWidth, kInputRowHeight), kStripe);
    qreal x = kLeft;
    for (int c = 0; c < int(std::size(kInputColumns)); ++c) {
        const bool differs =
            before && c >= 1 && c <= 3 && (*before)[planColumnOf[c]] != row[planColumnOf[c]];
        sheet.cell(texts[c], differs ? changed : body,
                   QRectF(x, y, kInputColumns[c].width, kInputRowHeight), kInputColumns[c].align);
        x += kInputColumns[c].width;
    }
}

qreal drawInputs(Sheet& sheet, const CommissionRecord& record, qreal y) {
    const qreal beforeX = beforeColumnsX();
    const QFont heading = sheet.font(7.5, true);
    const QFont body = sheet.font(9.5);
    const QFont changed = sheet.font(9.5, true);
    y = drawInputsHeader(sheet, y, beforeX, heading);
    const qreal tableTop = y - 2 * kInputHeaderHeight;
    for (int i = 0; i < Others::kInputs; ++i) {
        drawInputRow(sheet, record, i, y, body, changed);
        y += kInputRowHeight;
    }
    sheet.rule(kLeft, tableTop, kLeft + kWidth, tableTop, 0.35, kInk);
    sheet.rule(kLeft, y, kLeft + kWidth, y, 0.35, kInk);
    sheet.rule(beforeX, tableTop, beforeX, y, 0.25);
    y += 1.2;
    y += sheet.paragraph(
        QStringLiteral("Per impulse: numerator \u00F7 divisor with its sign. Intended: the amount "
                       "per impulse the plan names; Rel. error: |numerator \u00F7 divisor \u2212 "
                       "intended| \u00F7 intended. Bold: a plan value that differs from the "
                       "device's value before the run."),
        sheet.font(7.5), kLeft, y, kWidth, kMuted);
    return y;
}

qreal drawOutput(Sheet& sheet, const CommissionRecord& record, qreal y) {
    const QFont heading = sheet.font(8, true);
    const QFont body = sheet.font(9.5);
    const qreal height = 6;
    const qreal nameWidth = 40;
    const qreal valueWidth = 24;
    const QString values[] = {
        QString::number(record.plan.set.output),
        record.before ? QString::number(record.before->output) : kDash,
        record.after ? QString::number(record.after->output) : kDash,
    };
    const QString titles[] = {QStringLiteral("Plan"), QStringLiteral("Before"),
                              QStringLiteral("After")};
    sheet.fill(QRectF(kLeft, y, nameWidth + 3 * valueWidth, height - 1), kHeaderFill);
    for (int c = 0; c < 3; ++c)
        sheet.cell(titles[c], heading,
                   QRectF(kLeft + nameWidth + c * valueWidth, y, valueWidth, height - 1),
                   Qt::AlignRight);
    y += height - 1;
    sheet.cell(QStringLiteral("Output value"), body, QRectF(kLeft, y, nameWidth, height),
               Qt::AlignLeft);
    const bool changed = record.before && record.before->output != record.plan.set.output;
    for (int c = 0; c < 3; ++c)
        sheet.cell(values[c], c == 0 && changed ? sheet.font(9.5, true) : body,
                   QRectF(kLeft + nameWidth + c * valueWidth, y, valueWidth, height),
                   Qt::AlignRight);
    y += height;
    sheet.rule(kLeft, y, kLeft + nameWidth + 3 * valueWidth, y, 0.35, kInk);
    return y;
}

// The result line in a box; a long one (many differences) in a smaller
// size, so that it ends above bottom.
qreal drawResult(Sheet& sheet, const CommissionRecord& record, qreal y, qreal bottom) {
    const bool verified =
        record.outcome == Outcome::Verified || record.outcome == Outcome::Unchanged;
    const qreal pad = 2.5;
    const QString text = resultLine(record);
    QFont font;
    qreal height = 0;
    for (qreal points = 11; points >= 6; points -= 0.5) {
        font = sheet.font(points, true);
        height = sheet.paragraph(text, font, kLeft + pad, y + pad, kWidth - 2 * pad, kInk,
                                 Qt::AlignLeft, false) +
                 2 * pad;
        if (y + height <= bottom)
            break;
    }
    if (!verified)
        sheet.fill(QRectF(kLeft, y, kWidth, height), kStripe);
    sheet.frame(QRectF(kLeft, y, kWidth, height), verified ? 0.35 : 0.9);
    sheet.paragraph(text, font, kLeft + pad, y + pad, kWidth - 2 * pad);
    return y + height;
}

// Ruled lines for the technician's remarks in the room left above the
// signatures.
void drawRemarks(Sheet& sheet, qreal top, qreal bottom) {
    constexpr qreal kLineGap = 8;
    if (bottom - top < 6 + kLineGap)
        return;
    sheet.paragraph(QStringLiteral("Remarks"), sheet.font(11, true), kLeft, top, kWidth);
    for (qreal y = top + 6 + kLineGap; y <= bottom; y += kLineGap)
        sheet.rule(kLeft, y, kLeft + kWidth, y, 0.2);
}

// Signature and date lines for both parties, at the foot of the page.
void drawSignatures(Sheet& sheet, const CommissionRecord& record, qreal top) {
    const QFont heading = sheet.font(10, true);
    const QFont label = sheet.font(8.5);
    const QFont name = sheet.font(9.5);
    const qreal columnWidth = 80;
    const struct {
        QString title;
        QString name;
        qreal x;
    } parties[] = {
        {QStringLiteral("Technician"), record.technician, kLeft},
        {QStringLiteral("Customer"), QString(), kLeft + kWidth - columnWidth},
    };
    for (const auto& party : parties) {
        qreal y = top;
        sheet.paragraph(party.title, heading, party.x, y, columnWidth);
        y += 6;
        for (const QString& line :
             {QStringLiteral("Name"), QStringLiteral("Signature"), QStringLiteral("Date")}) {
            y += line == QLatin1String("Signature") ? 10 : 7;
            sheet.paragraph(line, label, party.x, y - 3.6, 20, kMuted);
            if (line == QLatin1String("Name") && !party.name.isEmpty())
                sheet.cell(party.name, name, QRectF(party.x + 20, y - 5.5, columnWidth - 20, 5.5),
                           Qt::AlignLeft);
            sheet.rule(party.x + 20, y, party.x + columnWidth, y, 0.25, kInk);
        }
    }
}

void drawFooter(Sheet& sheet, const CommissionRecord& record) {
    const QFileInfo pdf(record.pdf);
    const QString twin = pdf.completeBaseName() + QStringLiteral(".json");
    const QFont font = sheet.font(7);
    const qreal y = kBottom - 3.5;
    sheet.rule(kLeft, y - 1, kLeft + kWidth, y - 1, 0.2);
    sheet.cell(
        QStringLiteral("File %1 \u00B7 its data and SHA-256 in %2").arg(pdf.fileName(), twin), font,
        QRectF(kLeft - 1.2, y, kWidth + 2.4, 3.5), Qt::AlignLeft, kMuted);
}

} // namespace

QByteArray recordPdf(const CommissionRecord& record, QString* warning) {
    warning->clear();
    if (!QFontDatabase::families().contains(kRecordFontFamily))
        *warning = QStringLiteral("the font %1 is not installed (Debian package "
                                  "fonts-dejavu-core); letters beyond Latin may print wrongly")
                       .arg(kRecordFontFamily);

    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    QPdfWriter writer(&buffer);
    writer.setResolution(kDpi);
    writer.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait,
                                     QMarginsF(0, 0, 0, 0), QPageLayout::Millimeter));
    writer.setTitle(QStringLiteral("KTR6 commissioning record"));
    writer.setCreator(QStringLiteral("ktr6ctl ") + record.version);
    {
        Sheet sheet(&writer);
        if (!sheet.isActive())
            return {};
        qreal y = kTop;
        y += sheet.paragraph(QStringLiteral("KTR6 commissioning record"), sheet.font(18, true),
                             kLeft, y, kWidth);
        y += sheet.paragraph(QStringLiteral("The parameter set of an Orvelt KTR6 impulse summing "
                                            "relay, as written and read back."),
                             sheet.font(9), kLeft, y, kWidth, kMuted) +
             2;
        sheet.rule(kLeft, y, kLeft + kWidth, y, 0.5, kInk);
        y = drawDetails(sheet, record, y + 3) + 3;
        y += sheet.paragraph(QStringLiteral("Inputs"), sheet.font(11, true), kLeft, y, kWidth) + 1;
        y = drawInputs(sheet, record, y) + 4;
        y += sheet.paragraph(QStringLiteral("Output"), sheet.font(11, true), kLeft, y, kWidth) + 1;
        y = drawOutput(sheet, record, y) + 5;
        y += sheet.paragraph(QStringLiteral("Result"), sheet.font(11, true), kLeft, y, kWidth) + 1;
        constexpr qreal kSignaturesTop = kBottom - 46;
        y = drawResult(sheet, record, y, kSignaturesTop - 4) + 6;
        drawRemarks(sheet, y, kSignaturesTop - 8);
        drawSignatures(sheet, record, kSignaturesTop);
        drawFooter(sheet, record);
        sheet.end();
    }
    return buffer.data();
}
