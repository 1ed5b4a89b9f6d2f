// ktr6ctl read: the device's set as a table or as JSON.

#include "Commands.h"
#include "CtlRun.h"
#include "commissioning/ParameterJson.h"

int runRead(const CtlJob& job, CtlRun& run) {
    const auto set = run.readParameters();
    if (!set)
        return kExitDevice;
    if (job.options.json)
        return writeOutput(parameterSetJson(*set));
    return writeOutput(
        (QStringLiteral("Device       %1\n").arg(run.portDescription()) + parameterSetReport(*set))
            .toUtf8());
}
