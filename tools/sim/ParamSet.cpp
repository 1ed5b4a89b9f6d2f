#include "ParamSet.h"

#include <QStringList>

namespace ktr6sim {

namespace {

bool parseWord(QStringView text, quint16* out) {
    bool ok = false;
    const uint value = text.toUInt(&ok, 10);
    if (!ok || value > 0xffff)
        return false;
    *out = static_cast<quint16>(value);
    return true;
}

bool fail(QString* error, const QString& message) {
    if (error)
        *error = message;
    return false;
}

} // namespace

std::optional<ParamSet> parseParamList(const QString& text, const ParamSet& base, QString* error) {
    const QStringList entries = text.split(QLatin1Char(','));
    if (entries.size() != kInputCount) {
        fail(error, QStringLiteral("expected %1 comma-separated NUM/DIV entries, got %2")
                        .arg(QString::number(kInputCount), QString::number(entries.size())));
        return std::nullopt;
    }
    ParamSet result = base;
    for (int i = 0; i < kInputCount; ++i) {
        QStringView entry = QStringView(entries[i]).trimmed();
        bool negative = false;
        if (entry.startsWith(QLatin1Char('-')) || entry.startsWith(QLatin1Char('+'))) {
            negative = entry.front() == QLatin1Char('-');
            entry = entry.mid(1);
        }
        const qsizetype slash = entry.indexOf(QLatin1Char('/'));
        const QStringView num = slash < 0 ? entry : entry.left(slash);
        const QStringView div = slash < 0 ? QStringView(u"1") : entry.mid(slash + 1);
        if (!parseWord(num, &result.numerators[i]) || !parseWord(div, &result.divisors[i])) {
            fail(error, QStringLiteral("IN %1: \"%2\" is not NUM/DIV with both in 0..65535")
                            .arg(QString::number(i + 1), entries[i]));
            return std::nullopt;
        }
        const quint8 bit = quint8(1u << i);
        result.signMask = negative ? quint8(result.signMask & ~bit) : quint8(result.signMask | bit);
    }
    return result;
}

QString formatParamList(const ParamSet& params) {
    QStringList entries;
    for (int i = 0; i < kInputCount; ++i) {
        entries << QStringLiteral("%1%2/%3").arg(
            params.positive(i) ? QString() : QStringLiteral("-"),
            QString::number(params.numerators[i]), QString::number(params.divisors[i]));
    }
    return entries.join(QLatin1Char(','));
}

std::optional<ParamSet> decodeWriteBlock(QByteArrayView block) {
    if (block.size() != kWriteBlockSize)
        return std::nullopt;
    const auto octet = [&](int i) { return quint16(quint8(block[i])); };
    ParamSet result;
    for (int i = 0; i < kInputCount; ++i) {
        result.numerators[i] = quint16(octet(2 * i) | octet(2 * i + 1) << 8);
        result.divisors[i] = quint16(octet(12 + 2 * i) | octet(12 + 2 * i + 1) << 8);
    }
    result.signMask = quint8(octet(24));
    result.output = quint8(octet(25));
    return result;
}

} // namespace ktr6sim
