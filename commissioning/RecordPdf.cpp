#include "RecordPdf.h"

#include "Coefficient.h"
#include "PdfSheet.h"

#include <QBuffer>
#include <QFontDatabase>
#include <QLocale>
#include <QPdfWriter>
#include <QRawFont>
#include <algorithm>
#include <initializer_list>
#include <iterator>
#include <span>
#include <vector>

namespace {

using namespace pdfsheet;

// Where the signatures begin; nothing above may reach it.
constexpr qreal kSignaturesTop = kBottom - kSignaturesHeight;

const QColor kStripe(243, 243, 243);

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
qreal drawDetails(PdfSheet& sheet, const CommissionRecord& record, qreal y) {
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
    // Two lines hold a label of kLabelMaxLength characters; a longer text (a
    // device path) is cut there, and stays whole in the twin.
    for (const auto& [name, text] : rows) {
        sheet.paragraph(name, label, kLeft, y, labelWidth, kMuted);
        y += sheet.boundedParagraph(text, value, kLeft + labelWidth, y, kWidth - labelWidth, 2) +
             0.8;
    }
    return y;
}

// The inputs table's columns in groups: the input's name and six of the
// plan, then the sign, numerator and divisor of a set the device holds.
const Column kPlanGroup[] = {
    {QStringLiteral("Input"), 10, Qt::AlignLeft},
    {QStringLiteral("Sign"), 11.5, Qt::AlignLeft},
    {QStringLiteral("Num."), 12, Qt::AlignRight},
    {QStringLiteral("Div."), 12, Qt::AlignRight},
    {QStringLiteral("Per impulse"), 20, Qt::AlignRight},
    {QStringLiteral("Intended"), 21.5, Qt::AlignRight},
    {QStringLiteral("Rel. error"), 16, Qt::AlignRight},
};
const Column kSetGroup[] = {
    {QStringLiteral("Sign"), 11.5, Qt::AlignLeft},
    {QStringLiteral("Num."), 12, Qt::AlignRight},
    {QStringLiteral("Div."), 12, Qt::AlignRight},
};
const Column kMatchGroup[] = {{QStringLiteral("Matches the plan"), 35.5, Qt::AlignLeft}};

std::vector<Column> joinColumns(std::initializer_list<std::span<const Column>> groups) {
    std::vector<Column> columns;
    for (const std::span<const Column> group : groups)
        columns.insert(columns.end(), group.begin(), group.end());
    return columns;
}

// A commission's: the plan, the set the device held before and the one
// read back after. An audit's: the plan, what the device holds, and
// whether the two agree.
const std::vector<Column> kInputColumns = joinColumns({kPlanGroup, kSetGroup, kSetGroup});
const std::vector<Column> kAuditColumns = joinColumns({kPlanGroup, kSetGroup, kMatchGroup});
constexpr int kPlanColumns = 7;  // the input's name and six of the plan
constexpr int kBeforeColumn = 7; // then sign, numerator and divisor before
constexpr int kAfterColumn = 10; // and after (an audit: whether they match)
constexpr int kIntendedColumn = 5;
constexpr qreal kInputHeaderHeight = 5;
constexpr qreal kInputRowHeight = 5.5;
constexpr qreal kBodyPoints = 8.5;
// An intended amount that does not fit its cell at this size goes whole
// into a note under the table.
constexpr qreal kIntendedMinPoints = 7;
// The notes' height, within which their size goes down to 5 points.
constexpr qreal kNotesMaxHeight = 22;

bool isAudit(const CommissionRecord& record) {
    return record.kind == RecordKind::Audit;
}

std::span<const Column> inputColumns(const CommissionRecord& record) {
    if (isAudit(record))
        return kAuditColumns;
    return kInputColumns;
}

qreal columnX(std::span<const Column> columns, int column) {
    qreal x = kLeft;
    for (int c = 0; c < column; ++c)
        x += columns[c].width;
    return x;
}

QString planHeading(const CommissionRecord& record) {
    return planWrite(record) == PlanWrite::Nothing ? QStringLiteral("Plan (nothing written)")
                                                   : QStringLiteral("Plan (written)");
}

// Two header rows: the groups, then the columns; returns where they end.
qreal drawInputsHeader(PdfSheet& sheet, const CommissionRecord& record, qreal y,
                       const QFont& heading) {
    sheet.fill(QRectF(kLeft, y, kWidth, 2 * kInputHeaderHeight), kHeaderFill);
    const std::span<const Column> columns = inputColumns(record);
    const int columnCount = int(columns.size());
    const std::pair<QString, int> groups[] = {
        {isAudit(record) ? QStringLiteral("Plan") : planHeading(record), 1},
        {isAudit(record) ? QStringLiteral("The device (read)")
                         : QStringLiteral("Before (the device)"),
         kBeforeColumn},
        {isAudit(record) ? QStringLiteral("Compared") : QStringLiteral("After (read back)"),
         kAfterColumn},
    };
    const int ends[] = {kBeforeColumn, kAfterColumn, columnCount};
    for (int g = 0; g < 3; ++g) {
        const qreal x = columnX(columns, groups[g].second);
        const qreal end = columnX(columns, ends[g]);
        sheet.wholeCell(groups[g].first, heading, QRectF(x, y, end - x, kInputHeaderHeight),
                        Qt::AlignLeft);
        sheet.rule(x + (g == 0 ? 0 : 1.5), y + kInputHeaderHeight, end - (g == 2 ? 0 : 1.5),
                   y + kInputHeaderHeight);
    }
    y += kInputHeaderHeight;
    for (int c = 0; c < columnCount; ++c)
        sheet.wholeCell(columns[c].title, heading,
                        QRectF(columnX(columns, c), y, columns[c].width, kInputHeaderHeight),
                        columns[c].align);
    return y + kInputHeaderHeight;
}

// Sign, numerator and divisor of input i in a set, or dashes without one.
QStringList setTexts(const std::optional<ParameterSet>& set, int i) {
    if (!set)
        return {kDash, kDash, kDash};
    const auto& row = set->table[i];
    return {signWord(row), QString::number(row[Others::kNumeratorColumn]),
            QString::number(row[Others::kDivisorColumn])};
}

// Whether input i of the set read agrees with the plan: "yes", or "no: "
// and the fields that do not; a dash when nothing was read.
QString matchText(const CommissionRecord& record, int i) {
    if (!record.before)
        return kDash;
    const std::pair<int, QString> fields[] = {{Others::kSignColumn, QStringLiteral("sign")},
                                              {Others::kNumeratorColumn, QStringLiteral("num.")},
                                              {Others::kDivisorColumn, QStringLiteral("div.")}};
    QStringList differing;
    for (const auto& [column, name] : fields) {
        if (record.before->table[i][column] != record.plan.set.table[i][column])
            differing << name;
    }
    return differing.isEmpty() ? QStringLiteral("yes")
                               : QStringLiteral("no: ") + differing.join(QStringLiteral(", "));
}

// text, or when it does not fit a cell of the given width even at
// minPoints, "note N" with text whole in *notes as "(N) IN i what text":
// amounts and fractions are never cut.
QString wholeOrNote(const PdfSheet& sheet, const QString& text, qreal width, qreal minPoints, int i,
                    const QString& what, QStringList* notes) {
    if (sheet.fitsLine(text, sheet.font(minPoints), width))
        return text;
    *notes << QStringLiteral("(%1) IN %2 %3 %4")
                  .arg(QString::number(notes->size() + 1), QString::number(i + 1), what, text);
    return QStringLiteral("note %1").arg(notes->size());
}

// Input i's cells, one per column of inputColumns(); an intended amount too
// long for its cell is named by its note ("note 2") and added to *notes.
QStringList inputRowTexts(PdfSheet& sheet, const CommissionRecord& record, int i,
                          QStringList* notes) {
    const auto& row = record.plan.set.table[i];
    const std::optional<IntendedAmount> intended = intendedAmount(record.plan, i);
    const bool minus = row[Others::kSignColumn] != 1;
    const QString amount = wholeOrNote(
        sheet,
        intended ? (minus ? QStringLiteral("-") : QString()) + intended->text.trimmed() : QString(),
        kInputColumns[kIntendedColumn].width, kIntendedMinPoints, i, QStringLiteral("intended"),
        notes);
    QString error;
    if (intended)
        error = !intended->relativeError ? kDash
                : intended->outOfReach
                    ? relativeErrorText(*intended->relativeError) + QStringLiteral(" !")
                    : relativeErrorText(*intended->relativeError);
    return QStringList{QStringLiteral("IN %1").arg(i + 1),
                       signWord(row),
                       QString::number(row[Others::kNumeratorColumn]),
                       QString::number(row[Others::kDivisorColumn]),
                       row[Others::kDivisorColumn] == 0 ? kDash : coefficientText(row),
                       amount,
                       error} +
           setTexts(record.before, i) +
           (isAudit(record) ? QStringList{matchText(record, i)} : setTexts(record.after, i));
}

// Whether cell c of input i is set in bold: a plan value that differs from
// what the device held before, an after value that differs from the plan, a
// relative error beyond the tolerance; in an audit, a value the device holds
// that differs from the plan, and "no".
bool boldCell(const CommissionRecord& record, int i, int c) {
    const int setColumnOf[] = {Others::kSignColumn, Others::kNumeratorColumn,
                               Others::kDivisorColumn};
    const auto& plan = record.plan.set.table[i];
    if (isAudit(record) && c >= kBeforeColumn && record.before)
        return c == kAfterColumn ? matchText(record, i) != QLatin1String("yes")
                                 : record.before->table[i][setColumnOf[c - kBeforeColumn]] !=
                                       plan[setColumnOf[c - kBeforeColumn]];
    if (c >= 1 && c <= 3 && record.before && !isAudit(record))
        return record.before->table[i][setColumnOf[c - 1]] != plan[setColumnOf[c - 1]];
    if (c >= kAfterColumn && record.after)
        return record.after->table[i][setColumnOf[c - kAfterColumn]] !=
               plan[setColumnOf[c - kAfterColumn]];
    if (c == kPlanColumns - 1) {
        const std::optional<IntendedAmount> intended = intendedAmount(record.plan, i);
        return intended && intended->outOfReach;
    }
    return false;
}

// Input i's row at y, striped every other row.
void drawInputRow(PdfSheet& sheet, const CommissionRecord& record, int i, qreal y,
                  QStringList* notes) {
    const QStringList texts = inputRowTexts(sheet, record, i, notes);
    if (i % 2 == 1)
        sheet.fill(QRectF(kLeft, y, kWidth, kInputRowHeight), kStripe);
    const std::span<const Column> columns = inputColumns(record);
    for (int c = 0; c < int(columns.size()); ++c)
        sheet.wholeCell(texts[c], sheet.font(kBodyPoints, boldCell(record, i, c)),
                        QRectF(columnX(columns, c), y, columns[c].width, kInputRowHeight),
                        columns[c].align);
}

// The amounts and facts too long for their cells, whole, in a size that
// keeps them within maxHeight (5 points and more while kNotesMaxHeight
// holds them, 4.5 at the least).
qreal drawNotes(PdfSheet& sheet, const QStringList& notes, qreal y, qreal maxHeight,
                bool draw = true) {
    if (notes.isEmpty())
        return 0;
    const QString text = notes.join(QStringLiteral("; "));
    QFont font = sheet.font(7.5);
    while (font.pointSizeF() > 4.5 &&
           sheet.paragraph(text, font, kLeft, y, kWidth, kInk, Qt::AlignLeft, false) > maxHeight)
        font.setPointSizeF(font.pointSizeF() - 0.5);
    return sheet.paragraph(text, font, kLeft, y, kWidth, kInk, Qt::AlignLeft, draw) + 0.8;
}

// What each input counts, as the plan says it: a table under the inputs
// with a row for each input the plan gives a label, unit or meter facts.
const Column kMeaningColumns[] = {
    {QStringLiteral("Input"), 10, Qt::AlignLeft},
    {QStringLiteral("What it counts"), 63, Qt::AlignLeft},
    {QStringLiteral("Unit"), 26, Qt::AlignLeft},
    {QStringLiteral("Meter constant"), 40, Qt::AlignRight},
    {QStringLiteral("CT"), 15, Qt::AlignRight},
    {QStringLiteral("VT"), 20, Qt::AlignRight},
};
constexpr int kMeaningColumnCount = int(std::size(kMeaningColumns));
constexpr int kLabelColumn = 1;
// Above and below each row's text: more in a larger size, 0.4 mm at 6 points.
qreal meaningPad(const QFont& font) {
    return 0.4 + (font.pointSizeF() - kCellMinPoints) * 0.3;
}
// The room kept under the inputs for the output and the result.
constexpr qreal kRoomAfterInputs = 44;

struct MeaningRow {
    QStringList texts; // one per column of kMeaningColumns
};

qreal meaningX(int column) {
    qreal x = kLeft;
    for (int c = 0; c < column; ++c)
        x += kMeaningColumns[c].width;
    return x;
}

// "10000 per kWh": the impulses the meter counts per unit of its register.
QString meterConstantText(const InputMeaning& meaning) {
    const QString per =
        meterConstantUnit(meaning.unit, !meaning.ct.isEmpty() || !meaning.vt.isEmpty());
    const QString constant = meaning.meterConstant.trimmed();
    return per.isEmpty() || constant.isEmpty() ? constant
                                               : constant + QStringLiteral(" per ") + per;
}

// The rows of the inputs the plan says something of; facts too long for
// their cells go whole into *notes.
std::vector<MeaningRow> meaningRows(const PdfSheet& sheet, const CommissionRecord& record,
                                    QStringList* notes) {
    std::vector<MeaningRow> rows;
    for (int i = 0; i < Others::kInputs; ++i) {
        const InputMeaning& meaning = record.plan.meanings[i];
        if (meaning.label.isEmpty() && meaning.unit.isEmpty() && meaning.meterConstant.isEmpty())
            continue;
        const std::pair<QString, QString> facts[] = {
            {QStringLiteral("meter constant"), meterConstantText(meaning)},
            {QStringLiteral("CT"), meaning.ct.trimmed()},
            {QStringLiteral("VT"), meaning.vt.trimmed()},
        };
        MeaningRow row{{QStringLiteral("IN %1").arg(i + 1), meaning.label, meaning.unit}};
        for (int f = 0; f < 3; ++f)
            row.texts << wholeOrNote(sheet, facts[f].second, kMeaningColumns[3 + f].width,
                                     kCellMinPoints, i, facts[f].first, notes);
        rows.push_back(row);
    }
    return rows;
}

// The table's height with labels of at most labelLines lines in font.
qreal meaningsHeight(const PdfSheet& sheet, const std::vector<MeaningRow>& rows, const QFont& font,
                     int labelLines) {
    if (rows.empty())
        return 0;
    const qreal line = sheet.lineHeight(font);
    qreal height = line + 2 * meaningPad(font);
    const qreal width = kMeaningColumns[kLabelColumn].width - 2 * kCellPad;
    for (const MeaningRow& row : rows)
        height += std::clamp(sheet.lineCount(row.texts[kLabelColumn], font, width), 1, labelLines) *
                      line +
                  2 * meaningPad(font);
    return height;
}

// One row of the meanings table at y, each cell on the label's first line;
// returns where it ends.
qreal drawMeaningRow(PdfSheet& sheet, const MeaningRow& row, const QFont& font, int labelLines,
                     qreal y, bool stripe) {
    const qreal line = sheet.lineHeight(font);
    const qreal labelWidth = kMeaningColumns[kLabelColumn].width - 2 * kCellPad;
    const qreal height =
        std::clamp(sheet.lineCount(row.texts[kLabelColumn], font, labelWidth), 1, labelLines) *
        line;
    if (stripe)
        sheet.fill(QRectF(kLeft, y, kWidth, height + 2 * meaningPad(font)), kStripe);
    sheet.boundedParagraph(row.texts[kLabelColumn], font, meaningX(kLabelColumn) + kCellPad,
                           y + meaningPad(font), labelWidth, labelLines);
    for (int c = 0; c < kMeaningColumnCount; ++c)
        if (c != kLabelColumn)
            sheet.wholeCell(
                row.texts[c], font,
                QRectF(meaningX(c), y + meaningPad(font), kMeaningColumns[c].width, line),
                kMeaningColumns[c].align);
    return y + height + 2 * meaningPad(font);
}

// The table in the largest size, and with labels of two lines where they
// can be, that keeps it within room; returns where it ends.
qreal drawMeanings(PdfSheet& sheet, const std::vector<MeaningRow>& rows, qreal y, qreal room) {
    if (rows.empty())
        return y;
    QFont font = sheet.font(kBodyPoints);
    int labelLines = 2;
    while (meaningsHeight(sheet, rows, font, labelLines) > room &&
           (font.pointSizeF() > 6 || labelLines > 1)) {
        if (font.pointSizeF() > 6)
            font.setPointSizeF(font.pointSizeF() - 0.5);
        else
            labelLines = 1;
    }
    const QFont heading = sheet.font(std::min(font.pointSizeF(), 7.5), true);
    const qreal line = sheet.lineHeight(font);
    const qreal tableTop = y;
    sheet.fill(QRectF(kLeft, y, kWidth, line + 2 * meaningPad(font)), kHeaderFill);
    for (int c = 0; c < kMeaningColumnCount; ++c)
        sheet.wholeCell(kMeaningColumns[c].title, heading,
                        QRectF(meaningX(c), y + meaningPad(font), kMeaningColumns[c].width, line),
                        kMeaningColumns[c].align);
    y += line + 2 * meaningPad(font);
    for (size_t r = 0; r < rows.size(); ++r)
        y = drawMeaningRow(sheet, rows[r], font, labelLines, y, r % 2 == 1);
    sheet.rule(kLeft, tableTop, kLeft + kWidth, tableTop, 0.35, kInk);
    sheet.rule(kLeft, y, kLeft + kWidth, y, 0.35, kInk);
    return y;
}

// The key under the inputs.
QString inputsKey(const CommissionRecord& record) {
    return QStringLiteral(
               "Per impulse: numerator \u00F7 divisor with its sign. Intended: the amount "
               "per impulse the plan names; Rel. error: |numerator \u00F7 divisor \u2212 "
               "intended| \u00F7 intended, \"!\" beyond the tolerance %1. %2")
        .arg(relativeErrorText(record.plan.tolerance.value()),
             isAudit(record)
                 ? QStringLiteral("Bold: a value the device holds that differs from the plan.")
                 : QStringLiteral("Bold: a plan value that differs from the device's before the "
                                  "run, a value read back that differs from the plan."));
}

// The inputs table, what each input counts, the notes and the key, the
// second table set smaller where the page needs its room.
qreal drawInputs(PdfSheet& sheet, const CommissionRecord& record, qreal y) {
    const qreal tableTop = y;
    y = drawInputsHeader(sheet, record, y, sheet.font(7.5, true));
    QStringList notes;
    for (int i = 0; i < Others::kInputs; ++i) {
        drawInputRow(sheet, record, i, y, &notes);
        y += kInputRowHeight;
    }
    sheet.rule(kLeft, tableTop, kLeft + kWidth, tableTop, 0.35, kInk);
    sheet.rule(kLeft, y, kLeft + kWidth, y, 0.35, kInk);
    for (const int c : {kBeforeColumn, kAfterColumn})
        sheet.rule(columnX(inputColumns(record), c), tableTop, columnX(inputColumns(record), c), y,
                   0.25);
    y += 1.2;
    const std::vector<MeaningRow> meanings = meaningRows(sheet, record, &notes);
    const QString key = inputsKey(record);
    const qreal room = kSignaturesTop - kRoomAfterInputs - y;
    QFont keyFont = sheet.font(7.5);
    qreal notesRoom = kNotesMaxHeight;
    auto keyHeight = [&] {
        return sheet.paragraph(key, keyFont, kLeft, y, kWidth, kMuted, Qt::AlignLeft, false);
    };
    // A crowded page (long labels above, long amounts) sets the key and the
    // notes smaller before the meanings lose their labels' second lines.
    const qreal fewest = meaningsHeight(sheet, meanings, sheet.font(kCellMinPoints), 1);
    if (fewest + drawNotes(sheet, notes, y, notesRoom, false) + keyHeight() > room) {
        keyFont.setPointSizeF(6.5);
        notesRoom = std::max(8.0, room - fewest - keyHeight());
    }
    y = drawMeanings(sheet, meanings, y,
                     room - drawNotes(sheet, notes, y, notesRoom, false) - keyHeight());
    if (!meanings.empty())
        y += 1.2;
    y += drawNotes(sheet, notes, y, notesRoom);
    return y + sheet.paragraph(key, keyFont, kLeft, y, kWidth, kMuted);
}

qreal drawOutput(PdfSheet& sheet, const CommissionRecord& record, qreal y) {
    const QFont heading = sheet.font(8, true);
    const QFont body = sheet.font(9.5);
    const qreal height = 6;
    const qreal nameWidth = 40;
    const qreal valueWidth = 24;
    const QString matches = !record.before ? kDash
                            : record.before->output == record.plan.set.output
                                ? QStringLiteral("yes")
                                : QStringLiteral("no");
    const QString values[] = {
        QString::number(record.plan.set.output),
        record.before ? QString::number(record.before->output) : kDash,
        isAudit(record) ? matches
        : record.after  ? QString::number(record.after->output)
                        : kDash,
    };
    const QString titles[] = {QStringLiteral("Plan"),
                              isAudit(record) ? QStringLiteral("Device") : QStringLiteral("Before"),
                              isAudit(record) ? QStringLiteral("Matches")
                                              : QStringLiteral("After")};
    sheet.fill(QRectF(kLeft, y, nameWidth + 3 * valueWidth, height - 1), kHeaderFill);
    for (int c = 0; c < 3; ++c)
        sheet.cell(titles[c], heading,
                   QRectF(kLeft + nameWidth + c * valueWidth, y, valueWidth, height - 1),
                   Qt::AlignRight);
    y += height - 1;
    sheet.cell(QStringLiteral("Output value"), body, QRectF(kLeft, y, nameWidth, height),
               Qt::AlignLeft);
    const bool changed = record.before && record.before->output != record.plan.set.output;
    const int boldColumn = isAudit(record) ? 1 : 0; // an audit: the device's value
    for (int c = 0; c < 3; ++c)
        sheet.cell(
            values[c],
            (c == boldColumn || (isAudit(record) && c == 2)) && changed ? sheet.font(9.5, true)
                                                                        : body,
            QRectF(kLeft + nameWidth + c * valueWidth, y, valueWidth, height), Qt::AlignRight);
    y += height;
    sheet.rule(kLeft, y, kLeft + nameWidth + 3 * valueWidth, y, 0.35, kInk);
    return y;
}

// The result line, and after a write that went out unanswered what that
// leaves the device in.
QString resultText(const CommissionRecord& record) {
    QString text = resultLine(record);
    if (planWrite(record) == PlanWrite::Unknown)
        text += QStringLiteral(". The set the device now holds is unknown: read it before the "
                               "relay is used.");
    return text;
}

// The result in a box that ends above bottom: a long one (many
// differences) in a smaller size, down to 5.5 points; what still does not
// fit is cut with "…" (the twin holds it whole).
qreal drawResult(PdfSheet& sheet, const CommissionRecord& record, qreal y, qreal bottom) {
    const bool verified = record.outcome == Outcome::Verified ||
                          record.outcome == Outcome::Unchanged ||
                          record.outcome == Outcome::Matches;
    const qreal pad = 2.5;
    const qreal textWidth = kWidth - 2 * pad;
    QString text = resultText(record);
    QFont font;
    qreal height = 0;
    for (qreal points = 11; points >= 5.5; points -= 0.5) {
        font = sheet.font(points, true);
        height = sheet.paragraph(text, font, kLeft + pad, y + pad, textWidth, kInk, Qt::AlignLeft,
                                 false) +
                 2 * pad;
        if (y + height <= bottom)
            break;
    }
    if (y + height > bottom) {
        const int lines = std::max(1, int((bottom - y - 2 * pad) / sheet.lineHeight(font)));
        text = sheet.cutToLines(text, font, textWidth, lines);
        height = sheet.paragraph(text, font, kLeft + pad, y + pad, textWidth, kInk, Qt::AlignLeft,
                                 false) +
                 2 * pad;
    }
    if (!verified)
        sheet.fill(QRectF(kLeft, y, kWidth, height), kStripe);
    sheet.frame(QRectF(kLeft, y, kWidth, height), verified ? 0.35 : 0.9);
    sheet.paragraph(text, font, kLeft + pad, y + pad, textWidth);
    return y + height;
}

// Ruled lines for the technician's remarks in the room left above the
// signatures.
void drawRemarks(PdfSheet& sheet, qreal top, qreal bottom) {
    constexpr qreal kLineGap = 8;
    if (bottom - top < 6 + kLineGap)
        return;
    sheet.paragraph(QStringLiteral("Remarks"), sheet.font(11, true), kLeft, top, kWidth);
    for (qreal y = top + 6 + kLineGap; y <= bottom; y += kLineGap)
        sheet.rule(kLeft, y, kLeft + kWidth, y, 0.2);
}

// Signature and date lines for both parties, at the foot of the page.
void drawSignatures(PdfSheet& sheet, const CommissionRecord& record, qreal top) {
    const QFont name = sheet.font(9.5);
    sheet.signatures(top, record.technician,
                     [&](const QString& text, qreal x, qreal y, qreal width) {
                         sheet.cell(text, name, QRectF(x, y - 5.5, width, 5.5), Qt::AlignLeft);
                     });
}

void drawFooter(PdfSheet& sheet, const CommissionRecord& record) {
    const qreal y = kBottom - 3.5;
    sheet.rule(kLeft, y - 1, kLeft + kWidth, y - 1, 0.2);
    sheet.cell(footerText(record.pdf), sheet.font(7), QRectF(kLeft - 1.2, y, kWidth + 2.4, 3.5),
               Qt::AlignLeft, kMuted);
}

QString recordTitle(const CommissionRecord& record) {
    return isAudit(record) ? QStringLiteral("KTR6 audit record")
                           : QStringLiteral("KTR6 commissioning record");
}

} // namespace

