#include "SiteSummary.h"

#include "Record.h"
#include "RecordPdf.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QPageLayout>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QTextLayout>
#include <map>

namespace {

// Millimetres on an A4 page in portrait, as the record has them.
constexpr qreal kLeft = 18;
constexpr qreal kTop = 16;
constexpr qreal kWidth = 210 - 2 * kLeft;
constexpr qreal kBottom = 297 - 14;
constexpr qreal kFooterTop = kBottom - 4.5;
constexpr qreal kSignaturesHeight = 46;
constexpr int kDpi = 600;

const QColor kInk(0, 0, 0);
const QColor kMuted(80, 80, 80);
const QColor kRule(120, 120, 120);
const QColor kStripe(240, 240, 240);

// Text and lines in millimetres; text laid out without ligatures, so the
// text layer gives back the words as written.
class Page {
public:
    explicit Page(QPdfWriter* writer) : device_(writer), painter_(writer) {}
    bool isActive() const { return painter_.isActive(); }
    bool newPage() { return device_->newPage(); }
    void end() { painter_.end(); }

    static qreal dev(qreal mm) { return mm * kDpi / 25.4; }
    static qreal mm(qreal device) { return device * 25.4 / kDpi; }

    QFont font(qreal points, bool bold = false) const {
        QFont font(kRecordFontFamily);
        font.setPointSizeF(points);
        font.setBold(bold);
        font.setStyleStrategy(QFont::PreferNoShaping);
        return font;
    }

    // A paragraph wrapped in a column; its height. draw false only measures.
    qreal text(const QString& text, const QFont& font, qreal x, qreal y, qreal width,
               const QColor& colour = kInk, bool draw = true) {
        QTextLayout layout(text, font, device_);
        QTextOption option;
        option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
        layout.setTextOption(option);
        layout.beginLayout();
        qreal height = 0;
        for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
            line.setLineWidth(dev(width));
            line.setPosition(QPointF(0, height));
            height += line.height();
        }
        layout.endLayout();
        if (draw) {
            painter_.setPen(colour);
            layout.draw(&painter_, QPointF(dev(x), dev(y)));
        }
        return mm(height);
    }

    // One line, cut with "…" where it does not fit width.
    void line(const QString& text, const QFont& font, qreal x, qreal y, qreal width,
              Qt::Alignment align = Qt::AlignLeft, const QColor& colour = kInk) {
        const QFontMetricsF metrics(font, device_);
        painter_.setFont(font);
        painter_.setPen(colour);
        painter_.drawText(QRectF(dev(x), dev(y), dev(width), metrics.height()), int(align),
                          metrics.elidedText(text, Qt::ElideRight, dev(width)));
    }

    void rule(qreal x1, qreal y, qreal x2, qreal widthMm = 0.25, const QColor& colour = kRule) {
        painter_.setPen(QPen(colour, dev(widthMm)));
        painter_.drawLine(QPointF(dev(x1), dev(y)), QPointF(dev(x2), dev(y)));
    }
    void fill(const QRectF& box, const QColor& colour) {
        painter_.fillRect(QRectF(dev(box.x()), dev(box.y()), dev(box.width()), dev(box.height())),
                          colour);
    }

private:
    QPdfWriter* device_;
    QPainter painter_;
};

QString orDash(const QString& text) {
    return text.isEmpty() ? QStringLiteral("\u2014") : text;
}

// The columns of a relay's first line: number, label, port, firmware, outcome.
constexpr qreal kColumns[] = {7, 55, 44, 18, 50};

// A relay's block: its first line in columns, then what was written, why
// (when there is something to say) and its record.
qreal drawRelay(Page& page, const SiteSummary& summary, int number, qreal y, bool draw) {
    const RelayResult& relay = summary.relays[number - 1];
    const QFont cell = page.font(9);
    const QFont small = page.font(7.5);
    const QFont hash = page.font(6.5);
    if (draw && number % 2 == 0)
        page.fill(QRectF(kLeft, y, kWidth, drawRelay(page, summary, number, y, false)), kStripe);
    const QString texts[] = {QString::number(number), relay.label, relay.portText,
                             orDash(relay.firmware), relay.outcome};
    qreal x = kLeft + 1;
    qreal height = 0.8;
    for (size_t c = 0; c < std::size(texts); ++c) {
        const QFont& font = c == 4 ? page.font(9, true) : cell;
        if (draw)
            page.line(texts[c], font, x, y + height, kColumns[c] - 1.5);
        x += kColumns[c];
    }
    height += 4.6;
    const qreal indent = kLeft + 1 + kColumns[0];
    const qreal width = kWidth - kColumns[0] - 2;
    QString word = summary.setWord;
    word[0] = word[0].toUpper();
    QStringList lines{word + QStringLiteral(": ") + relay.written};
    if (!relay.detail.isEmpty())
        lines << (relay.verdict == RelayVerdict::Differs ? QStringLiteral("Differences: ")
                                                         : QStringLiteral("Why: ")) +
                     relay.detail;
    for (const QString& text : lines)
        height += page.text(text, small, indent, y + height, width, kInk, draw);
    const QString record = relay.record.isEmpty()
                               ? QStringLiteral("Record: none")
                               : QStringLiteral("Record: %1  SHA-256 %2")
                                     .arg(relay.record, QString::fromLatin1(relay.recordSha256));
    height += page.text(record, hash, indent, y + height, width, kMuted, draw) + 0.8;
    if (draw)
        page.rule(kLeft, y + height, kLeft + kWidth, 0.15);
    return height;
}

