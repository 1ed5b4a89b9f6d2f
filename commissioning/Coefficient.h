#pragma once
// From an amount per impulse (a meter constant, a transformer ratio) to the
// coefficient numerator / divisor the relay can hold: the amount read exactly
// as written, the closest fraction within the bounds and how far it is off.
// Pure functions: no port, no printing.

#include <QString>
#include <QStringView>
#include <compare>
#include <cstdint>
#include <optional>
#include <vector>

// A natural number of any size, exact; only what the fraction search needs.
class BigNat {
public:
    BigNat() = default;
    explicit BigNat(uint64_t value);
    // From decimal digits ("0".."9" only, at least one).
    static BigNat fromDigits(QStringView digits);

    bool isZero() const { return limbs_.empty(); }
    BigNat& operator*=(uint32_t factor);
    BigNat& timesPowerOfTen(int exponent); // exponent >= 0
    friend BigNat operator*(BigNat a, uint32_t factor) { return a *= factor; }
    friend BigNat operator+(const BigNat& a, const BigNat& b);
    friend BigNat operator*(const BigNat& a, const BigNat& b);
    // |a - b|
    friend BigNat distance(const BigNat& a, const BigNat& b);
    friend std::strong_ordering operator<=>(const BigNat& a, const BigNat& b);
    friend bool operator==(const BigNat& a, const BigNat& b) = default;
    // a / b as the nearest double or within one unit in the last place (b not 0).
    friend double ratio(const BigNat& a, const BigNat& b);

private:
    std::vector<uint32_t> limbs_; // least significant first, no leading zero limb
    int bitLength() const;
    uint64_t top64(int* shift) const;
};

// A positive amount, exactly numerator / denominator (not reduced).
struct ExactAmount {
    BigNat numerator;
    BigNat denominator;
    double toDouble() const { return ratio(numerator, denominator); }
};

inline constexpr int kAmountMaxLength = 200; // characters, blanks included
inline constexpr uint32_t kDefaultMaxNumerator = 255;
inline constexpr uint32_t kDefaultMaxDivisor = 65535;
inline constexpr uint32_t kCoefficientLimit = 65535; // what the write block carries

// Reads an amount per impulse: a decimal number ("0.1", "2.5", "1.5e-3",
// ".5") or a quotient of two ("40/400", "0.4/3"), blanks allowed around each
// number, "." as the decimal point in every locale. It must lie in 1e-9..1e9
// (inclusive) and be at most kAmountMaxLength characters long. Anything else
// (zero, negative, not a number, trailing text, a zero divisor, out of range)
// gives nothing and *error says why, quoting the text, e.g.
// "\"0,1\" has a decimal comma; write \"0.1\"".
std::optional<ExactAmount> parseAmount(QStringView text, QString* error);

// The relative error |n/d - amount| / amount a fraction may show and still
// stand for the amount: one tolerance for coefficient's warning, the check of
// a plan's stated amounts and the record's marking.
struct Tolerance {
    ExactAmount ratio; // exact, as written
    QString text;      // as written, "1e-4"
    double value() const { return ratio.toDouble(); }
};
inline constexpr const char* kDefaultTolerance = "1e-4"; // 0.01 %
Tolerance defaultTolerance();
// A tolerance as written: an amount as parseAmount reads it, at most 1.
// *error says why not.
std::optional<Tolerance> parseTolerance(QStringView text, QString* error);

// A coefficient numerator / divisor held against an amount.
struct FractionFit {
    uint32_t numerator = 0;
    uint32_t divisor = 1;
    double value = 0;         // numerator / divisor
    double relativeError = 0; // |numerator / divisor - amount| / amount, a ratio
    bool outOfReach = false;  // relativeError over the tolerance, decided exactly
};

// How well numerator / divisor (divisor at least 1) stands for the amount.
FractionFit fitFraction(const ExactAmount& amount, uint32_t numerator, uint32_t divisor,
                        const Tolerance& tolerance);

// The fraction n / d with 1 <= n <= maxNumerator and 1 <= d <= maxDivisor
// closest to the amount; among equally close ones the smallest divisor, then
// the smallest numerator (so an exact amount comes out reduced: 0.15 gives
// 3/20). Both bounds lie in 1..kCoefficientLimit.
FractionFit bestFraction(const ExactAmount& amount, uint32_t maxNumerator, uint32_t maxDivisor,
                         const Tolerance& tolerance);

// When the closest fraction within maxNumerator misses the tolerance but one
// with a numerator up to kCoefficientLimit (which the block carries) meets
// it: that one. Nothing otherwise.
std::optional<FractionFit> fractionBeyondNumerator(const ExactAmount& amount, uint32_t maxNumerator,
                                                   uint32_t maxDivisor, const Tolerance& tolerance);

// What an amount per impulse comes from: the meter's constant (impulses per
// unit of its register) and the ratios of its current and voltage
// transformers ("1500/5"), read as parseAmount reads an amount, and the unit
// the amount is counted in. For Wh, kWh and MWh the register counts kWh;
// for any other unit (or none) it counts that unit and takes no ratios.
struct MeterFacts {
    ExactAmount meterConstant;
    std::optional<ExactAmount> ct;
    std::optional<ExactAmount> vt;
    QString unit; // empty: the amount's unit is the register's
};

// Wh, kWh, MWh (as written, letter case included).
bool isEnergyUnit(QStringView unit);

// What a meter constant counts impulses per: kWh for an amount of energy (a
// transformer ratio without a unit included), else the amount's unit; empty
// when neither says.
QString meterConstantUnit(QStringView unit, bool withRatio);

// CT ratio x VT ratio / meter constant, in the register's unit and scaled to
// the amount's (x 1000 for Wh, / 1000 for MWh), exactly. Nothing when a ratio
// goes with a unit that is no energy, or the amount lies outside 1e-9..1e9;
// *error then says why.
std::optional<ExactAmount> amountFromFacts(const MeterFacts& facts, QString* error);

// Whether a and b differ by more than the tolerance, relative to b.
bool differBeyond(const ExactAmount& a, const ExactAmount& b, const Tolerance& tolerance);
