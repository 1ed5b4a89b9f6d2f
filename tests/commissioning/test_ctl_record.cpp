// The commissioning record as its readers meet it: the PDF read back by an
// independent reader (poppler's pdftotext, pdfinfo, pdffonts), its words
// laid out on one A4 page without overlapping, and the JSON twin.

#include "commissioning/Record.h"
#include "commissioning/RecordPdf.h"
#include "commissioning/SiteSummary.h"
#include "support/ScriptedPort.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimeZone>
#include <atomic>

namespace {

const QByteArray kPlanJson =
    R"({"firmware":"6","inputs":[{"numerator":1,"divisor":10,"minus":false,"amount":"40/400"},)"
    R"({"numerator":1,"divisor":4,"minus":true,"amount":0.25},)"
    R"({"numerator":1,"divisor":12,"minus":false,"amount":"0.0833333"},)"
    R"({"numerator":1,"divisor":1,"minus":false},{"numerator":2,"divisor":3,"minus":false},)"
    R"({"numerator":0,"divisor":0,"minus":false,"amount":"1"}],"output":7})";

ParameterSet beforeSet() {
    ParameterSet set;
    set.firmwareVersion = QStringLiteral("6");
    set.table = {{{1, 16, 1}, {0, 1, 4}, {1, 300, 65535}, {1, 1, 1}, {1, 2, 3}, {1, 1, 1}}};
    set.output = 5;
    return set;
}

CommissionRecord sampleRecord(Outcome outcome) {
    CommissionRecord record;
    record.time = QDateTime(QDate(2024, 5, 17), QTime(14, 3, 7), QTimeZone(7200));
    record.site = QStringLiteral("Rozvodňa Žilina");
    record.relay = QStringLiteral("KTR6 č. 0042");
    record.technician = QStringLiteral("J. Kováč");
    record.host = QStringLiteral("service-laptop");
    record.version = QStringLiteral("1.02");
    record.port = {4, QStringLiteral("/dev/ttyUSB0"), QStringLiteral("9600,N,8,1"), 0};
    record.outcome = outcome;
    QString error;
    record.plan = *parameterPlanFromJson(kPlanJson, &error);
    record.pdf = QStringLiteral("/records/ktr6-record-20240517-140307-COM4.pdf");
    record.pdfSha256 = QByteArray(64, 'a');
    if (outcome != Outcome::Failed) {
        record.before = beforeSet();
        record.after = record.plan.set;
        record.after->firmwareVersion = QStringLiteral("6");
    }
    if (outcome == Outcome::NotVerified) {
        record.after->output = 8;
        record.differences = {QStringLiteral("output: device 8, file 7")};
    }
    if (outcome == Outcome::Failed)
        record.reason =
            QStringLiteral("reading the device: COM4 (/dev/ttyUSB0): Permission denied");
    return record;
}

// A plan's amount of the most characters it may have: 0.1 and 197 zeros.
const QString kLongAmount = QStringLiteral("0.1") + QString(197, QLatin1Char('0'));

// The sample record changed as a case asks: "write failed" (the block went
// out, its read-back did not answer), "tight tolerance" (IN 3's amount
// beyond it), "long amounts" (every input's amount of 200 characters),
// "long path" (a device path of 1,000 characters in the port and the
// reason, and the write failed), "meanings" (three inputs say what they
// count), "full meanings" (every input a label of 80 characters, a unit of
// 16, a meter constant and both ratios), "zone Z" (the time in zone Z),
// "audit" (an audit's record).
void applyVariant(CommissionRecord& record, const QString& variant) {
    if (variant == QLatin1String("audit")) { // the set read: the plan's, or the one before
        record.kind = RecordKind::Audit;
        record.before = record.outcome == Outcome::Matches ? record.plan.set : beforeSet();
        record.after.reset();
        record.differences = parameterSetDifferences(*record.before, record.plan.set);
    }
    if (variant == QLatin1String("meanings")) {
        record.plan.meanings[0] = {QStringLiteral("Incomer T1, import"), QStringLiteral("kWh"),
                                   QStringLiteral("400"), QStringLiteral("200/5"), QString()};
        record.plan.meanings[2] = {QStringLiteral("Kotolňa, plyn"), QStringLiteral("m³"),
                                   QStringLiteral("12"), QString(), QString()};
        record.plan.meanings[5].label = QStringLiteral("Spare");
    }
    for (int i = 0; i < 6 && variant.contains(QLatin1String("full meanings")); ++i)
        record.plan.meanings[i] = {
            QStringLiteral("Prívod T%1, odber — činná energia, vstup č. %1 — ")
                .arg(i + 1)
                .repeated(2)
                .left(80),
            QStringLiteral("m³ zemného plynu"), "10000", "1500/5", "22000/100"};
    if (variant.startsWith(QLatin1String("zone ")))
        record.time =
            QDateTime(QDate(2015, 3, 10), QTime(9, 15), QTimeZone(variant.mid(5).toLatin1()));
    if (variant.contains(QLatin1String("write failed")) || variant == QLatin1String("long path")) {
        record.outcome = Outcome::Failed;
        record.before = beforeSet();
        record.after.reset();
        record.differences.clear();
        record.reason = QStringLiteral("writing the parameters: COM4 (%1): Input/output error")
                            .arg(record.port.device);
    }
    if (variant == QLatin1String("tight tolerance"))
        record.plan.tolerance = *parseTolerance(QStringLiteral("1e-7"), nullptr);
    if (variant.contains(QLatin1String("long amounts")) || variant == QLatin1String("long path"))
        for (QString& amount : record.plan.amounts)
            amount = kLongAmount;
    if (variant == QLatin1String("long path")) {
        record.port.device =
            QStringLiteral("/dev/serial/by-path/") + QString(980, QLatin1Char('p'));
        record.reason = QStringLiteral("writing the parameters: COM4 (%1): Input/output error")
                            .arg(record.port.device);
    }
}

// Runs a poppler tool on the PDF; its standard output.
QString poppler(const QString& tool, const QByteArray& pdf, QStringList args) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("record.pdf"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(pdf) != pdf.size())
        return {};
    file.close();
    QProcess process;
    args << path;
    if (tool == QLatin1String("pdftotext"))
        args << QStringLiteral("-");
    process.start(tool, args);
    if (!process.waitForFinished(20000) || process.exitCode() != 0)
        return QStringLiteral("%1 failed: %2")
            .arg(tool, QString::fromUtf8(process.readAllStandardError()));
    return QString::fromUtf8(process.readAllStandardOutput());
}

