#include "RequestDecoder.h"

#include "ParamSet.h"

namespace ktr6sim {

QList<RequestDecoder::Request> RequestDecoder::feed(QByteArrayView bytes) {
    QList<Request> requests;
    for (char c : bytes) {
        if (inBlock_) {
            block_ += c;
            if (block_.size() == kWriteBlockSize) {
                requests.append({Request::Type::Write, block_});
                reset();
            }
        } else if (c == '*') {
            requests.append({Request::Type::Read, {}});
        } else if (c == ',') {
            inBlock_ = true;
        }
    }
    return requests;
}

void RequestDecoder::reset() {
    inBlock_ = false;
    block_.clear();
}

} // namespace ktr6sim
