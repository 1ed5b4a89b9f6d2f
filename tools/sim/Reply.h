#pragma once

#include "Fault.h"
#include "ParamSet.h"

#include <QByteArray>
#include <QList>

namespace ktr6sim {

// How the relay's firmware writes the numbers of its parameter reply.
enum class FieldStyle {
    Plain, // "16"
    Zero,  // "016"
    Blank, // " 16"
};

struct ReplyStyle {
    FieldStyle fields = FieldStyle::Zero;
    char variant = '6'; // firmware variant digit, "6" or "3"
    int minLength = 56; // the PC side retries anything of 55 characters or fewer
};

std::optional<FieldStyle> parseFieldStyle(const QString& name);
QString fieldStyleName(FieldStyle style);

// The answer to "*": "K" variant ":" then 24 coefficient octets, sign mask and output, each of
// the first 25 followed by ",", padded with blanks and ended by CR LF. The output value always
// takes as many characters as the sign mask, because the PC side reads it by that width.
// Only the shape faults (short, missing-comma, bad-variant, output-256) change the text; the
// others are about timing or storage and are the device's business.
QByteArray formatReply(const ParamSet& params, const ReplyStyle& style, const Fault& fault = {});

} // namespace ktr6sim
