#include "core/NumText.h"
#include "support/TestLocale.h"

#include <QTest>
#include <cmath>
#include <limits>

class TestNumText : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { checkTestLocale(); }
    void numberFromText_data();
    void numberFromText();
    void numberFromWholeText_data();
    void numberFromWholeText();
    void roundHalfEven_data();
    void roundHalfEven();
    void integerWidths_data();
    void integerWidths();
    void numberAndDecimalText();
    void displayPatterns_data();
    void displayPatterns();
    void localeNumbers();
};

void TestNumText::numberFromText_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("expected");
    QTest::newRow("plain") << "12" << 12.0;
    QTest::newRow("blanks inside digits") << " 1 2\t3\n4" << 1234.0;
    QTest::newRow("trailing letters") << "12abc" << 12.0;
    QTest::newRow("leading letters") << "abc12" << 0.0;
    QTest::newRow("empty") << "" << 0.0;
    QTest::newRow("sign only") << "-" << 0.0;
    QTest::newRow("negative") << "-5" << -5.0;
    QTest::newRow("blank after sign") << "- 5" << -5.0;
    QTest::newRow("plus") << "+7" << 7.0;
    QTest::newRow("leading point") << ".5" << 0.5;
    QTest::newRow("second point stops") << "1.2.3" << 1.2;
    QTest::newRow("exponent E") << "1e3" << 1000.0;
    QTest::newRow("exponent D") << "2D1" << 20.0;
    QTest::newRow("negative exponent") << "25E-1" << 2.5;
    QTest::newRow("exponent without digits") << "3e" << 3.0;
    QTest::newRow("carriage return stops") << "1\r2" << 1.0;
    QTest::newRow("comma stops") << "1,5" << 1.0;
    QTest::newRow("point alone") << "." << 0.0;
    // The same on every machine, whatever the C library's locale.
    QTest::newRow("half with a point") << "3.5" << 3.5;
    QTest::newRow("point and exponent") << "1.6e1" << 16.0;
    QTest::newRow("baud with exponent") << "9.6e3" << 9600.0;
    QTest::newRow("trailing point") << "5." << 5.0;
    QTest::newRow("too large is infinity") << "1e400" << qInf();
    QTest::newRow("too large negative") << "-1.5e999999999" << -qInf();
    QTest::newRow("too small is zero") << "1e-400" << 0.0;
    QTest::newRow("400 digits") << QString(400, u'9') << qInf();
    QTest::newRow("400 digits scaled down") << QString(400, u'1') + "e-399" << 1.1111111111111112;
    QTest::newRow("400 zeros after the point") << "0." + QString(400, u'0') + "25e402" << 25.0;
}

void TestNumText::numberFromText() {
    QFETCH(QString, text);
    QFETCH(double, expected);
    QCOMPARE(::numberFromText(QStringView(text)), expected);
    QCOMPARE(::numberFromText(text.toLatin1()), expected);
}

void TestNumText::numberFromWholeText_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("isNumber");
    QTest::addColumn<double>("expected");
    QTest::newRow("plain") << "63" << true << 63.0;
    QTest::newRow("blanks around") << " \t63\n " << true << 63.0;
    QTest::newRow("blanks inside, as the syntax skips them") << "6 3" << true << 63.0;
    QTest::newRow("point and exponent") << "+0.63E2" << true << 63.0;
    QTest::newRow("trailing letter") << "5x" << false << 0.0;
    QTest::newRow("letters") << "xx" << false << 0.0;
    QTest::newRow("empty") << "" << false << 0.0;
    QTest::newRow("blanks only") << "  " << false << 0.0;
    QTest::newRow("sign only") << "-" << false << 0.0;
    QTest::newRow("exponent without digits") << "3e" << false << 0.0;
    QTest::newRow("second point") << "1.2.3" << false << 0.0;
    QTest::newRow("carriage return after") << "5\r" << false << 0.0;
}

void TestNumText::numberFromWholeText() {
    QFETCH(QString, text);
    QFETCH(bool, isNumber);
    QFETCH(double, expected);
    const std::optional<double> got = ::numberFromWholeText(text.toLatin1());
    QCOMPARE(got.has_value(), isNumber);
    if (isNumber)
        QCOMPARE(*got, expected);
}

void TestNumText::roundHalfEven_data() {
    QTest::addColumn<double>("value");
    QTest::addColumn<double>("expected");
    QTest::newRow("2.5") << 2.5 << 2.0;
    QTest::newRow("3.5") << 3.5 << 4.0;
    QTest::newRow("0.5") << 0.5 << 0.0;
    QTest::newRow("-2.5") << -2.5 << -2.0;
    QTest::newRow("-3.5") << -3.5 << -4.0;
    QTest::newRow("2.4999") << 2.4999 << 2.0;
    QTest::newRow("2.5001") << 2.5001 << 3.0;
    QTest::newRow("-0.4") << -0.4 << 0.0;
}

void TestNumText::roundHalfEven() {
    QFETCH(double, value);
    QFETCH(double, expected);
    QCOMPARE(::roundHalfEven(value), expected);
}

