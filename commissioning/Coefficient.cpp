#include "Coefficient.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

// ---- BigNat ---------------------------------------------------------------

BigNat::BigNat(uint64_t value) {
    for (; value != 0; value >>= 32)
        limbs_.push_back(uint32_t(value));
}

BigNat BigNat::fromDigits(QStringView digits) {
    BigNat number;
    // Nine digits at a time: 10^9 fits a limb.
    for (qsizetype at = 0; at < digits.size(); at += 9) {
        const QStringView chunk = digits.mid(at, 9);
        uint32_t value = 0;
        for (const QChar c : chunk)
            value = value * 10 + uint32_t(c.unicode() - u'0');
        number.timesPowerOfTen(int(chunk.size()));
        number = number + BigNat(value);
    }
    return number;
}

BigNat& BigNat::operator*=(uint32_t factor) {
    if (factor == 0) {
        limbs_.clear();
        return *this;
    }
    uint64_t carry = 0;
    for (uint32_t& limb : limbs_) {
        const uint64_t product = uint64_t(limb) * factor + carry;
        limb = uint32_t(product);
        carry = product >> 32;
    }
    if (carry != 0)
        limbs_.push_back(uint32_t(carry));
    return *this;
}

BigNat& BigNat::timesPowerOfTen(int exponent) {
    for (; exponent >= 9; exponent -= 9)
        *this *= 1'000'000'000u;
    uint32_t factor = 1;
    for (; exponent > 0; --exponent)
        factor *= 10;
    return *this *= factor;
}

BigNat operator+(const BigNat& a, const BigNat& b) {
    const BigNat& longer = a.limbs_.size() >= b.limbs_.size() ? a : b;
    const BigNat& shorter = &longer == &a ? b : a;
    BigNat sum = longer;
    uint64_t carry = 0;
    for (size_t i = 0; i < sum.limbs_.size(); ++i) {
        const uint64_t add = i < shorter.limbs_.size() ? shorter.limbs_[i] : 0;
        if (add == 0 && carry == 0 && i >= shorter.limbs_.size())
            break;
        const uint64_t total = uint64_t(sum.limbs_[i]) + add + carry;
        sum.limbs_[i] = uint32_t(total);
        carry = total >> 32;
    }
    if (carry != 0)
        sum.limbs_.push_back(uint32_t(carry));
    return sum;
}

BigNat operator*(const BigNat& a, const BigNat& b) {
    // Horner on b's limbs, most significant first: product = product * 2^32 + a * limb.
    BigNat product;
    for (size_t i = b.limbs_.size(); i-- > 0;) {
        if (!product.limbs_.empty())
            product.limbs_.insert(product.limbs_.begin(), 0u);
        product = product + a * b.limbs_[i];
    }
    return product;
}

BigNat distance(const BigNat& a, const BigNat& b) {
    const bool aLarger = a >= b;
    BigNat result = aLarger ? a : b;
    const BigNat& smaller = aLarger ? b : a;
    int64_t borrow = 0;
    for (size_t i = 0; i < result.limbs_.size(); ++i) {
        int64_t value = int64_t(result.limbs_[i]) - borrow -
                        (i < smaller.limbs_.size() ? int64_t(smaller.limbs_[i]) : 0);
        borrow = value < 0 ? 1 : 0;
        if (value < 0)
            value += int64_t(1) << 32;
        result.limbs_[i] = uint32_t(value);
    }
    while (!result.limbs_.empty() && result.limbs_.back() == 0)
        result.limbs_.pop_back();
    return result;
}

std::strong_ordering operator<=>(const BigNat& a, const BigNat& b) {
    if (a.limbs_.size() != b.limbs_.size())
        return a.limbs_.size() <=> b.limbs_.size();
    for (size_t i = a.limbs_.size(); i-- > 0;) {
        if (a.limbs_[i] != b.limbs_[i])
            return a.limbs_[i] <=> b.limbs_[i];
    }
    return std::strong_ordering::equal;
}

int BigNat::bitLength() const {
    if (limbs_.empty())
        return 0;
    return int(32 * (limbs_.size() - 1)) + (32 - std::countl_zero(limbs_.back()));
}

