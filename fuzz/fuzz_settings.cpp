// Fuzzes the settings-file reader. Whatever the bytes, the reader either
// refuses them with a line and a reason, or yields values inside their
// ranges that the writer turns back into a file reading the same.
#include "serial/SettingsFile.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray text(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const SettingsParseResult result = parseSettingsText(text);
    if (!result.values) {
        if (result.problem.isEmpty() || result.line < 0)
            std::abort();
        return 0;
    }
    const PortSettingsValues& v = *result.values;
    if (v.handshakeMode < 0 || v.handshakeMode > 3 || v.baudRate < 1)
        std::abort();
    const SettingsParseResult again = parseSettingsText(formatSettingsText(v));
    if (!again.values || !(*again.values == v))
        std::abort();
    return 0;
}
