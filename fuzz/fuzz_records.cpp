// Fuzzes the on-line record framing with arbitrary chunkings. The first
// bytes choose where the stream is cut; the assembler must count exactly the
// records a plain reading of the whole stream finds: none twice, none that
// was not complete, in arrival order.
#include "protocol/OnlineStream.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

std::vector<int> referenceRecords(const QByteArray& stream) {
    std::vector<int> channels;
    qsizetype start = 0;
    for (qsizetype i = 0; i < stream.size(); ++i) {
        if (stream[i] != '\r')
            continue;
        // Line feeds in front of a record are the tail of a CR LF line end.
        qsizetype first = start;
        while (first < i && stream[first] == '\n')
            ++first;
        if (first < i && stream[first] >= '1' && stream[first] <= '8')
            channels.push_back(stream[first] - '1');
        start = i + 1;
    }
    return channels;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    const size_t cuts = data[0] % 16;
    if (size < 1 + cuts)
        return 0;
    const QByteArray stream(reinterpret_cast<const char*>(data + 1 + cuts),
                            static_cast<qsizetype>(size - 1 - cuts));

    RecordAssembler assembler;
    std::vector<int> counted;
    qsizetype pos = 0;
    for (size_t c = 0; c <= cuts; ++c) {
        const qsizetype length =
            c == cuts ? stream.size() - pos : qMin<qsizetype>(data[1 + c], stream.size() - pos);
        const std::vector<int> got = assembler.feed(stream.mid(pos, length));
        counted.insert(counted.end(), got.begin(), got.end());
        pos += length;
    }
    if (counted != referenceRecords(stream))
        std::abort();
    return 0;
}