// The lines of the text layer, blanks run together.
QStringList textLines(const QByteArray& pdf) {
    QStringList lines;
    for (const QString& line : poppler(QStringLiteral("pdftotext"), pdf, {"-layout"}).split('\n'))
        if (!line.trimmed().isEmpty())
            lines << line.simplified();
    return lines;
}

QString lineStarting(const QStringList& lines, const QString& start) {
    for (const QString& line : lines)
        if (line.startsWith(start))
            return line;
    return {};
}

// A relay's job that notes what its thread was given and waits until every
// relay's exchange has begun: relays run one after another never all begin.
class BarrierJob : public RelayJob {
public:
    BarrierJob(const SiteRelay& relay, std::atomic<int>* begun, int relays)
        : relay_(relay), begun_(begun), relays_(relays) {}
    bool prepare(QString*) override { return true; }
    void exchange(MSComm& port, const Pause&, StopRequest*) override {
        line_ = QStringLiteral("%1 %2 hs%3")
                    .arg(port.CommPort())
                    .arg(port.Settings())
                    .arg(port.Handshaking());
        thread_ = QThread::currentThread();
        ++*begun_;
        QElapsedTimer waited;
        waited.start();
        while (*begun_ < relays_ && waited.elapsed() < 5000)
            QThread::msleep(1);
        together_ = *begun_ == relays_;
    }
    RelayResult finish() override {
        RelayResult result;
        result.label = relay_.label;
        result.detail = line_;
        result.outcome = together_ ? QStringLiteral("together") : QStringLiteral("alone");
        result.verdict =
            thread_ != QThread::currentThread() ? RelayVerdict::Good : RelayVerdict::Failed;
        return result;
    }

private:
    SiteRelay relay_;
    std::atomic<int>* begun_;
    int relays_;
    QString line_;
    QThread* thread_ = nullptr;
    bool together_ = false;
};

} // namespace

class CtlRecordTest : public QObject {
    Q_OBJECT
private slots:
    void pdfReadsBackAsText_data();
    void pdfReadsBackAsText();
    void pdfWordsStayOnThePageApart_data();
    void pdfWordsStayOnThePageApart();
    void twinHoldsEveryField();
    void siteRunsEveryRelayAtOnce();
    void siteSummaryRunsOverPages();
};