void TestNumText::integerWidths_data() {
    QTest::addColumn<int>("width");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("fits");
    QTest::addColumn<qint64>("expected");
    QTest::newRow("8 top") << 8 << "255" << true << qint64(255);
    QTest::newRow("8 over") << 8 << "256" << false << qint64(0);
    QTest::newRow("8 rounds over") << 8 << "255.5" << false << qint64(0);
    QTest::newRow("8 rounds down") << 8 << "254.5" << true << qint64(254);
    QTest::newRow("8 negative") << 8 << "-1" << false << qint64(0);
    QTest::newRow("8 small negative rounds to 0") << 8 << "-0.5" << true << qint64(0);
    QTest::newRow("16 top") << 16 << "32767" << true << qint64(32767);
    QTest::newRow("16 over") << 16 << "32768" << false << qint64(0);
    QTest::newRow("16 bottom") << 16 << "-32768" << true << qint64(-32768);
    QTest::newRow("16 rounds over") << 16 << "32767.5" << false << qint64(0);
    QTest::newRow("32 top") << 32 << "2147483647" << true << qint64(2147483647);
    QTest::newRow("32 over") << 32 << "2147483648" << false << qint64(0);
    QTest::newRow("32 huge exponent") << 32 << "1e400" << false << qint64(0);
}

void TestNumText::integerWidths() {
    QFETCH(int, width);
    QFETCH(QString, text);
    QFETCH(bool, fits);
    QFETCH(qint64, expected);
    const double value = ::numberFromText(QStringView(text));
    try {
        qint64 got = 0;
        if (width == 8)
            got = toByte(value);
        else if (width == 16)
            got = toInt16(value);
        else
            got = toInt32(value);
        QVERIFY2(fits, "expected an overflow");
        QCOMPARE(got, expected);
    } catch (const OverflowError&) {
        QVERIFY2(!fits, "unexpected overflow");
    }
}

void TestNumText::numberAndDecimalText() {
    QCOMPARE(numberText(5), QStringLiteral(" 5"));
    QCOMPARE(numberText(0), QStringLiteral(" 0"));
    QCOMPARE(numberText(-5), QStringLiteral("-5"));
    QCOMPARE(decimalText(65535), QStringLiteral("65535"));
    QCOMPARE(decimalText(-12), QStringLiteral("-12"));
}

void TestNumText::displayPatterns_data() {
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("twoDecimals");
    QTest::addColumn<QString>("whole");
    QTest::newRow("zero") << 0.0 << "0.0"
                          << "";
    QTest::newRow("two") << 2.0 << "2.0"
                         << "2";
    QTest::newRow("half") << 1.5 << "1.5"
                          << "2";
    QTest::newRow("quarter") << 1.25 << "1.25"
                             << "1";
    QTest::newRow("negative") << -0.75 << "-0.75"
                              << "-1";
    QTest::newRow("rounded") << 1234.567 << "1234.57"
                             << "1235";
    QTest::newRow("no grouping") << 1234567.0 << "1234567.0"
                                 << "1234567";
    QTest::newRow("tiny negative is zero") << -0.001 << "0.0"
                                           << "";
    QTest::newRow("decimal half up") << 1.005 << "1.01"
                                     << "1";
    // Every total up to 10^13 rounds to hundredths as written; beyond, the
    // text is still the number, never "inf".
    QTest::newRow("large half hundredth") << 3000000000002.5 << "3000000000002.5"
                                          << "3000000000003";
    QTest::newRow("large hundredths") << -2814749767106.57 << "-2814749767106.57"
                                      << "-2814749767107";
    QTest::newRow("just below 10^13") << 9999999999999.99 << "9999999999999.99"
                                      << "10000000000000";
    QTest::newRow("10^13 and a hundredth") << 10000000000000.01 << "10000000000000.01"
                                           << "10000000000000";
    QTest::newRow("carry through the nines") << 999999.995 << "1000000.0"
                                             << "1000000";
    // The largest double, 2^1024 - 2^971, in all its digits.
    const QString largest = QStringLiteral(
        "1797693134862315708145274237317043567980705675258449965989174768031572607800285387605895"
        "5863276687817154045895351438246423432132688946418276846754670353751698604991057655128207"
        "6245490090389328944075868508455133942304583236903222948165808559332123348274797826204144"
        "723168738177180919299881250404026184124858368");
    QTest::newRow("largest double")
        << std::numeric_limits<double>::max() << largest + ".0" << largest;
    QTest::newRow("infinity shows zero") << qInf() << "0.0"
                                         << "";
}

void TestNumText::displayPatterns() {
    QFETCH(double, value);
    QFETCH(QString, twoDecimals);
    QFETCH(QString, whole);
    QCOMPARE(formatTwoDecimals(value, QLocale::c()), twoDecimals);
    QCOMPARE(formatWholeOrEmpty(value, QLocale::c()), whole);
    // A comma locale differs only in the separator.
    QString comma = twoDecimals;
    comma.replace(QLatin1Char('.'), QLatin1Char(','));
    QCOMPARE(formatTwoDecimals(value, QLocale(QLocale::German)), comma);
}

void TestNumText::localeNumbers() {
    const QLocale german(QLocale::German);
    QCOMPARE(parseLocaleNumber(QStringLiteral("1,25"), german), std::optional<double>(1.25));
    QCOMPARE(parseLocaleNumber(QStringLiteral(" 100 "), QLocale::c()),
             std::optional<double>(100.0));
    QCOMPARE(parseLocaleNumber(QStringLiteral("100.5"), german), std::optional<double>(100.5));
    QVERIFY(!parseLocaleNumber(QString(), QLocale::c()));
    QVERIFY(!parseLocaleNumber(QStringLiteral("abc"), QLocale::c()));
    // Every text the patterns write reads back as the value shown.
    for (double v : {0.0, 0.33, -1234.57, 99.9}) {
        const auto back = parseLocaleNumber(formatTwoDecimals(v, german), german);
        QVERIFY(back);
        QCOMPARE(*back, v);
    }
}

QTEST_GUILESS_MAIN(TestNumText)
#include "test_numtext.moc"
