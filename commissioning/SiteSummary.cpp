#include "SiteSummary.h"

#include "PdfSheet.h"
#include "Record.h"
#include "RecordPdf.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QFileInfo>
#include <QFontDatabase>
#include <QPdfWriter>
#include <map>

namespace {

using namespace pdfsheet;

constexpr qreal kFooterTop = kBottom - 4.5;

const QColor kStripe(240, 240, 240);

// The columns of a relay's first line: number, label, port, firmware, outcome.
constexpr qreal kColumns[] = {7, 55, 44, 18, 50};

// A relay's block: its first line in columns, then what was written, why
// (when there is something to say) and its record.
qreal drawRelay(PdfSheet& page, const SiteSummary& summary, int number, qreal y, bool draw) {
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
        height += page.paragraph(text, small, indent, y + height, width, kInk, Qt::AlignLeft, draw);
    const QString record = relay.record.isEmpty()
                               ? QStringLiteral("Record: none")
                               : QStringLiteral("Record: %1  SHA-256 %2")
                                     .arg(relay.record, QString::fromLatin1(relay.recordSha256));
    height +=
        page.paragraph(record, hash, indent, y + height, width, kMuted, Qt::AlignLeft, draw) + 0.8;
    if (draw)
        page.rule(kLeft, y + height, kLeft + kWidth, y + height, 0.15);
    return height;
}

qreal drawHeading(PdfSheet& page, const SiteSummary& summary, qreal y) {
    y += page.paragraph(summary.title, page.font(18, true), kLeft, y, kWidth);
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
        page.paragraph(row[0], label, kLeft, y, 30, kMuted);
        y += page.paragraph(row[1], row[0] == QLatin1String("Site file") ? page.font(7.5) : value,
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
    page.rule(kLeft, y, kLeft + kWidth, y, 0.4, kInk);
    return y + 0.4;
}

void drawSignatures(PdfSheet& page, const SiteSummary& summary, qreal top) {
    const QFont name = page.font(9.5);
    page.signatures(top, summary.technician,
                    [&](const QString& text, qreal x, qreal y, qreal width) {
                        page.line(text, name, x, y - 4.6, width);
                    });
}

void drawFooter(PdfSheet& page, const SiteSummary& summary, int pageNumber, int pages) {
    page.rule(kLeft, kFooterTop - 1, kLeft + kWidth, kFooterTop - 1, 0.2);
    page.line(footerText(summary.pdf), page.font(7), kLeft, kFooterTop, kWidth - 20, Qt::AlignLeft,
              kMuted);
    page.line(QStringLiteral("%1 / %2").arg(pageNumber).arg(pages), page.font(8), kLeft, kFooterTop,
              kWidth, Qt::AlignRight, kMuted);
}

// Where each relay's block goes: its page (from 0) and top; the last
// entry is the signatures'.
struct Placement {
    int page;
    qreal y;
};

std::vector<Placement> layOut(PdfSheet& page, const SiteSummary& summary, qreal firstTop) {
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
bool drawPages(PdfSheet& page, const SiteSummary& summary) {
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
    setUpA4(writer, summary.title, summary.version);
    {
        PdfSheet page(&writer);
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
