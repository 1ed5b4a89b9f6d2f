// ktr6ctl monitor: one CSV line per counted record until stopped.

#include "Commands.h"
#include "CtlRun.h"
#include "Monitor.h"

int runMonitor(const CtlJob& job, CtlRun& run) {
    const auto set = run.readParameters();
    if (!set)
        return kExitDevice;
    printErr(QStringLiteral("ktr6ctl: watching %1, firmware SW %2; Ctrl+C stops.")
                 .arg(run.portDescription(), set->firmwareVersion));
    Monitor monitor(run.port(), *set, job.options.count.value_or(0), stdout);
    const int status = monitor.run();
    if (status != kExitOk && !monitor.portError().isEmpty())
        printErr(QStringLiteral("ktr6ctl: %1: %2").arg(run.portDescription(), monitor.portError()));
    return status;
}
