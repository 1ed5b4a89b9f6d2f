// ktr6ctl diff: the device's set against a parameter file.

#include "Commands.h"
#include "CtlRun.h"
#include "commissioning/ParameterJson.h"

int runDiff(const CtlJob& job, CtlRun& run) {
    const ParameterPlan& plan = *job.plan;
    const auto set = run.readParameters();
    if (!set)
        return kExitDevice;
    // The differences go to stdout, one a line, for a script or a person to
    // read; stderr says in one line what was compared with what.
    const QStringList differences = parameterSetDifferences(*set, plan.set);
    const int status =
        writeOutput(differences.isEmpty() ? QByteArray()
                                          : (differences.join(QLatin1Char('\n')) + '\n').toUtf8());
    if (status != kExitOk)
        return status;
    const QString fileName = inputName(job.options.file);
    if (differences.isEmpty()) {
        printErr(QStringLiteral("ktr6ctl: the device on %1 holds the set in %2.")
                     .arg(run.portDescription(), fileName));
        return kExitOk;
    }
    printErr(
        QStringLiteral("ktr6ctl: the device on %1 holds another set than %2: %3.")
            .arg(run.portDescription(), fileName,
                 differences.size() == 1
                     ? QStringLiteral("1 difference")
                     : QStringLiteral("%1 differences").arg(QString::number(differences.size()))));
    return kExitDiffers;
}
