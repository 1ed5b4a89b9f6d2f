#pragma once

// Reads a parameter reply the way the PC side does, independently of how the simulator builds
// it: fields 1..25 each end at a comma, and the output value is the k characters after the
// comma that ends field 25, k being that field's length.

#include <QByteArray>
#include <QList>

#include <optional>

struct ReadReply {
    char variant = 0;
    QList<QByteArray> fields; // the 25 comma-terminated fields, as written
    QByteArray output;        // field 26, as written

    int number(int field) const { return fields[field - 1].trimmed().toInt(); }
    int word(int lowField) const { return number(lowField) + 256 * number(lowField + 1); }
    int numerator(int input) const { return word(2 * input - 1); }
    int divisor(int input) const { return word(12 + 2 * input - 1); }
};

inline std::optional<ReadReply> readReply(const QByteArray& reply) {
    if (reply.size() < 3)
        return std::nullopt;
    ReadReply read;
    read.variant = reply[1];
    qsizetype pos = 3;
    for (int i = 0; i < 25; ++i) {
        const qsizetype comma = reply.indexOf(',', pos);
        if (comma < 0)
            return std::nullopt;
        read.fields << reply.mid(pos, comma - pos);
        pos = comma + 1;
    }
    read.output = reply.mid(pos, read.fields.last().size());
    return read;
}
