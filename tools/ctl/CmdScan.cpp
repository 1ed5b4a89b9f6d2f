// ktr6ctl scan: which port is the relay on? Prints what every port answered
// and, with --save, makes the one relay's port the settings file's.

#include "Commands.h"
#include "CtlRun.h"
#include "StopSignals.h"
#include "commissioning/Scan.h"

#include "core/Seams.h"
#include "serial/PortMap.h"

#include <QDir>
#include <QFileInfo>

namespace {

constexpr int kFound = 0;
constexpr int kNotFound = 1;
constexpr int kBadSettings = 2;

// Thrown by the command's pause once a stop signal has come.
struct StopRequested {};

// "COM2", "COM2 and COM4", "COM2, COM4 and COM9".
QString portList(const QList<int16_t>& ports) {
    QStringList names;
    for (int16_t port : ports)
        names << portName(port);
    if (names.size() < 2)
        return names.join(QString());
    const QString last = names.takeLast();
    return QStringLiteral("%1 and %2").arg(names.join(QStringLiteral(", ")), last);
}

QString shownSettingsFile() {
    const QString dir = programDirectory();
    QString path = findSettingsFile(dir).path;
    if (path.isEmpty())
        path = QDir(dir).filePath(kSettingsWriterName);
    return QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath());
}

QList<int16_t> portsWith(const QList<ScanResult>& results, ScanResult::Status status) {
    QList<int16_t> ports;
    for (const ScanResult& row : results) {
        if (row.status == status)
            ports << row.port;
    }
    return ports;
}

// No relay, or several: says so; the exit status.
int reportNotOne(const QList<ScanResult>& results, const QList<int16_t>& found, bool save) {
    const QList<int16_t> busy = portsWith(results, ScanResult::Status::Busy);
    const QString busyNote =
        busy.isEmpty() ? QString()
                       : QStringLiteral(" %1 held by another program; close it and scan again "
                                        "to probe %2 too.")
                             .arg(portList(busy) + (busy.size() == 1 ? QStringLiteral(" is")
                                                                     : QStringLiteral(" are")),
                                  busy.size() == 1 ? QStringLiteral("it") : QStringLiteral("them"));
    const QString probed =
        results.size() == 1
            ? QStringLiteral("the one port probed")
            : QStringLiteral("the %1 ports probed").arg(QString::number(results.size()));
    if (found.isEmpty()) {
        printErr(
            QStringLiteral("ktr6ctl: no relay found on %1.%2%3")
                .arg(probed, busyNote,
                     save ? QStringLiteral(" The settings file was not changed.") : QString()));
        return kNotFound;
    }
    printErr(QStringLiteral("ktr6ctl: %1 relays found, on %2.%3")
                 .arg(QString::number(found.size()), portList(found),
                      save ? QStringLiteral(" --save needs exactly one; the settings file was not "
                                            "changed. Leave one relay connected and scan again.")
                           : QString()));
    return save ? kNotFound : kFound;
}

// One relay on port: says so and, with save, stores it.
int reportOne(int16_t port, const PortSettingsRead& read, bool save) {
    const bool named = read.values && read.values->portNumber == port;
    if (!save) {
        printErr(QStringLiteral("ktr6ctl: one relay found, on %1.%2")
                     .arg(portName(port),
                          named ? QStringLiteral(" The settings file names it already.")
                                : QStringLiteral(" ktr6ctl scan --save makes it the settings "
                                                 "file's port.")));
        return kFound;
    }
    if (named) {
        printErr(QStringLiteral("ktr6ctl: one relay found, on %1; the settings file %2 names it "
                                "already and was not changed.")
                     .arg(portName(port), shownSettingsFile()));
        return kFound;
    }
    // The dialog's writer on the file as it is now: only the port changes,
    // whatever another program changed during the scan; a missing file is
    // made with a fresh installation's other lines.
    QString error;
    if (!writePortNumber(port, &error)) {
        printErr(QStringLiteral("ktr6ctl: one relay found, on %1, but it could not be saved.\n%2")
                     .arg(portName(port), error));
        return kNotFound;
    }
    printErr(QStringLiteral("ktr6ctl: one relay found, on %1; saved as the port in %2.")
                 .arg(portName(port), shownSettingsFile()));
    return kFound;
}

QList<ScanResult> probeAll(const QList<ScanPort>& candidates, const PortSettingsValues& settings) {
    return scanPorts(
        candidates, settings, [](int16_t) { return std::make_unique<QtSerialComm>(); },
        [](int ms) {
            if (stopsignals::sleep(ms, true))
                throw StopRequested{};
        });
}

} // namespace

int runScan(const CtlOptions& options) {
    // Finding the port is what a technician does before there is a settings
    // file: without one the scan uses a fresh installation's line settings.
    const PortSettingsRead read = readPortSettings();
    if (!read.values && !read.missing) {
        printNotice(read.message, QStringLiteral("Error"));
        return kBadSettings;
    }
    const PortSettingsValues settings = read.values.value_or(kDefaultPortSettings);
    if (read.missing)
        printErr(QStringLiteral("ktr6ctl: no settings file %1; probing at %2 baud without "
                                "handshaking.")
                     .arg(shownSettingsFile(), QString::number(settings.baudRate)));

    const QList<ScanPort> candidates = scanCandidates();
    if (candidates.isEmpty()) {
        printErr(QStringLiteral("ktr6ctl: none of %1..%2 has a device on this machine; "
                                "nothing was probed.")
                     .arg(portName(kScanFirstPort), portName(kScanLastPort)));
        const int written = options.json ? writeOutput("[]\n") : 0;
        return written != 0 ? written : kNotFound;
    }
    const QList<ScanResult> results = probeAll(candidates, settings);
    if (stopsignals::received())
        return kNotFound; // the caller ends the program as the signal asks

    const int written = writeOutput(options.json ? scanJson(results) : scanTable(results).toUtf8());
    if (written != 0)
        return written;
    const QList<int16_t> found = portsWith(results, ScanResult::Status::Found);
    if (found.size() != 1)
        return reportNotOne(results, found, options.save);
    return reportOne(found.first(), read, options.save);
}
