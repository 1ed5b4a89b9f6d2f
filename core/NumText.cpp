#include "NumText.h"

#include <QByteArray>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace {

bool isSkipped(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\n';
}
bool isDigit(char16_t c) {
    return c >= u'0' && c <= u'9';
}

// Where a number read from the front of a text ends.
struct ParsedNumber {
    double value = 0.0;
    bool found = false; // the text begins (blanks aside) with a number
    qsizetype end = 0;  // just after the number's last character
};

// The decimal order of magnitude of a literal that std::from_chars found
// out of range: above 0 it overflowed, below it underflowed.
long long decimalOrder(const std::string& literal) {
    const std::size_t ePos = literal.find('e');
    const std::string mantissa = literal.substr(0, ePos);
    const long long exponent = ePos == std::string::npos ? 0 : std::stoll(literal.substr(ePos + 1));
    const std::size_t point = std::min(mantissa.find('.'), mantissa.size());
    const std::size_t first = mantissa.find_first_of("123456789");
    if (first == std::string::npos)
        return 0;
    const long long position = first < point ? static_cast<long long>(point - first - 1)
                                             : -static_cast<long long>(first - point);
    return position + exponent;
}

// The C library's strtod follows the locale Qt sets from the environment at
// start-up (a decimal comma under sk_SK or de_DE); std::from_chars never
// does, so "3.5" reads the same on every machine.
double literalValue(const std::string& literal) {
    double value = 0.0;
    const char* first = literal.data();
    const char* last = first + literal.size();
    const auto [end, error] = std::from_chars(first, last, value, std::chars_format::general);
    if (error == std::errc::result_out_of_range) {
        const bool negative = literal.front() == '-';
        if (decimalOrder(literal) > 0)
            return negative ? -std::numeric_limits<double>::infinity()
                            : std::numeric_limits<double>::infinity();
        return negative ? -0.0 : 0.0;
    }
    return error == std::errc() && end == last ? value : 0.0;
}

// Reads a text from the front, passing over blanks wherever they stand.
template <typename CharAt> class NumberReader {
public:
    NumberReader(qsizetype size, CharAt at) : size_(size), at_(at) {}

    // The next character that is not a blank, or '\0' at the end.
    char16_t peek() {
        while (pos_ < size_ && isSkipped(at_(pos_)))
            ++pos_;
        return pos_ < size_ ? at_(pos_) : u'\0';
    }
    void advance() { ++pos_; }
    qsizetype pos() const { return pos_; }

private:
    qsizetype size_;
    CharAt at_;
    qsizetype pos_ = 0;
};

// [+|-] digits [. digits] | . digits, onto literal ("-" for a minus);
// whether there was a digit.
template <typename Reader> bool readMantissa(Reader& in, std::string& literal) {
    char16_t c = in.peek();
    if (c == u'+' || c == u'-') {
        if (c == u'-')
            literal += '-';
        in.advance();
    }
    bool anyDigit = false;
    bool seenPoint = false;
    for (c = in.peek(); isDigit(c) || (c == u'.' && !seenPoint); c = in.peek()) {
        if (c == u'.') {
            seenPoint = true;
        } else {
            anyDigit = true;
        }
        literal += char(c);
        in.advance();
    }
    return anyDigit;
}

// e|E|d|D [+|-] digits as the literal's exponent ("e-12"), or nothing when
// there is no marker or no digit after it (the marker and its sign are
// passed over all the same).
template <typename Reader> std::optional<std::string> readExponent(Reader& in) {
    char16_t c = in.peek();
    if (c != u'e' && c != u'E' && c != u'd' && c != u'D')
        return std::nullopt;
    in.advance();
    bool negative = false;
    c = in.peek();
    if (c == u'+' || c == u'-') {
        negative = c == u'-';
        in.advance();
    }
    // The exponent is accumulated with a cap so that a long run of digits
    // cannot overflow; anything beyond the cap is infinity or zero anyway.
    long exponent = 0;
    bool anyExpDigit = false;
    for (c = in.peek(); isDigit(c); c = in.peek()) {
        anyExpDigit = true;
        if (exponent < 100000)
            exponent = exponent * 10 + (c - u'0');
        in.advance();
    }
    if (!anyExpDigit)
        return std::nullopt;
    return (negative ? std::string("e-") : std::string("e")) + std::to_string(exponent);
}

