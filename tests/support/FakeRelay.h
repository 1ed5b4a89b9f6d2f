#pragma once
// A relay for the scripted port: it keeps a parameter set, answers "*" with
// the reply text the device writes, and stores the block that follows ",".
// The reply text is built here by hand, independent of the program's parser.

#include "support/ScriptedPort.h"

#include <QByteArray>
#include <QList>
#include <array>
#include <functional>

struct RelayParams {
    std::array<int, 6> numerators{1, 1, 1, 1, 1, 1};
    std::array<int, 6> divisors{1, 1, 1, 1, 1, 1};
    int signMask = 63;
    int output = 1;
};

// One field as the device writes it: right-aligned in `width` characters,
// filled with `fill` ('0' or ' ').
inline QByteArray deviceField(long long value, int width = 3, char fill = '0') {
    return QByteArray::number(value).rightJustified(width, fill);
}

// "K6:" then the 24 pair fields, the sign mask, each with its ",", then the
// output in the sign field's width and CR LF.
inline QByteArray deviceReply(const RelayParams& p, char variant = '6', int width = 3) {
    QList<QByteArray> fields;
    for (const auto& column : {p.numerators, p.divisors}) {
        for (int value : column) {
            fields << deviceField(value & 0xFF, width) << deviceField(value >> 8, width);
        }
    }
    const QByteArray sign = deviceField(p.signMask, width);
    fields << sign;
    QByteArray reply = QByteArray("K") + variant + ':';
    for (const QByteArray& field : fields)
        reply += field + ',';
    return reply + deviceField(p.output, int(sign.size())) + "\r\n";
}

// The same reply from raw field texts: fields 1..25 joined with their
// commas (the comma after field `dropComma` left out), then the output text.
inline QByteArray replyFromFields(const QList<QByteArray>& fields25, const QByteArray& output,
                                  char variant = '6', int dropComma = 0) {
    QByteArray reply = QByteArray("K") + variant + ':';
    for (int k = 1; k <= fields25.size(); ++k)
        reply += fields25[k - 1] + (k == dropComma ? "" : ",");
    reply += output;
    return reply.leftJustified(60, ' ');
}

// The 25 default fields of replyFromFields: every pair 1/0 and mask 63.
inline QList<QByteArray> defaultFields() {
    QList<QByteArray> fields;
    for (int i = 0; i < 12; ++i)
        fields << "001"
               << "000";
    fields << "063";
    return fields;
}

class FakeRelay {
public:
    explicit FakeRelay(ScriptedPort& port) : port_(port) {
        port_.onOutput = [this](const QByteArray& text) { received(text); };
    }
    ~FakeRelay() { port_.onOutput = {}; }

    RelayParams stored;
    char variant = '6';
    bool silent = false;
    // After answering a read, the next open of the port fails with this code
    // (another program grabbed the port).
    int refuseOpenAfterRead = 0;
    // Applied to every stored block: a device that keeps something else.
    std::function<void(RelayParams&)> corrupt;
    int blocksStored = 0;

    // Input row r (0..5): sign flag 1 counts up, anything else down.
    void setRow(int r, int sign, int numerator, int divisor) {
        stored.numerators[r] = numerator;
        stored.divisors[r] = divisor;
        stored.signMask = sign == 1 ? stored.signMask | 1 << r : stored.signMask & ~(1 << r);
    }

private:
    void received(const QByteArray& text) {
        for (const char c : text) {
            if (collecting_) {
                block_ += c;
                if (block_.size() == 26)
                    store();
            } else if (c == ',') {
                collecting_ = true;
                block_.clear();
            } else if (c == '*' && !silent) {
                port_.deliver(deviceReply(stored, variant));
                if (refuseOpenAfterRead)
                    port_.openError = refuseOpenAfterRead;
            }
        }
    }
    void store() {
        collecting_ = false;
        auto octet = [this](int i) { return int(uchar(block_[i])); };
        for (int i = 0; i < 6; ++i) {
            stored.numerators[i] = octet(2 * i) | octet(2 * i + 1) << 8;
            stored.divisors[i] = octet(12 + 2 * i) | octet(13 + 2 * i) << 8;
        }
        stored.signMask = octet(24);
        stored.output = octet(25);
        if (corrupt)
            corrupt(stored);
        ++blocksStored;
    }

    ScriptedPort& port_;
    bool collecting_ = false;
    QByteArray block_;
};
