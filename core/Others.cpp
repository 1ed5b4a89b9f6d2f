#include "Others.h"

namespace Others {

void resetAll() {
    FirmwareVersion.clear();
    ParamTable = {};
    OutputParam = 0;
    RetryCount = 0;
    ReadFailed = False;
    LastPortError.clear();
    PortNumber = 0;
    HandshakeMode = 0;
    BaudRate = 0;
    WaitTime = 0;
    TimeDelay = 0;
}

} // namespace Others