void CtlRecordTest::pdfReadsBackAsText_data() {
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QString>("variant");     // see applyVariant
    QTest::addColumn<QStringList>("lines");   // lines of the text layer, blanks run together
    QTest::addColumn<QStringList>("phrases"); // in the text, lines joined by blanks; "!..." not

    const QStringList common = {
        "KTR6 commissioning record",
        "Date and time 2024-05-17 14:03:07 UTC+02:00",
        "Site Rozvodňa Žilina",
        "Relay KTR6 č. 0042",
        "Technician J. Kováč",
        "Computer service-laptop",
        "Program ktr6ctl, version 1.02",
        "Port COM4 (/dev/ttyUSB0)",
        "Line settings 9600 baud, 8 data bits, no parity, 1 stop bit, handshaking none",
        "Input Sign Num. Div. Per impulse Intended Rel. error Sign Num. Div. Sign Num. Div.",
        "File ktr6-record-20240517-140307-COM4.pdf · its data and SHA-256 in "
        "ktr6-record-20240517-140307-COM4.json",
    };
    const QStringList planRows = {
        "IN 1 plus 1 10 0.1 40/400 0",
        "IN 2 minus 1 4 -0.25 -0.25 0",
        "IN 3 plus 1 12 0.083333 0.0833333 4e-07",
        "IN 4 plus 1 1 1",
        "IN 5 plus 2 3 0.666667",
        "IN 6 plus 0 0 — 1 —",
    };
    const QStringList beforeValues = {" plus 16 1", " minus 1 4", " plus 300 65535",
                                      " plus 1 1",  " plus 2 3",  " plus 1 1"};
    // After: the read-back, the plan's set.
    const QStringList afterValues = {" plus 1 10", " minus 1 4", " plus 1 12",
                                     " plus 1 1",  " plus 2 3",  " plus 0 0"};
    QStringList rows;
    for (int i = 0; i < 6; ++i)
        rows << planRows[i] + beforeValues[i] + afterValues[i];
    const QString written = "Plan (written) Before (the device) After (read back)";
    const QString nothing = "Plan (nothing written) Before (the device) After (read back)";

    QTest::newRow("verified") << int(Outcome::Verified) << QString()
                              << common + rows +
                                     QStringList{written, "Firmware SW 6", "Output value 7 5 7",
                                                 "Verified: the device holds this set"}
                              << QStringList{"\"!\" beyond the tolerance 0.0001."};
    QTest::newRow("unchanged") << int(Outcome::Unchanged) << QString()
                               << QStringList{nothing,
                                              "Verified: the device holds this set; nothing was "
                                              "written"}
                               << QStringList();
    QTest::newRow("not verified") << int(Outcome::NotVerified) << QString()
                                  << QStringList{written, "Output value 7 5 8",
                                                 "NOT VERIFIED: output: device 8, file 7"}
                                  << QStringList();
    QStringList unread;
    for (const QString& row : planRows)
        unread << row + QStringLiteral(" — — — — — —");
    QTest::newRow("failed, nothing read")
        << int(Outcome::Failed) << QString()
        << unread + QStringList{nothing, "Firmware —", "Output value 7 — —",
                                "NOT VERIFIED: reading the device: COM4 (/dev/ttyUSB0): "
                                "Permission denied"}
        << QStringList();
    QStringList unanswered;
    for (int i = 0; i < 6; ++i)
        unanswered << planRows[i] + beforeValues[i] + QStringLiteral(" — — —");
    QTest::newRow("failed, write unanswered")
        << int(Outcome::Failed) << QStringLiteral("write failed")
        << unanswered + QStringList{written, "Firmware SW 6", "Output value 7 5 —"}
        << QStringList{"NOT VERIFIED: writing the parameters: COM4 (/dev/ttyUSB0): Input/output "
                       "error. The set the device now holds is unknown: read it before the relay "
                       "is used."};
    QTest::newRow("an amount beyond the tolerance")
        << int(Outcome::Verified) << QStringLiteral("tight tolerance")
        << QStringList{"IN 3 plus 1 12 0.083333 0.0833333 4e-07 ! plus 300 65535 plus 1 12"}
        << QStringList{"\"!\" beyond the tolerance 1e-07."};
    // Too long for its cell, an amount goes whole into a note.
    QTest::newRow("amounts of 200 characters")
        << int(Outcome::Verified) << QStringLiteral("long amounts")
        << QStringList{"IN 1 plus 1 10 0.1 note 1 0 plus 16 1 plus 1 10",
                       "IN 6 plus 0 0 — note 6 — plus 1 1 plus 0 0"}
        << QStringList{"(1) IN 1 intended " + kLongAmount + ";",
                       "(2) IN 2 intended -" + kLongAmount + ";",
                       "(6) IN 6 intended " + kLongAmount};
    // An audit: the plan, the set read and whether they agree; nothing written.
    const QStringList audit = {"KTR6 audit record", "Plan The device (read) Compared",
                               "Input Sign Num. Div. Per impulse Intended Rel. error Sign Num. "
                               "Div. Matches the plan",
                               "Plan Device Matches"};
    const QStringList notAudit = {"!KTR6 commissioning record", "!After", "!Plan (", "!Before",
                                  "!written and read back"};
    QTest::newRow("audit, matches")
        << int(Outcome::Matches) << QStringLiteral("audit")
        << audit + QStringList{"IN 1 plus 1 10 0.1 40/400 0 plus 1 10 yes",
                               "IN 6 plus 0 0 — 1 — plus 0 0 yes", "Output value 7 7 yes",
                               "Matches: the device holds the plan's set"}
        << notAudit + QStringList{"as read and compared with the plan; nothing was written to it."};
    QTest::newRow("audit, differs")
        << int(Outcome::Differs) << QStringLiteral("audit")
        << audit + QStringList{"IN 1 plus 1 10 0.1 40/400 0 plus 16 1 no: num., div.",
                               "IN 3 plus 1 12 0.083333 0.0833333 4e-07 plus 300 65535 no: num., "
                               "div.",
                               "Output value 7 5 no"}
        << QStringList{"DIFFERS: IN 1 numerator: device 16, file 1; IN 1 divisor: device 1, file "
                       "10; IN 3 numerator: device 300, file 1;"} +
               notAudit;
    // What the inputs count, under the inputs; a meter constant per the unit
    // its register counts.
    QTest::newRow("labels, units and meter facts")
        << int(Outcome::Verified) << QStringLiteral("meanings")
        << QStringList{"Input What it counts Unit Meter constant CT VT",
                       "IN 1 Incomer T1, import kWh 400 per kWh 200/5",
                       "IN 3 Kotolňa, plyn m³ 12 per m³", "IN 6 Spare"}
        << QStringList();
    // The offset as the time had it, west of UTC too.
    for (const auto& [zone, offset] :
         {std::pair{"America/Caracas", "-04:30"}, {"Asia/Kathmandu", "+05:45"}})
        QTest::newRow(zone) << int(Outcome::Verified) << QStringLiteral("zone ") + zone
                            << QStringList{QStringLiteral("Date and time 2015-03-10 09:15:00 UTC") +
                                           offset}
                            << QStringList();
}