// The 64 leading bits; the number is about that times 2^*shift.
uint64_t BigNat::top64(int* shift) const {
    *shift = std::max(0, bitLength() - 64);
    const size_t first = size_t(*shift) / 32;
    unsigned __int128 window = 0;
    for (size_t i = std::min(limbs_.size(), first + 3); i-- > first;)
        window = (window << 32) | limbs_[i];
    return uint64_t(window >> (*shift % 32));
}

double ratio(const BigNat& a, const BigNat& b) {
    if (a.isZero())
        return 0;
    int shiftA = 0;
    int shiftB = 0;
    const long double topA = a.top64(&shiftA);
    const long double topB = b.top64(&shiftB);
    return double(std::ldexp(topA / topB, shiftA - shiftB));
}

// ---- The amount as written ------------------------------------------------

namespace {

// One decimal number: digits × 10^exponent, without leading or trailing zeros
// (zero has no digits).
struct Decimal {
    QString digits;
    int64_t exponent = 0;
    bool negative = false;
};

bool isAsciiDigit(QChar c) {
    return c >= u'0' && c <= u'9';
}

// Reads a text from the front, one character at a time.
struct Cursor {
    QStringView text;
    qsizetype i = 0;

    bool atEnd() const { return i >= text.size(); }
    bool atDigit() const { return !atEnd() && isAsciiDigit(text[i]); }
    bool atEither(char16_t one, char16_t other) const {
        return !atEnd() && (text[i] == one || text[i] == other);
    }
    // [+|-]: whether there was a minus.
    bool readMinus() { return atEither(u'+', u'-') && text[i++] == u'-'; }
};

// digits [. digits] | . digits into number's digits; the count of digits
// after the point, or nothing without any digit.
std::optional<int64_t> readMantissa(Cursor& in, Decimal& number) {
    bool anyDigit = false;
    bool point = false;
    int64_t fractionDigits = 0;
    for (; !in.atEnd(); ++in.i) {
        const QChar c = in.text[in.i];
        if (isAsciiDigit(c)) {
            number.digits += c;
            anyDigit = true;
            fractionDigits += point ? 1 : 0;
        } else if (c == u'.' && !point) {
            point = true;
        } else {
            break;
        }
    }
    if (!anyDigit)
        return std::nullopt;
    return fractionDigits;
}

// [e|E [+|-] digits]: the exponent, 0 without one; nothing for a marker
// without digits.
std::optional<int64_t> readExponent(Cursor& in) {
    if (!in.atEither(u'e', u'E'))
        return 0;
    ++in.i;
    const bool negative = in.readMinus();
    bool anyDigit = false;
    int64_t exponent = 0;
    // Beyond 10^9 any amount is out of range whatever its digits: the
    // exponent stops growing there instead of overflowing.
    for (; in.atDigit(); ++in.i) {
        anyDigit = true;
        exponent =
            std::min<int64_t>(exponent * 10 + (in.text[in.i].unicode() - u'0'), 1'000'000'000);
    }
    if (!anyDigit)
        return std::nullopt;
    return negative ? -exponent : exponent;
}

// Moves leading zeros out of the digits and trailing ones into the exponent.
void stripZeros(Decimal& number) {
    qsizetype lead = 0;
    while (lead < number.digits.size() && number.digits[lead] == u'0')
        ++lead;
    number.digits.remove(0, lead);
    while (number.digits.endsWith(u'0')) {
        number.digits.chop(1);
        ++number.exponent;
    }
}

// [blanks] [+|-] digits [. digits] | . digits, [e|E [+|-] digits] [blanks]
std::optional<Decimal> readDecimal(QStringView text) {
    Cursor in{text.trimmed()};
    Decimal number;
    number.negative = in.readMinus();
    const std::optional<int64_t> fractionDigits = readMantissa(in, number);
    if (!fractionDigits)
        return std::nullopt;
    const std::optional<int64_t> exponent = readExponent(in);
    if (!exponent || !in.atEnd())
        return std::nullopt;
    number.exponent = *exponent - *fractionDigits;
    stripZeros(number);
    return number;
}

struct Quotient {
    Decimal dividend;
    Decimal divisor; // 1 for a plain decimal
};

std::optional<Quotient> readQuotient(QStringView text) {
    const qsizetype slash = text.indexOf(u'/');
    if (slash >= 0 && text.indexOf(u'/', slash + 1) >= 0)
        return std::nullopt;
    const auto dividend = readDecimal(slash < 0 ? text : text.left(slash));
    if (!dividend)
        return std::nullopt;
    Quotient quotient{*dividend, Decimal{QStringLiteral("1"), 0, false}};
    if (slash >= 0) {
        const auto divisor = readDecimal(text.mid(slash + 1));
        if (!divisor)
            return std::nullopt;
        quotient.divisor = *divisor;
    }
    return quotient;
}

} // namespace

std::optional<ExactAmount> parseAmount(QStringView text, QString* error) {
    auto fail = [&](const QString& why) -> std::optional<ExactAmount> {
        if (error)
            *error = why;
        return std::nullopt;
    };
    const QString quoted = QLatin1Char('"') + text.toString() + QLatin1Char('"');
    if (text.trimmed().isEmpty())
        return fail(QStringLiteral("the amount is empty"));
    if (text.size() > kAmountMaxLength)
        return fail(QStringLiteral("the amount is longer than %1 characters")
                        .arg(QString::number(kAmountMaxLength)));
    const auto quotient = readQuotient(text);
    if (!quotient) {
        QString withPoints = text.toString();
        withPoints.replace(u',', u'.');
        if (text.contains(u',') && readQuotient(withPoints))
            return fail(QStringLiteral("%1 has a decimal comma; write \"%2\"")
                            .arg(quoted, withPoints.trimmed()));
        return fail(QStringLiteral("%1 is not a decimal number or a quotient of two "
                                   "(such as 0.1, 1.5e-3 or 40/400)")
                        .arg(quoted));
    }
    const Decimal& dividend = quotient->dividend;
    const Decimal& divisor = quotient->divisor;
    if (divisor.digits.isEmpty())
        return fail(QStringLiteral("%1 divides by zero").arg(quoted));
    if (dividend.digits.isEmpty())
        return fail(
            QStringLiteral("%1 is zero; the amount per impulse is at least 1e-9").arg(quoted));
    if (dividend.negative != divisor.negative)
        return fail(QStringLiteral("%1 is negative; give the size of the amount (an input "
                                   "that subtracts is set with its minus)")
                        .arg(quoted));

    // dividend / divisor = D1 / D2 × 10^exponent, D1 of n1 digits, D2 of n2:
    // it lies in (10^(n1 - 1 - n2 + exponent), 10^(n1 - n2 + 1 + exponent)).
    // What lies wholly outside 1e-9..1e9 is refused before any big number is
    // made; what remains has an exponent of a few hundred at most.
    const QString outOfRange = QStringLiteral("%1 lies outside 1e-9..1e9").arg(quoted);
    const int64_t exponent = dividend.exponent - divisor.exponent;
    const int64_t n1 = dividend.digits.size();
    const int64_t n2 = divisor.digits.size();
    if (n1 - 1 - n2 + exponent > 9 || n1 - n2 + 1 + exponent <= -9)
        return fail(outOfRange);
    ExactAmount amount{BigNat::fromDigits(dividend.digits), BigNat::fromDigits(divisor.digits)};
    if (exponent >= 0)
        amount.numerator.timesPowerOfTen(int(exponent));
    else
        amount.denominator.timesPowerOfTen(int(-exponent));
    constexpr uint32_t kBillion = 1'000'000'000u;
    if (amount.numerator * kBillion < amount.denominator ||
        amount.numerator > amount.denominator * kBillion)
        return fail(outOfRange);
    return amount;
}

// ---- The fraction ---------------------------------------------------------

Tolerance defaultTolerance() {
    return *parseTolerance(QString::fromLatin1(kDefaultTolerance), nullptr);
}

std::optional<Tolerance> parseTolerance(QStringView text, QString* error) {
    QString why;
    auto ratio = parseAmount(text, &why);
    if (ratio && ratio->numerator > ratio->denominator) {
        ratio.reset();
        why = QStringLiteral("\"%1\" is over 1; a tolerance is a relative error such as 1e-4")
                  .arg(text.trimmed().toString());
    }
    if (!ratio) {
        if (error)
            *error = why;
        return std::nullopt;
    }
    return Tolerance{*ratio, text.trimmed().toString()};
}

FractionFit fitFraction(const ExactAmount& amount, uint32_t numerator, uint32_t divisor,
                        const Tolerance& tolerance) {
    FractionFit fit;
    fit.numerator = numerator;
    fit.divisor = divisor;
    if (divisor == 0) {
        fit.value = fit.relativeError = std::numeric_limits<double>::infinity();
        fit.outOfReach = true;
        return fit;
    }
    // n/d - p/q = (nq - dp) / dq, relative to p/q: (nq - dp) / dp.
    const BigNat scaledAmount = amount.numerator * divisor;
    const BigNat difference = distance(amount.denominator * numerator, scaledAmount);
    fit.value = double(numerator) / double(divisor);
    fit.relativeError = ratio(difference, scaledAmount);
    // difference / scaledAmount > t / u, all exact.
    fit.outOfReach =
        difference * tolerance.ratio.denominator > scaledAmount * tolerance.ratio.numerator;
    return fit;
}

namespace {

constexpr uint64_t kNoBound = std::numeric_limits<uint64_t>::max();

// n/d against the amount p/q: the sign of nq - dp.
struct AgainstAmount {
    const BigNat& p;
    const BigNat& q;
    std::strong_ordering operator()(uint64_t n, uint64_t d) const {
        return q * uint32_t(n) <=> p * uint32_t(d);
    }
};

// The largest k in 1..cap for which holds(k), holds being true up to some k
// and false beyond; 1 when cap is below 2.
template <typename Holds> uint64_t largestHolding(uint64_t cap, Holds holds) {
    uint64_t low = 1, high = cap;
    while (low < high) {
        const uint64_t k = low + (high - low + 1) / 2;
        if (holds(k))
            low = k;
        else
            high = k - 1;
    }
    return low;
}

// Stern-Brocot descent: a/b < p/q < c/d with bc - ad = 1, so every fraction
// strictly between has a numerator of at least a + c and a divisor of at
// least b + d. When the mediant (a + c)/(b + d) breaks a bound, a/b and c/d
// are the amount's neighbours among the fractions within the bounds; when it
// equals the amount, the descent ends there (exact).
struct Descent {
    uint64_t a = 0, b = 1, c = 1, d = 0;
    bool exact = false;

