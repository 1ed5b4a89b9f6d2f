#pragma once
// A page of the records' PDFs drawn in millimetres: A4 in portrait at
// 600 dpi, text in kRecordFontFamily laid out by Qt without ligatures
// (PreferNoShaping), so the PDF's text layer gives back the words as
// written. The commissioning record and the site summary draw on it; each
// keeps its own layout. QtGui only.

#include <QColor>
#include <QFont>
#include <QPainter>
#include <QRectF>
#include <QString>
#include <functional>

class QPdfWriter;

namespace pdfsheet {

// Millimetres on the page.
constexpr qreal kPageWidth = 210;
constexpr qreal kPageHeight = 297;
constexpr qreal kLeft = 18;
constexpr qreal kTop = 16;
constexpr qreal kWidth = kPageWidth - 2 * kLeft;
constexpr qreal kBottom = kPageHeight - 14;
constexpr int kDpi = 600;
// The signatures' block: its height above the foot of the text.
constexpr qreal kSignaturesHeight = 46;
constexpr qreal kCellPad = 1.2;
constexpr qreal kCellMinPoints = 6;

const QString kDash = QStringLiteral("\u2014");
const QString kEllipsis = QStringLiteral("\u2026");

const QColor kInk(0, 0, 0);
const QColor kMuted(80, 80, 80);
const QColor kRule(120, 120, 120);
const QColor kHeaderFill(225, 225, 225);

// text, or a dash when it is empty.
QString orDash(const QString& text);

// The writer set to A4 in portrait without margins at kDpi, with the
// document's title and "ktr6ctl VERSION" as its creator.
void setUpA4(QPdfWriter& writer, const QString& title, const QString& version);

// "File NAME.pdf · its data and SHA-256 in NAME.json": the footer's line
// for the PDF at path and its twin.
QString footerText(const QString& pdfPath);

} // namespace pdfsheet

class PdfSheet {
public:
    // drawn, when given, collects the texts drawn by paragraph() and cell().
    explicit PdfSheet(QPdfWriter* writer, QString* drawn = nullptr);

    bool isActive() const { return painter_.isActive(); }
    bool newPage();
    void end() { painter_.end(); }

    static qreal toDevice(qreal mm) { return mm * pdfsheet::kDpi / 25.4; }
    static qreal toMm(qreal device) { return device * 25.4 / pdfsheet::kDpi; }

    QFont font(qreal points, bool bold = false) const;

    // A paragraph in a column of the given width, wrapped at word
    // boundaries (anywhere in a word longer than a line); returns its height.
    // draw false only measures.
    qreal paragraph(const QString& text, const QFont& font, qreal x, qreal y, qreal width,
                    const QColor& colour = pdfsheet::kInk, Qt::Alignment align = Qt::AlignLeft,
                    bool draw = true);
    // How many lines text takes wrapped in a column of the given width.
    int lineCount(const QString& text, const QFont& font, qreal width) const;
    // The text, or as much of it as fits in maxLines lines followed by "…".
    QString cutToLines(const QString& text, const QFont& font, qreal width, int maxLines) const;
    // A paragraph of at most maxLines lines: the rest cut with "…".
    qreal boundedParagraph(const QString& text, const QFont& font, qreal x, qreal y, qreal width,
                           int maxLines);

    // A cell whose text is never cut: set smaller, down to kCellMinPoints,
    // until it fits on one line.
    void wholeCell(const QString& text, QFont font, const QRectF& box, Qt::Alignment align);
    // Whether text fits on one line of a cell of the given width.
    bool fitsLine(const QString& text, const QFont& font, qreal width) const;
    // One line in a cell, kCellPad in from its sides, cut with "…" where it
    // does not fit, centred vertically.
    void cell(const QString& text, const QFont& font, const QRectF& box, Qt::Alignment align,
              const QColor& colour = pdfsheet::kInk);
    // One line from (x, y) down, cut with "…" where it does not fit width.
    void line(const QString& text, const QFont& font, qreal x, qreal y, qreal width,
              Qt::Alignment align = Qt::AlignLeft, const QColor& colour = pdfsheet::kInk);

    qreal lineHeight(const QFont& font) const;
    void fill(const QRectF& box, const QColor& colour);
    void rule(qreal x1, qreal y1, qreal x2, qreal y2, qreal widthMm = 0.25,
              const QColor& colour = pdfsheet::kRule);
    void frame(const QRectF& box, qreal widthMm);

    // The signatures' block from top: the technician (named when technician
    // is not empty) on the left, the customer on the right, each a title
    // and Name, Signature and Date on rules. name(text, x, y, width) writes
    // the technician's name on the Name rule at y, from x, width long.
    using NameWriter = std::function<void(const QString&, qreal, qreal, qreal)>;
    void signatures(qreal top, const QString& technician, const NameWriter& name);

private:
    QPdfWriter* device_;
    QPainter painter_;
    QString* drawn_;
};