void CtlRecordTest::pdfReadsBackAsText() {
    QFETCH(int, outcome);
    QFETCH(QString, variant);
    QFETCH(QStringList, lines);
    QFETCH(QStringList, phrases);
    CommissionRecord record = sampleRecord(Outcome(outcome));
    applyVariant(record, variant);
    QString warning;
    const QByteArray pdf = recordPdf(record, &warning);
    QVERIFY2(warning.isEmpty(), qPrintable(warning));

    const QString info = poppler(QStringLiteral("pdfinfo"), pdf, {});
    QVERIFY2(info.contains(QRegularExpression(R"(Pages:\s+1\n)")), qPrintable(info));
    QVERIFY2(info.contains(QLatin1String(" pts (A4)\n")), qPrintable(info));
    const QString fonts = poppler(QStringLiteral("pdffonts"), pdf, {});
    QVERIFY2(fonts.contains(QLatin1String("DejaVuSans ")), qPrintable(fonts));

    const QStringList text = textLines(pdf);
    for (const QString& line : lines) {
        const QString found = lineStarting(text, line.section(' ', 0, 1));
        QVERIFY2(found == line || text.contains(line),
                 qPrintable(QStringLiteral("wanted \"%1\", found \"%2\" in:\n%3")
                                .arg(line, found, text.join('\n'))));
    }
    // Wrapped at any blank, or inside a long word.
    const QString joined = text.join(' ');
    for (const QString& phrase : phrases)
        QVERIFY2(phrase.startsWith('!')
                     ? !joined.contains(phrase.mid(1))
                     : joined.contains(phrase) ||
                           QString(joined).remove(' ').contains(QString(phrase).remove(' ')),
                 qPrintable(QStringLiteral("wanted \"%1\" in:\n%2").arg(phrase, joined)));
    for (const QString& line : QStringList{"Technician Customer", "Name J. Kováč Name",
                                           "Signature Signature", "Date Date"})
        QVERIFY2(text.contains(line), qPrintable(text.join('\n')));
    // The twin names the moment the page names, offset included.
    const QString when = lineStarting(text, QStringLiteral("Date and time ")).mid(14);
    QCOMPARE(QJsonDocument::fromJson(recordJson(record)).object().value("time").toString(),
             when.left(10) + 'T' + when.mid(11, 8) + when.mid(23));
}

