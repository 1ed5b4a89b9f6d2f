#pragma once
// Number and text conversions shared by the settings file, the device
// protocol and the windows. Pure functions, no state.

#include <QLocale>
#include <QString>
#include <QStringView>
#include <cstdint>
#include <optional>
#include <stdexcept>

// Thrown when a value does not fit the integer it is converted into. The
// device procedures catch it and take their failure path.
class OverflowError : public std::overflow_error {
public:
    explicit OverflowError(const char* what) : std::overflow_error(what) {}
};

// The decimal number at the start of a text. Blanks, tabs and line feeds are
// skipped wherever they stand ("1 2" reads 12); then an optional sign, digits
// with at most one ".", and an optional exponent (E or D, optional sign,
// digits). Reading stops at the first other character; no number gives 0.
// A number too large for a double gives +/- infinity. The C library's
// locale plays no part: the result is the same on every machine.
double numberFromText(QStringView text);
double numberFromText(const QByteArray& text);
// The whole text, blanks aside, is one number in the syntax above with
// nothing left over; nothing otherwise ("", "5x", "3e", "-").
std::optional<double> numberFromWholeText(const QByteArray& text);

// Nearest integer, a half going to the even neighbour (2.5 -> 2, 3.5 -> 4).
double roundHalfEven(double value);

// Round half-to-even, then convert; OverflowError when the result does not
// fit (NaN never fits).
int32_t toInt32(double value);
int16_t toInt16(double value);
uint8_t toByte(double value);

// Plain decimal digits with "-" for negatives: "5", "-5".
QString decimalText(int64_t value);
// One blank in the sign position for 0 and positives, "-" for negatives:
// " 5", "-5".
QString numberText(int64_t value);

// The value with the given number of decimals, "." as the point whatever
// the locale, trailing zeros and a bare point dropped, never "-0":
// fixedTrimmed(0.25, 6) is "0.25", fixedTrimmed(16, 2) is "16".
QString fixedTrimmed(double value, int decimals);

// The on-line view's display patterns, in the given locale, without digit
// grouping. twoDecimals ("##0.0#"): 1.0, 1.25, -0.75, rounded to hundredths,
// halves away from zero. wholeOrEmpty ("####"): rounded to a whole number,
// zero gives an empty text. Both round the value as written (its shortest
// decimal digits), at any size; a value that is not finite shows as zero.
QString formatTwoDecimals(double value, const QLocale& locale);
QString formatWholeOrEmpty(double value, const QLocale& locale);

// A number typed into an on-line value box, read by the locale's rules
// (decimal separator, minus sign; blanks around it allowed). Empty or not a
// number gives no value.
std::optional<double> parseLocaleNumber(const QString& text, const QLocale& locale);
