#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

namespace ktr6sim {

// Splits what the PC sends into requests. "*" asks for the parameters; "," opens a write whose
// 26 octets trickle in one at a time, so the decoder carries a half-received block across
// chunks, and inside it "*" and "," are plain data. Anything else between requests is ignored.
class RequestDecoder {
public:
    struct Request {
        enum class Type { Read, Write } type;
        QByteArray block; // the 26 octets of a write
    };

    QList<Request> feed(QByteArrayView bytes);
    void reset();
    bool inBlock() const { return inBlock_; }

private:
    bool inBlock_ = false;
    QByteArray block_;
};

} // namespace ktr6sim