    // Runs of steps in one direction are taken at once.
    void run(const AgainstAmount& compare, uint32_t maxNumerator, uint32_t maxDivisor) {
        while (a + c <= maxNumerator && b + d <= maxDivisor) {
            const auto side = compare(a + c, b + d);
            if (side == 0) {
                exact = true;
                return;
            }
            if (side < 0)
                raiseBelow(compare, maxNumerator, maxDivisor);
            else
                lowerAbove(compare, maxNumerator, maxDivisor);
        }
    }

    // The largest k with (a + kc)/(b + kd) still below the amount and within
    // the bounds becomes a/b; the bounds keep k below 65536.
    void raiseBelow(const AgainstAmount& compare, uint32_t maxNumerator, uint32_t maxDivisor) {
        const uint64_t cap =
            std::min((maxNumerator - a) / c, d > 0 ? (maxDivisor - b) / d : kNoBound);
        const uint64_t step =
            largestHolding(cap, [&](uint64_t k) { return compare(a + k * c, b + k * d) < 0; });
        a += step * c;
        b += step * d;
    }

    // The same from above: (c + ka)/(d + kb) becomes c/d.
    void lowerAbove(const AgainstAmount& compare, uint32_t maxNumerator, uint32_t maxDivisor) {
        const uint64_t cap =
            std::min(a > 0 ? (maxNumerator - c) / a : kNoBound, (maxDivisor - d) / b);
        const uint64_t step =
            largestHolding(cap, [&](uint64_t k) { return compare(c + k * a, d + k * b) > 0; });
        c += step * a;
        d += step * b;
    }