qreal drawHeading(Page& page, const SiteSummary& summary, qreal y) {
    y += page.text(summary.title, page.font(18, true), kLeft, y, kWidth);
    y += 1;
    const QFont label = page.font(9);
    const QFont value = page.font(9.5, true);
    const QString rows[][2] = {
        {QStringLiteral("Site"), summary.site},
        {QStringLiteral("Technician"), orDash(summary.technician)},
        {QStringLiteral("Time"), recordTimeText(summary.time)},
        {QStringLiteral("Computer"),
         QStringLiteral("%1, ktr6ctl %2").arg(summary.host, summary.version)},
        {QStringLiteral("Site file"),
         QStringLiteral("%1  SHA-256 %2")
             .arg(QFileInfo(summary.siteFile).fileName(), QString::fromLatin1(summary.siteSha256))},
        {QStringLiteral("Relays"),
         QStringLiteral("%1: %2").arg(QString::number(summary.relays.size()),
                                      siteCounts(summary.relays))},
    };
    for (const auto& row : rows) {
        page.text(row[0], label, kLeft, y, 30, kMuted);
        y += page.text(row[1], row[0] == QLatin1String("Site file") ? page.font(7.5) : value,
                       kLeft + 30, y, kWidth - 30) +
             0.6;
    }
    y += 2;
    const QString heads[] = {QStringLiteral("#"), QStringLiteral("Relay"), QStringLiteral("Port"),
                             QStringLiteral("Firmware"), QStringLiteral("Outcome")};
    qreal x = kLeft + 1;
    for (size_t c = 0; c < std::size(heads); ++c) {
        page.line(heads[c], page.font(8.5, true), x, y, kColumns[c] - 1.5, Qt::AlignLeft, kMuted);
        x += kColumns[c];
    }
    y += 4.6;
    page.rule(kLeft, y, kLeft + kWidth, 0.4, kInk);
    return y + 0.4;
}

void drawSignatures(Page& page, const SiteSummary& summary, qreal top) {
    const qreal columnWidth = 80;
    const struct {
        QString title;
        QString name;
        qreal x;
    } parties[] = {
        {QStringLiteral("Technician"), summary.technician, kLeft},
        {QStringLiteral("Customer"), QString(), kLeft + kWidth - columnWidth},
    };
    for (const auto& party : parties) {
        qreal y = top + 6;
        page.text(party.title, page.font(10, true), party.x, top, columnWidth);
        for (const QString& line :
             {QStringLiteral("Name"), QStringLiteral("Signature"), QStringLiteral("Date")}) {
            y += line == QLatin1String("Signature") ? 10 : 7;
            page.text(line, page.font(8.5), party.x, y - 3.6, 20, kMuted);
            if (line == QLatin1String("Name") && !party.name.isEmpty())
                page.line(party.name, page.font(9.5), party.x + 20, y - 4.6, columnWidth - 20);
            page.rule(party.x + 20, y, party.x + columnWidth, 0.25, kInk);
        }
    }
}

void drawFooter(Page& page, const SiteSummary& summary, int pageNumber, int pages) {
    const QFileInfo pdf(summary.pdf);
    const QFont font = page.font(7);
    page.rule(kLeft, kFooterTop - 1, kLeft + kWidth, 0.2);
    page.line(QStringLiteral("File %1 \u00B7 its data and SHA-256 in %2.json")
                  .arg(pdf.fileName(), pdf.completeBaseName()),
              font, kLeft, kFooterTop, kWidth - 20, Qt::AlignLeft, kMuted);
    page.line(QStringLiteral("%1 / %2").arg(pageNumber).arg(pages), page.font(8), kLeft, kFooterTop,
              kWidth, Qt::AlignRight, kMuted);
}

// Where each relay's block goes: its page (from 0) and top; the last
// entry is the signatures'.
struct Placement {
    int page;
    qreal y;
};

std::vector<Placement> layOut(Page& page, const SiteSummary& summary, qreal firstTop) {
    std::vector<Placement> places;
    const qreal pageEnd = kFooterTop - 3;
    int at = 0;
    qreal y = firstTop;
    for (int i = 0; i < summary.relays.size(); ++i) {
        const qreal height = drawRelay(page, summary, i + 1, 0, false);
        if (y + height > pageEnd && y > firstTop) {
            ++at;
            y = firstTop;
        }
        places.push_back({at, y});
        y += height;
    }
    if (y + 6 + kSignaturesHeight > pageEnd)
        ++at;
    places.push_back({at, pageEnd - kSignaturesHeight});
    return places;
}