void CtlRecordTest::pdfWordsStayOnThePageApart_data() {
    QTest::addColumn<int>("outcome");
    QTest::addColumn<int>("differences");
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("variant"); // see applyVariant

    // Wide letters, and scripts DejaVu Sans covers beyond Latin.
    const QString wide = QString(80, QLatin1Char('W'));
    const QString words = QStringLiteral("Ελληνικά Москва Rozvodňa ").repeated(4).left(80);
    QTest::newRow("19 differences, labels of 80 W")
        << int(Outcome::NotVerified) << 19 << wide << QString();
    QTest::newRow("19 differences, labels of words")
        << int(Outcome::NotVerified) << 19 << words << QString();
    QTest::newRow("failed, a long reason") << int(Outcome::Failed) << 0 << wide << QString();
    QTest::newRow("19 differences, amounts of 200 characters")
        << int(Outcome::NotVerified) << 19 << wide << QStringLiteral("long amounts");
    QTest::newRow("write failed, a path of 1,000 characters, amounts of 200")
        << int(Outcome::Failed) << 0 << wide << QStringLiteral("long path");
    QTest::newRow("audit, 19 differences, labels of words")
        << int(Outcome::Differs) << 19 << words << QStringLiteral("audit");
    QTest::newRow("2 differences, full labels, units and facts")
        << int(Outcome::NotVerified) << 2 << QStringLiteral("Rozvodňa Žilina")
        << QStringLiteral("full meanings");
    QTest::newRow("labels of 80 W, full meanings, amounts of 200")
        << int(Outcome::NotVerified) << 2 << wide << QStringLiteral("full meanings, long amounts");
}