    // Whether a/b is the nearer neighbour: the closer one, then the smaller
    // divisor, then the smaller numerator. 1/1 is always within the bounds,
    // so at least one neighbour is a fraction (0/1 and 1/0 are only the
    // descent's starting ends).
    bool belowIsNearer(const BigNat& p, const BigNat& q) const {
        if (a == 0)
            return false;
        if (d == 0)
            return true;
        // p/q - a/b = (pb - qa)/qb against c/d - p/q = (qc - pd)/qd.
        const BigNat below = distance(p * uint32_t(b), q * uint32_t(a)) * uint32_t(d);
        const BigNat above = distance(q * uint32_t(c), p * uint32_t(d)) * uint32_t(b);
        const auto order = below <=> above;
        return order < 0 || (order == 0 && (b < d || (b == d && a < c)));
    }
};

} // namespace

FractionFit bestFraction(const ExactAmount& amount, uint32_t maxNumerator, uint32_t maxDivisor,
                         const Tolerance& tolerance) {
    maxNumerator = std::clamp<uint32_t>(maxNumerator, 1, kCoefficientLimit);
    maxDivisor = std::clamp<uint32_t>(maxDivisor, 1, kCoefficientLimit);
    Descent descent;
    descent.run(AgainstAmount{amount.numerator, amount.denominator}, maxNumerator, maxDivisor);
    const auto& [a, b, c, d, exact] = descent;
    if (exact)
        return fitFraction(amount, uint32_t(a + c), uint32_t(b + d), tolerance);
    return descent.belowIsNearer(amount.numerator, amount.denominator)
               ? fitFraction(amount, uint32_t(a), uint32_t(b), tolerance)
               : fitFraction(amount, uint32_t(c), uint32_t(d), tolerance);
}

std::optional<FractionFit> fractionBeyondNumerator(const ExactAmount& amount, uint32_t maxNumerator,
                                                   uint32_t maxDivisor,
                                                   const Tolerance& tolerance) {
    if (maxNumerator >= kCoefficientLimit ||
        !bestFraction(amount, maxNumerator, maxDivisor, tolerance).outOfReach)
        return std::nullopt;
    const FractionFit wide = bestFraction(amount, kCoefficientLimit, maxDivisor, tolerance);
    if (wide.outOfReach)
        return std::nullopt;
    return wide;
}

// ---- The amount from the meter's facts -------------------------------------

bool isEnergyUnit(QStringView unit) {
    return unit == u"Wh" || unit == u"kWh" || unit == u"MWh";
}

QString meterConstantUnit(QStringView unit, bool withRatio) {
    if (isEnergyUnit(unit) || (unit.isEmpty() && withRatio))
        return QStringLiteral("kWh");
    return unit.toString();
}

std::optional<ExactAmount> amountFromFacts(const MeterFacts& facts, QString* error) {
    auto fail = [&](const QString& why) -> std::optional<ExactAmount> {
        if (error)
            *error = why;
        return std::nullopt;
    };
    if ((facts.ct || facts.vt) && !facts.unit.isEmpty() && !isEnergyUnit(facts.unit))
        return fail(QStringLiteral("a transformer ratio goes with an amount of energy (Wh, kWh "
                                   "or MWh), not one in \"%1\"")
                        .arg(facts.unit));
    // CT x VT / K: (a/b)(c/d) / (k/l) = a c l / (b d k).
    ExactAmount amount{facts.meterConstant.denominator, facts.meterConstant.numerator};
    for (const auto& ratio : {facts.ct, facts.vt}) {
        if (!ratio)
            continue;
        amount.numerator = amount.numerator * ratio->numerator;
        amount.denominator = amount.denominator * ratio->denominator;
    }
    if (facts.unit == u"Wh")
        amount.numerator *= 1000u;
    else if (facts.unit == u"MWh")
        amount.denominator *= 1000u;
    constexpr uint32_t kBillion = 1'000'000'000u;
    if (amount.numerator * kBillion < amount.denominator ||
        amount.numerator > amount.denominator * kBillion)
        return fail(QStringLiteral("the amount per impulse these facts give, %1, lies outside "
                                   "1e-9..1e9")
                        .arg(QString::number(amount.toDouble(), 'g', 17)));
    return amount;
}

bool differBeyond(const ExactAmount& a, const ExactAmount& b, const Tolerance& tolerance) {
    // |a - b| / b = |a.n b.d - b.n a.d| / (b.n a.d), against t.n / t.d.
    const BigNat scaled = b.numerator * a.denominator;
    const BigNat difference = distance(a.numerator * b.denominator, scaled);
    return difference * tolerance.ratio.denominator > scaled * tolerance.ratio.numerator;
}