template <typename CharAt> ParsedNumber parseNumber(qsizetype size, CharAt at) {
    ParsedNumber parsed;
    NumberReader<CharAt> in(size, at);
    std::string literal;
    if (!readMantissa(in, literal))
        return parsed;
    parsed.found = true;
    parsed.end = in.pos();
    if (const std::optional<std::string> exponent = readExponent(in)) {
        literal += *exponent;
        parsed.end = in.pos();
    }
    parsed.value = literalValue(literal);
    return parsed;
}

// The whole text, blanks aside, is one number.
template <typename CharAt> std::optional<double> parseWholeNumber(qsizetype size, CharAt at) {
    const ParsedNumber parsed = parseNumber(size, at);
    if (!parsed.found)
        return std::nullopt;
    for (qsizetype pos = parsed.end; pos < size; ++pos) {
        if (!isSkipped(at(pos)))
            return std::nullopt;
    }
    return parsed.value;
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
    return parseNumber(text.size(), [&](qsizetype i) { return char16_t(text[i].unicode()); }).value;
}

double numberFromText(const QByteArray& text) {
    return parseNumber(text.size(), [&](qsizetype i) { return char16_t(uchar(text[i])); }).value;
}

std::optional<double> numberFromWholeText(const QByteArray& text) {
    return parseWholeNumber(text.size(), [&](qsizetype i) { return char16_t(uchar(text[i])); });
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

QString fixedTrimmed(double value, int decimals) {
    QString text = QString::number(value, 'f', decimals);
    if (text.contains(QLatin1Char('.'))) {
        while (text.endsWith(QLatin1Char('0')))
            text.chop(1);
        if (text.endsWith(QLatin1Char('.')))
            text.chop(1);
    }
    return text == QLatin1String("-0") ? QStringLiteral("0") : text;
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

// The value rounded to `decimals` places, halves away from zero, in plain
// digits with "-" and ".". The rounding works on the value's shortest
// round-trip decimal digits, so 1.005 (stored as 1.00499999...) shows 1.01
// as written, and no scaling step can overflow or lose a digit at any size.
QString roundedDecimal(double value, int decimals) {
    char buffer[512];
    const auto [end, error] =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
    if (error != std::errc())
        return QStringLiteral("0");
    std::string text(buffer, end);
    const bool negative = !text.empty() && text.front() == '-';
    if (negative)
        text.erase(0, 1);
    const std::size_t point = text.find('.');
    std::string digits = text.substr(0, point);
    std::string fraction = point == std::string::npos ? std::string() : text.substr(point + 1);
    const bool roundUp = fraction.size() > std::size_t(decimals) && fraction[decimals] >= '5';
    fraction.resize(decimals, '0');
    digits += fraction;
    if (roundUp) {
        std::size_t i = digits.size();
        while (i > 0 && digits[i - 1] == '9')
            digits[--i] = '0';
        if (i == 0)
            digits.insert(digits.begin(), '1');
        else
            ++digits[i - 1];
    }
    const std::size_t wholeDigits = digits.size() - std::size_t(decimals);
    std::string result = digits.substr(0, wholeDigits);
    if (decimals > 0)
        result += '.' + digits.substr(wholeDigits);
    if (negative && digits.find_first_not_of('0') != std::string::npos)
        result.insert(result.begin(), '-'); // never "-0.0"
    return QString::fromLatin1(result.data(), qsizetype(result.size()));
}

} // namespace

QString formatTwoDecimals(double value, const QLocale& locale) {
    if (!std::isfinite(value))
        value = 0.0;
    QString text = roundedDecimal(value, 2);
    if (text.endsWith(QLatin1Char('0')))
        text.chop(1);
    return withLocaleSigns(text, locale);
}

QString formatWholeOrEmpty(double value, const QLocale& locale) {
    if (!std::isfinite(value))
        return {};
    const QString text = roundedDecimal(value, 0);
    if (text == QLatin1String("0"))
        return {};
    return withLocaleSigns(text, locale);
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
