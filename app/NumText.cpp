#include "NumText.h"

#include <QByteArray>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

namespace {

bool isSkipped(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\n';
}
bool isDigit(char16_t c) {
    return c >= u'0' && c <= u'9';
}

template <typename CharAt> double parseNumber(qsizetype size, CharAt at) {
    qsizetype pos = 0;
    auto peek = [&]() -> char16_t {
        while (pos < size && isSkipped(at(pos)))
            ++pos;
        return pos < size ? at(pos) : u'\0';
    };

    std::string literal;
    char16_t c = peek();
    if (c == u'+' || c == u'-') {
        if (c == u'-')
            literal += '-';
        ++pos;
    }
    bool anyDigit = false;
    bool seenPoint = false;
    for (c = peek(); isDigit(c) || (c == u'.' && !seenPoint); c = peek()) {
        if (c == u'.') {
            seenPoint = true;
        } else {
            anyDigit = true;
        }
        literal += char(c);
        ++pos;
    }
    if (!anyDigit)
        return 0.0;

    c = peek();
    if (c == u'e' || c == u'E' || c == u'd' || c == u'D') {
        ++pos;
        bool negative = false;
        c = peek();
        if (c == u'+' || c == u'-') {
            negative = c == u'-';
            ++pos;
        }
        // The exponent is accumulated with a cap so that a long run of digits
        // cannot overflow; anything beyond the cap is infinity or zero anyway.
        long exponent = 0;
        bool anyExpDigit = false;
        for (c = peek(); isDigit(c); c = peek()) {
            anyExpDigit = true;
            if (exponent < 100000)
                exponent = exponent * 10 + (c - u'0');
            ++pos;
        }
        if (anyExpDigit) {
            literal += 'e';
            if (negative)
                literal += '-';
            literal += std::to_string(exponent);
        }
    }
    return std::strtod(literal.c_str(), nullptr);
}

template <typename Int> Int toInteger(double value, const char* what) {
    const double rounded = roundHalfEven(value);
    if (!(rounded >= double(std::numeric_limits<Int>::min()) &&
          rounded <= double(std::numeric_limits<Int>::max())))
        throw OverflowError(what);
    return static_cast<Int>(rounded);
}

} // namespace

double numberFromText(QStringView text) {
    return parseNumber(text.size(), [&](qsizetype i) { return char16_t(text[i].unicode()); });
}

double numberFromText(const QByteArray& text) {
    return parseNumber(text.size(), [&](qsizetype i) { return char16_t(uchar(text[i])); });
}

double roundHalfEven(double value) {
    if (!std::isfinite(value))
        return value;
    const double floorValue = std::floor(value);
    const double fraction = value - floorValue;
    if (fraction < 0.5)
        return floorValue;
    if (fraction > 0.5)
        return floorValue + 1.0;
    return std::fmod(floorValue, 2.0) == 0.0 ? floorValue : floorValue + 1.0;
}

int32_t toInt32(double value) {
    return toInteger<int32_t>(value, "value outside the 32-bit range");
}
int16_t toInt16(double value) {
    return toInteger<int16_t>(value, "value outside the 16-bit range");
}
uint8_t toByte(double value) {
    return toInteger<uint8_t>(value, "value outside 0..255");
}

QString decimalText(int64_t value) {
    return QString::number(value);
}

QString numberText(int64_t value) {
    if (value < 0)
        return QString::number(value);
    return QLatin1Char(' ') + QString::number(value);
}

namespace {

QString withLocaleSigns(QString plain, const QLocale& locale) {
    // plain uses "-" and "."; swap in the locale's own characters.
    if (plain.startsWith(QLatin1Char('-')))
        plain.replace(0, 1, locale.negativeSign());
    const qsizetype point = plain.indexOf(QLatin1Char('.'));
    if (point >= 0)
        plain.replace(point, 1, locale.decimalPoint());
    return plain;
}

} // namespace

QString formatTwoDecimals(double value, const QLocale& locale) {
    if (!std::isfinite(value))
        value = 0.0;
    // Hundredths, halves away from zero. A relative nudge of a few ulps makes
    // 1.005 (stored as 1.00499999...) show 1.01 as written, without moving
    // any value that is a whole number of hundredths, however large.
    const double scaled = value * 100.0;
    double hundredths = std::round(scaled * (1.0 + 8 * std::numeric_limits<double>::epsilon()));
    if (hundredths == 0.0)
        hundredths = 0.0; // never "-0.0"
    QString text = QString::number(hundredths / 100.0, 'f', 2);
    if (text.endsWith(QLatin1Char('0')))
        text.chop(1);
    return withLocaleSigns(text, locale);
}

QString formatWholeOrEmpty(double value, const QLocale& locale) {
    if (!std::isfinite(value))
        return {};
    double whole = std::round(value);
    if (whole == 0.0)
        return {};
    return withLocaleSigns(QString::number(whole, 'f', 0), locale);
}

std::optional<double> parseLocaleNumber(const QString& text, const QLocale& locale) {
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return std::nullopt;
    QLocale strict = locale;
    strict.setNumberOptions(QLocale::RejectGroupSeparator);
    bool ok = false;
    double value = strict.toDouble(trimmed, &ok);
    if (!ok) {
        // Accept a full stop too: an operator on a comma locale who types
        // 100.5 means a hundred and a half, not nothing.
        value = QLocale::c().toDouble(trimmed, &ok);
    }
    if (!ok || !std::isfinite(value))
        return std::nullopt;
    return value;
}