namespace {

// The page; drawn, when given, collects every text on it.
QByteArray drawRecord(const CommissionRecord& record, QString* drawn) {
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    QPdfWriter writer(&buffer);
    setUpA4(writer, recordTitle(record), record.version);
    {
        PdfSheet sheet(&writer, drawn);
        if (!sheet.isActive())
            return {};
        qreal y = kTop;
        y += sheet.paragraph(recordTitle(record), sheet.font(18, true), kLeft, y, kWidth);
        y += sheet.paragraph(isAudit(record)
                                 ? QStringLiteral("The parameter set of an Orvelt KTR6 impulse "
                                                  "summing relay, as read and compared with the "
                                                  "plan; nothing was written to it.")
                                 : QStringLiteral("The parameter set of an Orvelt KTR6 impulse "
                                                  "summing relay, as written and read back."),
                             sheet.font(9), kLeft, y, kWidth, kMuted) +
             2;
        sheet.rule(kLeft, y, kLeft + kWidth, y, 0.5, kInk);
        y = drawDetails(sheet, record, y + 3) + 3;
        y += sheet.paragraph(QStringLiteral("Inputs"), sheet.font(11, true), kLeft, y, kWidth) + 1;
        y = drawInputs(sheet, record, y) + 4;
        y += sheet.paragraph(QStringLiteral("Output"), sheet.font(11, true), kLeft, y, kWidth) + 1;
        y = drawOutput(sheet, record, y) + 5;
        y += sheet.paragraph(QStringLiteral("Result"), sheet.font(11, true), kLeft, y, kWidth) + 1;
        y = drawResult(sheet, record, y, kSignaturesTop - 4) + 6;
        drawRemarks(sheet, y, kSignaturesTop - 8);
        drawSignatures(sheet, record, kSignaturesTop);
        drawFooter(sheet, record);
        sheet.end();
    }
    return buffer.data();
}

// Whether some installed font has a glyph for a character, the record's own
// family first. Qt draws a character its font lacks in another installed
// font that has it, and an empty box where none has it.
class FontCoverage {
public:
    FontCoverage() : families_(QFontDatabase::families()) {
        families_.removeAll(kRecordFontFamily);
        families_.prepend(kRecordFontFamily);
    }
    bool covers(char32_t c) {
        for (qsizetype i = 0; i < families_.size(); ++i) {
            if (fonts_.size() <= i) {
                QFont font(families_[i]);
                font.setStyleStrategy(QFont::NoFontMerging);
                fonts_.push_back(QRawFont::fromFont(font));
            }
            // A font engine without a character map is Qt's box drawer.
            const QRawFont& raw = fonts_[i];
            if (raw.isValid() && !raw.fontTable("cmap").isEmpty() && raw.supportsCharacter(c))
                return true;
        }
        return false;
    }

private:
    QStringList families_;
    QList<QRawFont> fonts_;
};

QString codePoint(char32_t c) {
    return QStringLiteral("U+%1").arg(
        QString::number(uint(c), 16).toUpper().rightJustified(4, QLatin1Char('0')));
}

} // namespace

