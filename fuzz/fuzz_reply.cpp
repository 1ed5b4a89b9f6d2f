// Fuzzes the parameter read with arbitrary device replies. Whatever comes
// back, a read either commits one whole parameter set (and reports success)
// or changes nothing (and reports failure); sign flags are only ever 0 or 1.
#include "core/Others.h"
#include "protocol/ParameterBlock.h"
#include "support/ScriptedPort.h"

#include <cstdint>
#include <cstdlib>

namespace {

void fillSentinel() {
    Others::FirmwareVersion = QStringLiteral("sentinel");
    for (int i = 0; i < Others::kInputs; ++i)
        Others::ParamTable[i] = {1, 1000 + i, 2000 + i};
    Others::OutputParam = 77;
}

bool stateIsSentinel() {
    if (Others::FirmwareVersion != QLatin1String("sentinel") || Others::OutputParam != 77)
        return false;
    for (int i = 0; i < Others::kInputs; ++i) {
        if (Others::ParamTable[i] != std::array<int32_t, 3>{1, 1000 + i, 2000 + i})
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray reply(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    TestSeams seams;
    fillSentinel();
    // The same reply to every attempt, as a device stuck on one answer.
    for (int i = 0; i < kReadAttempts; ++i)
        seams.port.replies.push_back(reply);

    ReadParameterBlock();

    const std::optional<ParameterSet> parsed =
        reply.size() >= kReplyMinLength ? parseParameterReply(reply) : std::nullopt;
    if (Others::ReadFailed == Others::False) {
        if (!parsed || Others::FirmwareVersion != parsed->firmwareVersion ||
            Others::ParamTable != parsed->table || Others::OutputParam != parsed->output)
            std::abort();
    } else {
        if (parsed || !stateIsSentinel())
            std::abort();
    }
    for (const auto& row : Others::ParamTable) {
        if (row[Others::kSignColumn] != 0 && row[Others::kSignColumn] != 1)
            std::abort();
    }
    if (seams.port.PortOpen())
        std::abort();
    return 0;
}