void CtlRecordTest::pdfWordsStayOnThePageApart() {
    QFETCH(int, outcome);
    QFETCH(int, differences);
    QFETCH(QString, label);
    QFETCH(QString, variant);
    CommissionRecord record = sampleRecord(Outcome(outcome));
    record.site = record.relay = record.technician = label;
    record.port.device =
        QStringLiteral("/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
    applyVariant(record, variant);
    record.differences.clear();
    for (int i = 0; i < differences; ++i)
        record.differences << QStringLiteral("IN %1 numerator: device 65535, file 65534")
                                  .arg(QString::number(i % 6 + 1));
    if (outcome == int(Outcome::Failed) && variant.isEmpty())
        record.reason = QStringLiteral("reading back what was written: no complete reply from the "
                                       "device on COM4 (%1) after 3 attempts; check that it is "
                                       "connected and powered.")
                            .arg(record.port.device);
    QString warning;
    const QByteArray pdf = recordPdf(record, &warning);
    // For a look at the page: KTR6_RECORD_SAMPLE=DIR keeps each one.
    if (const QString keep = qEnvironmentVariable("KTR6_RECORD_SAMPLE"); !keep.isEmpty()) {
        QFile sample(keep + QLatin1Char('/') + QString(QTest::currentDataTag()).replace(' ', '_') +
                     QStringLiteral(".pdf"));
        QVERIFY(sample.open(QIODevice::WriteOnly) && sample.write(pdf) == pdf.size());
    }

    // Every word's box, in points; A4 is 595 x 842.
    const QString html = poppler(QStringLiteral("pdftotext"), pdf, {"-bbox"});
    const QRegularExpression wordPattern(
        R"re(<word xMin="([\d.]+)" yMin="([\d.]+)" xMax="([\d.]+)" yMax="([\d.]+)">([^<]*)</word>)re");
    QList<std::pair<QRectF, QString>> boxes;
    for (auto it = wordPattern.globalMatch(html); it.hasNext();) {
        const auto match = it.next();
        boxes.append({QRectF(QPointF(match.captured(1).toDouble(), match.captured(2).toDouble()),
                             QPointF(match.captured(3).toDouble(), match.captured(4).toDouble())),
                      match.captured(5)});
    }
    QVERIFY2(boxes.size() > 150, qPrintable(html));
    QVERIFY(html.count(QLatin1String("<page ")) == 1);
    const QRectF page(QPointF(40, 30), QPointF(555, 812)); // within the margins
    for (qsizetype i = 0; i < boxes.size(); ++i) {
        QVERIFY2(page.contains(boxes[i].first), qPrintable(boxes[i].second));
        // Lines of one paragraph may touch: a box counts from its middle.
        const QRectF core = boxes[i].first.adjusted(0.3, 1.5, -0.3, -1.5);
        for (qsizetype j = i + 1; j < boxes.size(); ++j) {
            const QRectF other = boxes[j].first.adjusted(0.3, 1.5, -0.3, -1.5);
            QVERIFY2(!core.intersects(other),
                     qPrintable(QStringLiteral("\"%1\" overlaps \"%2\"")
                                    .arg(boxes[i].second, boxes[j].second)));
        }
    }
    // Below the signatures' top (46 mm above the page's 14 mm margin) only
    // the signature lines and the footer: no block above runs into them.
    const qreal signaturesTop = (297 - 14 - 46) * 72 / 25.4;
    const QString footer = "File " + QFileInfo(record.pdf).fileName() +
                           " · its data and SHA-256 in " +
                           QFileInfo(record.pdf).completeBaseName() + ".json";
    const QStringList allowed = QStringList{"Technician", "Customer", "Name", "Signature", "Date"} +
                                footer.split(' ') + record.technician.split(' ');
    for (const auto& [box, word] : boxes)
        if (box.bottom() > signaturesTop)
            QVERIFY2(box.top() >= signaturesTop &&
                         (allowed.contains(word) ||
                          (word.endsWith(u'…') && record.technician.startsWith(word.chopped(1)))),
                     qPrintable(QStringLiteral("\"%1\" at %2 pt").arg(word).arg(box.top())));
    // Amounts are never cut; a path too long for its block is, with "…",
    // and stays whole in the twin.
    QString text =
        poppler(QStringLiteral("pdftotext"), pdf, {}).remove(QRegularExpression("[\\s-]"));
    for (const QString& amount : record.plan.amounts)
        QVERIFY2(text.contains(QString(amount).remove(' ')), qPrintable(amount));
    // So are the facts and units; a label of 80 characters stays whole where
    // amounts of 200 leave it room.
    const bool crowded = variant.contains(QLatin1String("long amounts"));
    for (const InputMeaning& m : record.plan.meanings)
        for (const QString& said :
             {crowded ? QString() : m.label, m.unit, m.meterConstant, m.ct, m.vt})
            QVERIFY2(text.contains(QString(said).remove(QRegularExpression("[\\s-]"))),
                     qPrintable(said));
    if (variant == QLatin1String("long path")) {
        QVERIFY2(!text.contains(record.port.device) && text.contains(u'…'), qPrintable(text));
        QVERIFY(QJsonDocument::fromJson(recordJson(record))
                    .object()
                    .value("port")
                    .toObject()
                    .value("device")
                    .toString() == record.port.device);
        return; // the result is cut too: it names the path twice
    }
    // Nothing of the result is lost to the page's end.
    // (Blanks and hyphens aside: pdftotext joins a word broken after a hyphen.)
    const QString result = resultLine(record).remove(QRegularExpression("[\\s-]"));
    QVERIFY2(text.contains(result), qPrintable(text));
    if (label != QString(80, QLatin1Char('W')))
        QVERIFY2(text.contains(QString(label).remove(' ')), qPrintable(text));
}

void CtlRecordTest::twinHoldsEveryField() {
    CommissionRecord record = sampleRecord(Outcome::Failed);
    record.site = QStringLiteral("東京 \"Süd\"\\ ");
    record.relay.clear();
    const QByteArray twin = recordJson(record);
    QVERIFY(twin.endsWith("}\n"));

    // One key per line, in this order.
    const QStringList keys = {"time",      "site",    "relay",  "technician",  "host",   "version",
                              "port",      "outcome", "reason", "differences", "before", "plan",
                              "tolerance", "after",   "pdf",    "pdf_sha256"};
    QStringList found;
    for (const QByteArray& line : twin.split('\n'))
        if (line.startsWith("  \""))
            found << QString::fromUtf8(line.mid(3, line.indexOf('"', 3) - 3));
    QCOMPARE(found, keys);

    QJsonParseError error;
    const QJsonObject object = QJsonDocument::fromJson(twin, &error).object();
    QVERIFY2(error.error == QJsonParseError::NoError, qPrintable(error.errorString()));
    QCOMPARE(object.value("time").toString(), QStringLiteral("2024-05-17T14:03:07+02:00"));
    QCOMPARE(object.value("site").toString(), record.site); // kept exactly, any script
    QVERIFY(object.value("relay").isNull());
    QCOMPARE(object.value("outcome").toString(), QStringLiteral("failed"));
    QCOMPARE(object.value("reason").toString(), record.reason);
    QVERIFY(object.value("differences").isNull());
    QVERIFY(object.value("before").isNull());
    QVERIFY(object.value("after").isNull());
    QCOMPARE(object.value("port").toObject().value("device").toString(),
             QStringLiteral("/dev/ttyUSB0"));
    QCOMPARE(object.value("pdf_sha256").toString(), QString(64, QLatin1Char('a')));
    // The tolerance the plan's amounts were held to, the default unless given.
    QCOMPARE(object.value("tolerance").toDouble(), 1e-4);
    record.plan.tolerance = *parseTolerance(QStringLiteral("1/2000"), nullptr);
    QCOMPARE(QJsonDocument::fromJson(recordJson(record)).object().value("tolerance").toDouble(),
             0.0005);

    // The plan as read --json prints a set, with each intended amount and its
    // relative error on the exact fraction.
    QVERIFY(twin.contains(
        R"("plan": {"firmware":"6","inputs":[{"numerator":1,"divisor":10,"minus":false,)"
        R"("amount":"40/400","relative_error":0},{"numerator":1,"divisor":4,"minus":true,)"
        R"("amount":"0.25","relative_error":0},{"numerator":1,"divisor":12,"minus":false,)"
        R"("amount":"0.0833333","relative_error":4.00000160000064e-07},)"));
    QVERIFY(twin.contains(R"({"numerator":0,"divisor":0,"minus":false,"amount":"1",)"
                          R"("relative_error":null}],"output":7},)"));

    // The journal line: its own keys, one line; why a run failed or what
    // differs, the plan it took and the program that ran it.
    record = sampleRecord(Outcome::Verified);
    const QByteArray sha(64, 'b');
    const QByteArray line = journalLine(record, sha);
    QVERIFY(!line.contains('\n'));
    const QJsonObject entry = QJsonDocument::fromJson(line).object();
    QCOMPARE(entry.keys(), (QStringList{"after", "before", "differences", "outcome", "pdf",
                                        "pdf_sha256", "plan_sha256", "port", "reason", "relay",
                                        "site", "technician", "time", "version"}));
    QCOMPARE(entry.value("before").toObject().value("output").toInt(), 5);
    QVERIFY(line.startsWith(R"({"time":"2024-05-17T14:03:07+02:00","site":"Rozvodňa Žilina",)"));
    QCOMPARE(entry.value("plan_sha256").toString(), QString::fromLatin1(sha));
    QCOMPARE(entry.value("version").toString(), record.version);
    QVERIFY(entry.value("reason").isNull());
    QCOMPARE(entry.value("differences").toArray().size(), 0);
    for (const Outcome outcome : {Outcome::Failed, Outcome::NotVerified}) {
        const QJsonObject told =
            QJsonDocument::fromJson(journalLine(sampleRecord(outcome), {})).object();
        const QJsonObject twin =
            QJsonDocument::fromJson(recordJson(sampleRecord(outcome))).object();
        QCOMPARE(told.value("reason"), twin.value("reason"));
        QCOMPARE(told.value("differences"), twin.value("differences"));
        QVERIFY(outcome == Outcome::Failed ? told.value("reason").isString()
                                           : told.value("differences").toArray().size() == 1);
        QVERIFY(told.value("plan_sha256").isNull());
    }
}

// Each relay on a thread of its own, all at once, with its own port number
// and, where it gives them, its own baud rate and handshaking; the results
// in the site file's order, finished on the calling thread.
void CtlRecordTest::siteRunsEveryRelayAtOnce() {
    SiteFile site;
    for (int16_t port : {7, 3, 12})
        site.relays << SiteRelay{QStringLiteral("R%1").arg(port), port, {}, {}, {}, {}, {}};
    site.relays[1].baud = 19200;
    site.relays[1].handshaking = 2;
    std::atomic<int> begun{0};
    QString error;
    auto jobs = prepareSite(
        site,
        [&begun](const SiteRelay& relay) { return std::make_unique<BarrierJob>(relay, &begun, 3); },
        &error);
    QCOMPARE(int(jobs.size()), 3);
    QList<StopRequest*> watched;
    QStringList finished;
    SiteRunHooks hooks;
    hooks.makePort = [] { return std::make_unique<ScriptedPort>(); };
    hooks.makePause = [](StopRequest*) { return Pause([](int) {}); };
    hooks.watch = [&watched](StopRequest* stop) { watched << stop; };
    hooks.unwatch = [&watched](StopRequest* stop) { watched.removeOne(stop); };
    hooks.finished = [&finished](const RelayResult& relay) {
        finished << relay.label + (QThread::currentThread() == qApp->thread() ? "" : " elsewhere");
    };
    const QList<RelayResult> results = runSite(site, {1, 0, 9600, 0, 0}, jobs, hooks);

    QStringList lines;
    for (const RelayResult& result : results) {
        QCOMPARE(result.outcome, QStringLiteral("together"));
        QCOMPARE(result.verdict, RelayVerdict::Good); // the exchange ran on a thread of its own
        lines << result.label + ": " + result.detail;
    }
    QCOMPARE(lines, QStringList({"R7: 7 9600,N,8,1 hs0", "R3: 3 19200,N,8,1 hs2",
                                 "R12: 12 9600,N,8,1 hs0"}));
    finished.sort();
    QCOMPARE(finished, QStringList({"R12", "R3", "R7"}));
    QVERIFY(watched.isEmpty());
}

// A site of 30 relays: pages numbered "k / n", the heading on each, every
// relay once, the signatures only on the last page; the twin holds them all.
void CtlRecordTest::siteSummaryRunsOverPages() {
    SiteSummary summary;
    summary.title = QStringLiteral("KTR6 site commissioning summary");
    summary.kind = QStringLiteral("commission");
    summary.site = QStringLiteral("Rozvodňa Žilina, R2");
    summary.time = QDateTime(QDate(2024, 5, 17), QTime(14, 3, 7), QTimeZone(7200));
    summary.siteFile = QStringLiteral("/sites/r2.json");
    summary.siteSha256 = QByteArray(64, 'b');
    summary.pdf = QStringLiteral("/sites/out/site-summary.pdf");
    for (int i = 1; i <= 30; ++i) {
        RelayResult relay;
        relay.label = QStringLiteral("KTR6 č. %1").arg(i, 4, 10, QLatin1Char('0'));
        relay.port = int16_t(i);
        relay.portText = QStringLiteral("COM%1 (/dev/ttyUSB%1)").arg(i);
        relay.outcome = i % 7 ? QStringLiteral("verified") : QStringLiteral("failed");
        relay.verdict = i % 7 ? RelayVerdict::Good : RelayVerdict::Failed;
        relay.detail =
            i % 7 ? QString() : QStringLiteral("reading the device: ") + QString(150, 'x');
        relay.written = QStringLiteral("IN 1 1/25, IN 2 33/5, output 10");
        relay.record = QStringLiteral("ktr6-record-20240517-140307-COM%1.pdf").arg(i);
        relay.recordSha256 = QByteArray(64, 'c');
        summary.relays << relay;
    }
    QString warning;
    const QByteArray pdf = siteSummaryPdf(summary, &warning);
    const QStringList pages = poppler(QStringLiteral("pdftotext"), pdf, {"-layout"})
                                  .split('\f', Qt::SkipEmptyParts)
                                  .filter(QRegularExpression("\\S"));
    QVERIFY2(pages.size() >= 2, qPrintable(pages.join("\n----\n")));
    QString relays;
    for (qsizetype p = 0; p < pages.size(); ++p) {
        const QString page = pages[p].simplified();
        QVERIFY2(page.startsWith("KTR6 site commissioning summary Site Rozvodňa Žilina, R2"),
                 qPrintable(page));
        QVERIFY2(page.contains(QRegularExpression(
                     QStringLiteral(" %1 ?/ ?%2$").arg(p + 1).arg(pages.size()))),
                 qPrintable(page));
        QCOMPARE(page.contains("Signature"), p == pages.size() - 1);
        for (const auto& m : QRegularExpression("KTR6 č. (\\d{4}) COM").globalMatch(page))
            relays += m.captured(1) + ' ';
    }
    QString all;
    for (int i = 1; i <= 30; ++i)
        all += QStringLiteral("%1 ").arg(i, 4, 10, QLatin1Char('0'));
    QCOMPARE(relays, all);
    const QJsonObject twin =
        QJsonDocument::fromJson(siteSummaryJson(summary, QByteArray(64, 'd'))).object();
    QCOMPARE(twin["relays"].toArray().size(), 30);
    QCOMPARE(twin["relays"][6]["detail"].toString(), summary.relays[6].detail);
    QCOMPARE(twin["pdf_sha256"].toString(), QString(64, 'd'));
    QVERIFY(twin["technician"].isNull());
}

QTEST_MAIN(CtlRecordTest)
#include "test_ctl_record.moc"