QByteArray recordPdf(const CommissionRecord& record, QString* warning) {
    warning->clear();
    if (!QFontDatabase::families().contains(kRecordFontFamily))
        *warning = QStringLiteral("the font %1 is not installed (Debian package "
                                  "fonts-dejavu-core); another installed font stands in for it")
                       .arg(kRecordFontFamily);
    return drawRecord(record, nullptr);
}

QString recordFontProblem(const CommissionRecord& record) {
    FontCoverage coverage;
    if (!coverage.covers(U'A'))
        return QStringLiteral("no font is installed (none that fontconfig finds has Latin "
                              "letters), and the record would print as empty boxes; install %1 "
                              "(Debian package fonts-dejavu-core)")
            .arg(kRecordFontFamily);
    QString drawn;
    drawRecord(record, &drawn);
    // The plan's own texts too, whether the page shows them whole or not.
    for (const InputMeaning& meaning : record.plan.meanings)
        drawn += meaning.label + meaning.unit;
    QList<char32_t> missing;
    for (const char32_t c : drawn.toUcs4()) {
        if (!QChar::isSpace(c) && !missing.contains(c) && !coverage.covers(c))
            missing.push_back(c);
    }
    if (missing.isEmpty())
        return {};
    QStringList shown;
    for (const char32_t c : missing.mid(0, 8))
        shown << QStringLiteral("\"%1\" (%2)").arg(QString::fromUcs4(&c, 1), codePoint(c));
    if (missing.size() > 8)
        shown << QStringLiteral("%1 more").arg(QString::number(missing.size() - 8));
    return QStringLiteral("no installed font has %1, which the record needs; install a font "
                          "that has them (%2, Debian package fonts-dejavu-core, has Latin, "
                          "Greek and Cyrillic letters)")
        .arg(shown.join(QStringLiteral(", ")), kRecordFontFamily);
}
