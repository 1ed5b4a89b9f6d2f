#pragma once
// A relay behind the scripted port for the window tests: it answers "*" with
// its parameter reply, stores the block that follows "," and can be told to
// stay silent or to refuse the port to the next opener after a read.

#include "app/Others.h"
#include "support/ScriptedPort.h"

#include <QByteArray>

class ViewsRelay {
public:
    explicit ViewsRelay(ScriptedPort& port) : port_(port) {
        port_.onOutput = [this](const QByteArray& text) { received(text); };
    }
    ~ViewsRelay() { port_.onOutput = {}; }
    ViewsRelay(const ViewsRelay&) = delete;
    ViewsRelay& operator=(const ViewsRelay&) = delete;

    char variant = '6';
    Others::ParameterTable table = defaultTable();
    int output = 1;
    bool silent = false;
    // After answering a read, the next open of the port fails with this code
    // (another program grabbed the port).
    int refuseOpenAfterRead = 0;
    int blocksStored = 0;

    static Others::ParameterTable defaultTable() {
        Others::ParameterTable table{};
        for (auto& row : table)
            row = {1, 1, 1};
        return table;
    }

    // "K6:" + numerator and divisor pairs low,high + sign mask + output in the
    // mask's width + CR LF, as the relay writes it.
    QByteArray reply() const {
        QByteArray text = QByteArray("K") + variant + ':';
        for (int column : {Others::kNumeratorColumn, Others::kDivisorColumn}) {
            for (const auto& row : table)
                text += field(row[column] & 0xFF) + ',' + field(row[column] >> 8) + ',';
        }
        int mask = 0;
        for (int i = 0; i < Others::kInputs; ++i)
            mask |= table[i][Others::kSignColumn] == 1 ? 1 << i : 0;
        return text + field(mask) + ',' + field(output) + "\r\n";
    }

private:
    static QByteArray field(int value) { return QByteArray::number(value).rightJustified(3, '0'); }

    void received(const QByteArray& text) {
        for (const char c : text) {
            if (collecting_) {
                block_ += c;
                if (block_.size() == 26)
                    store();
                continue;
            }
            if (c == '*' && !silent) {
                port_.deliver(reply());
                if (refuseOpenAfterRead)
                    port_.openError = refuseOpenAfterRead;
            } else if (c == ',') {
                collecting_ = true;
                block_.clear();
            }
        }
    }

    void store() {
        collecting_ = false;
        const auto octet = [this](int i) { return int(uchar(block_[i])); };
        for (int i = 0; i < Others::kInputs; ++i) {
            table[i][Others::kNumeratorColumn] = octet(2 * i) | octet(2 * i + 1) << 8;
            table[i][Others::kDivisorColumn] = octet(12 + 2 * i) | octet(13 + 2 * i) << 8;
            table[i][Others::kSignColumn] = (octet(24) >> i) & 1;
        }
        output = octet(25);
        ++blocksStored;
    }

    ScriptedPort& port_;
    bool collecting_ = false;
    QByteArray block_;
};