// Every page: the heading, its relays, the footer; the last, the signatures.
bool drawPages(Page& page, const SiteSummary& summary) {
    const qreal firstTop = drawHeading(page, summary, kTop);
    const std::vector<Placement> places = layOut(page, summary, firstTop);
    const int pages = places.back().page + 1;
    for (int p = 0; p < pages; ++p) {
        if (p > 0) {
            if (!page.newPage())
                return false;
            drawHeading(page, summary, kTop);
        }
        for (int i = 0; i < summary.relays.size(); ++i) {
            if (places[size_t(i)].page == p)
                drawRelay(page, summary, i + 1, places[size_t(i)].y, true);
        }
        if (p == pages - 1)
            drawSignatures(page, summary, places.back().y);
        drawFooter(page, summary, p + 1, pages);
    }
    return true;
}

QByteArray str(const QString& text) {
    return text.isEmpty() ? QByteArray("null") : jsonString(text);
}

QByteArray relayJson(const RelayResult& relay, const QByteArray& setWord) {
    const std::pair<const char*, QByteArray> entries[] = {
        {"label", jsonString(relay.label)},
        {"port", QByteArray::number(relay.port)},
        {"port_text", jsonString(relay.portText)},
        {"firmware", str(relay.firmware)},
        {"outcome", jsonString(relay.outcome)},
        {"detail", str(relay.detail)},
        {setWord.constData(), str(relay.written)},
        {"plan_sha256", str(QString::fromLatin1(relay.planSha256))},
        {"record", str(relay.record)},
        {"record_sha256", str(QString::fromLatin1(relay.recordSha256))},
    };
    QByteArrayList parts;
    for (const auto& [key, value] : entries)
        parts << '"' + QByteArray(key) + "\":" + value;
    return "    {" + parts.join(", ") + '}';
}

} // namespace

QString siteCounts(const QList<RelayResult>& relays) {
    QStringList order;
    std::map<QString, int> counts;
    for (const RelayResult& relay : relays) {
        if (counts[relay.outcome]++ == 0)
            order << relay.outcome;
    }
    QStringList parts;
    for (const QString& outcome : order)
        parts << QStringLiteral("%1 %2").arg(QString::number(counts[outcome]), outcome);
    return parts.join(QStringLiteral(", "));
}

QByteArray siteSummaryPdf(const SiteSummary& summary, QString* warning) {
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
    writer.setTitle(summary.title);
    writer.setCreator(QStringLiteral("ktr6ctl ") + summary.version);
    {
        Page page(&writer);
        if (!page.isActive() || !drawPages(page, summary))
            return {};
        page.end();
    }
    return buffer.data();
}

QByteArray siteSummaryJson(const SiteSummary& summary, const QByteArray& pdfSha256) {
    QByteArrayList relays;
    for (const RelayResult& relay : summary.relays)
        relays << relayJson(relay, summary.setWord.toLatin1());
    const std::pair<const char*, QByteArray> entries[] = {
        {"kind", jsonString(summary.kind)},
        {"site", jsonString(summary.site)},
        {"time", jsonString(isoTime(summary.time))},
        {"technician", str(summary.technician)},
        {"host", jsonString(summary.host)},
        {"version", jsonString(summary.version)},
        {"site_file", jsonString(summary.siteFile)},
        {"site_sha256", jsonString(QString::fromLatin1(summary.siteSha256))},
        {"relays", "[\n" + relays.join(",\n") + "\n  ]"},
        {"pdf", jsonString(summary.pdf)},
        {"pdf_sha256", jsonString(QString::fromLatin1(pdfSha256))},
    };
    QByteArrayList parts;
    for (const auto& [key, value] : entries)
        parts << "  \"" + QByteArray(key) + "\": " + value;
    return "{\n" + parts.join(",\n") + "\n}\n";
}

RecordWriteResult writeSiteSummary(const SiteSummary& summary) {
    RecordWriteResult result;
    const QByteArray pdf = siteSummaryPdf(summary, &result.warning);
    QString error;
    if (pdf.isEmpty()) {
        result.errors << QStringLiteral("the site summary could not be drawn.");
        return result;
    }
    if (recordfiles::writeNewFile(summary.pdf, pdf, &error) != recordfiles::Placed::Written) {
        result.errors << error + QStringLiteral("; no site summary was written.");
        return result;
    }
    result.placed << summary.pdf;
    const QString json = summary.pdf.left(summary.pdf.size() - 4) + QStringLiteral(".json");
    const QByteArray sha256 = QCryptographicHash::hash(pdf, QCryptographicHash::Sha256).toHex();
    if (recordfiles::writeNewFile(json, siteSummaryJson(summary, sha256), &error) !=
        recordfiles::Placed::Written)
        result.errors
            << QStringLiteral("%1; the site summary %2 has no twin.").arg(error, summary.pdf);
    else
        result.placed << json;
    return result;
}
