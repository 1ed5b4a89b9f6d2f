#pragma once

#include <QByteArrayView>
#include <QString>

#include <array>
#include <optional>

namespace ktr6sim {

inline constexpr int kInputCount = 6;
// Size of the block that follows "," in a parameter write.
inline constexpr int kWriteBlockSize = 26;

// What the relay keeps in its EEPROM: one coefficient numerator/divisor per input, which inputs
// count positive, and the value it drives onto the outputs.
struct ParamSet {
    std::array<quint16, kInputCount> numerators{1, 1, 1, 1, 1, 1};
    std::array<quint16, kInputCount> divisors{1, 1, 1, 1, 1, 1};
    quint8 signMask = 0x3f; // bit i set: IN i+1 counts positive
    quint8 output = 1;

    bool positive(int input) const { return (signMask >> input) & 1; }
    friend bool operator==(const ParamSet&, const ParamSet&) = default;
};

// Parses "16/1,1/4,-1/3,256/65300,1/1,1/1": six NUM[/DIV] entries for IN 1..6, a leading "-"
// makes the input count negative. DIV defaults to 1. The output value is left untouched.
std::optional<ParamSet> parseParamList(const QString& text, const ParamSet& base,
                                       QString* error = nullptr);
// The inverse of parseParamList for the six inputs (sign bits 6 and 7 are not shown).
QString formatParamList(const ParamSet& params);

// Octets 0..11: numerators of IN 1..6 little-endian, 12..23: divisors likewise, 24: sign mask,
// 25: output value. Anything but exactly 26 octets is not a block.
std::optional<ParamSet> decodeWriteBlock(QByteArrayView block);

} // namespace ktr6sim
