#include "Reply.h"

#include <algorithm>

namespace ktr6sim {

namespace {

QByteArray number(int value, FieldStyle style, int width) {
    const QByteArray digits = QByteArray::number(value);
    if (digits.size() >= width)
        return digits;
    const char pad = style == FieldStyle::Blank ? ' ' : '0';
    return QByteArray(width - digits.size(), pad) + digits;
}

} // namespace

std::optional<FieldStyle> parseFieldStyle(const QString& name) {
    const QString key = name.trimmed().toLower();
    if (key == QLatin1String("plain"))
        return FieldStyle::Plain;
    if (key == QLatin1String("zero"))
        return FieldStyle::Zero;
    if (key == QLatin1String("blank"))
        return FieldStyle::Blank;
    return std::nullopt;
}

QString fieldStyleName(FieldStyle style) {
    switch (style) {
    case FieldStyle::Plain:
        return QStringLiteral("plain");
    case FieldStyle::Zero:
        return QStringLiteral("zero");
    case FieldStyle::Blank:
        return QStringLiteral("blank");
    }
    return {};
}

QByteArray formatReply(const ParamSet& params, const ReplyStyle& style, const Fault& fault) {
    const int width = style.fields == FieldStyle::Plain ? 1 : 3;

    QList<QByteArray> fields;
    for (const auto& words : {params.numerators, params.divisors}) {
        for (quint16 word : words) {
            fields << number(word & 0xff, style.fields, width);
            fields << number(word >> 8, style.fields, width);
        }
    }
    // Sign and output share one width, wide enough for both; plain zero-pads only the shorter.
    const int output = fault.kind == FaultKind::Output256 ? 256 : params.output;
    const int tailWidth = std::max({width, int(QByteArray::number(params.signMask).size()),
                                    int(QByteArray::number(output).size())});
    const FieldStyle tailStyle =
        style.fields == FieldStyle::Plain ? FieldStyle::Zero : style.fields;
    fields << number(params.signMask, tailStyle, tailWidth);
    fields << number(output, tailStyle, tailWidth);

    QByteArray reply;
    reply += 'K';
    reply += fault.kind == FaultKind::BadVariant ? 'X' : style.variant;
    reply += ':';
    for (qsizetype i = 0; i < fields.size(); ++i) {
        reply += fields[i];
        const int fieldNumber = int(i) + 1;
        const bool last = i + 1 == fields.size();
        const bool dropped = fault.kind == FaultKind::MissingComma && fault.arg == fieldNumber;
        if (!last && !dropped)
            reply += ',';
    }
    const QByteArray end = "\r\n";
    if (reply.size() + end.size() < style.minLength)
        reply += QByteArray(style.minLength - reply.size() - end.size(), ' ');
    reply += end;

    if (fault.kind == FaultKind::Short)
        reply.truncate(fault.arg);
    return reply;
}

} // namespace ktr6sim
