#include "Scan.h"

#include "ParameterJson.h"
#include "StopSignals.h"

#include "app/NumText.h"
#include "app/Seams.h"
#include "protocol/ParameterBlock.h"
#include "serial/MSComm.h"
#include "serial/PortMap.h"
#include "serial/QtSerialComm.h"

#include <QDir>
#include <QFileInfo>
#include <QSerialPortInfo>
#include <QStringList>
#include <QThread>
#include <algorithm>
#include <vector>

namespace {

using Status = ScanResult::Status;

// Thrown by the command's pause once a stop signal has come.
struct StopRequested {};

bool deviceExists(const QString& device) {
    if (device.isEmpty())
        return false;
    if (isDeviceFile(device))
        return QFileInfo::exists(device);
    // A Windows port name: only the system knows whether it is there.
    const auto ports = QSerialPortInfo::availablePorts();
    return std::any_of(ports.begin(), ports.end(), [&device](const QSerialPortInfo& info) {
        return info.portName().compare(device, Qt::CaseInsensitive) == 0;
    });
}

// One probe, on its own thread: the port configured as LoadPortSettings
// configures MSComm1, then one attempt of the read.
void probe(ScanResult* row, const PortSettingsValues& settings, const ProbePortFactory& makePort,
           const ProbePause& pause) {
    try {
        const std::unique_ptr<MSComm> port = makePort(row->port);
        port->CommPort(row->port);
        port->Handshaking(settings.handshakeMode);
        port->Settings(decimalText(settings.baudRate) + QStringLiteral(",N,8,1"));
        port->InputMode(0);
        port->DTREnable(false);
        row->status = classifyReply(requestParameterReply(*port, pause), &row->firmware);
    } catch (const comm::CommError& error) {
        // Held by another program: its lock file or exclusive open refused
        // the open, so nothing reached the line.
        if (error.code() == comm::kPortAlreadyOpen)
            row->status = Status::Busy;
        else if (error.code() == comm::kNoPermission)
            row->status = Status::NoPermission;
        else
            row->reason = error.detail();
    } catch (const std::exception& error) {
        row->reason = QString::fromUtf8(error.what());
    } catch (...) {
        row->reason = QStringLiteral("stopped"); // the pause ended the probe
    }
}

QString portName(int16_t port) {
    return QStringLiteral("COM") + QString::number(port);
}

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

} // namespace

QList<ScanPort> scanCandidates() {
    QList<ScanPort> ports;
    const QString dir = programDirectory();
    for (int16_t number = kScanFirstPort; number <= kScanLastPort; ++number) {
        const QString device = deviceForPort(number, dir);
        if (deviceExists(device))
            ports.append({number, device});
    }
    return ports;
}

ScanResult::Status classifyReply(const QByteArray& reply, QString* firmware) {
    if (reply.isEmpty())
        return Status::NoAnswer;
    if (reply.size() < kReplyMinLength)
        return Status::OtherReply;
    const auto set = parseParameterReply(reply);
    if (!set)
        return Status::OtherReply;
    *firmware = set->firmwareVersion;
    return Status::Found;
}

QList<ScanResult> scanPorts(const QList<ScanPort>& ports, const PortSettingsValues& settings,
                            const ProbePortFactory& makePort, const ProbePause& pause) {
    // Each probe writes only its own row; the rows stay where they are until
    // every thread has ended.
    std::vector<ScanResult> rows(size_t(ports.size()));
    std::vector<std::unique_ptr<QThread>> threads;
    for (size_t i = 0; i < rows.size(); ++i) {
        ScanResult* row = &rows[i];
        row->port = ports[qsizetype(i)].number;
        row->device = ports[qsizetype(i)].device;
        threads.emplace_back(QThread::create(
            [row, &settings, &makePort, &pause] { probe(row, settings, makePort, pause); }));
        threads.back()->start();
    }
    for (const auto& thread : threads)
        thread->wait();
    return QList<ScanResult>(rows.begin(), rows.end());
}

QString scanStatusName(ScanResult::Status status) {
    switch (status) {
    case Status::Found:
        return QStringLiteral("found");
    case Status::NoAnswer:
        return QStringLiteral("no answer");
    case Status::OtherReply:
        return QStringLiteral("other reply");
    case Status::Busy:
        return QStringLiteral("busy");
    case Status::NoPermission:
        return QStringLiteral("no permission");
    case Status::Error:
        break;
    }
    return QStringLiteral("error");
}

QByteArray scanJson(const QList<ScanResult>& results) {
    QByteArray json = "[";
    for (const ScanResult& row : results) {
        if (json.size() > 1)
            json += ',';
        json += "{\"port\":" + QByteArray::number(row.port) +
                ",\"device\":" + jsonString(row.device) +
                ",\"status\":" + jsonString(scanStatusName(row.status));
        if (row.status == Status::Found)
            json += ",\"firmware\":" + jsonString(row.firmware);
        if (row.status == Status::Error)
            json += ",\"reason\":" + jsonString(row.reason);
        json += '}';
    }
    return json + "]\n";
}

QString scanTable(const QList<ScanResult>& results) {
    qsizetype deviceWidth = QStringLiteral("Device").size();
    for (const ScanResult& row : results)
        deviceWidth = std::max(deviceWidth, row.device.size());
    const auto line = [deviceWidth](const QString& port, const QString& device,
                                    const QString& status) {
        return QStringLiteral("%1  %2  %3\n")
            .arg(port.leftJustified(5), device.leftJustified(deviceWidth), status);
    };
    QString text = line(QStringLiteral("Port"), QStringLiteral("Device"), QStringLiteral("Status"));
    for (const ScanResult& row : results) {
        QString status = scanStatusName(row.status);
        if (row.status == Status::Found)
            status += QStringLiteral(", firmware SW ") + row.firmware;
        else if (row.status == Status::Error)
            status += QStringLiteral(": ") + row.reason;
        text += line(portName(row.port), row.device, status);
    }
    return text;
}

int runScanCommand(bool json, bool save, const std::function<void(const QString&)>& tell,
                   const std::function<int(const QByteArray&)>& output) {
    constexpr int kFound = 0;
    constexpr int kNotFound = 1;
    constexpr int kBadSettings = 2;

    // Finding the port is what a technician does before there is a settings
    // file: without one the scan uses a fresh installation's line settings.
    const PortSettingsRead read = readPortSettings();
    if (!read.values && !read.missing) {
        MsgBox(read.message, MsgIcon::Warning, QStringLiteral("Error"));
        return kBadSettings;
    }
    const PortSettingsValues settings = read.values.value_or(kDefaultPortSettings);
    if (read.missing)
        tell(QStringLiteral("ktr6ctl: no settings file %1; probing at %2 baud without "
                            "handshaking.")
                 .arg(shownSettingsFile(), QString::number(settings.baudRate)));

    const QList<ScanPort> candidates = scanCandidates();
    if (candidates.isEmpty()) {
        tell(QStringLiteral("ktr6ctl: none of COM%1..COM%2 has a device on this machine; "
                            "nothing was probed.")
                 .arg(QString::number(kScanFirstPort), QString::number(kScanLastPort)));
        const int written = json ? output("[]\n") : 0;
        return written != 0 ? written : kNotFound;
    }
    const QList<ScanResult> results = scanPorts(
        candidates, settings, [](int16_t) { return std::make_unique<QtSerialComm>(); },
        [](int ms) {
            if (stopsignals::sleep(ms, true))
                throw StopRequested{};
        });
    if (stopsignals::received())
        return kNotFound; // the caller ends the program as the signal asks

    const int written = output(json ? scanJson(results) : scanTable(results).toUtf8());
    if (written != 0)
        return written;

    QList<int16_t> found;
    QList<int16_t> busy;
    for (const ScanResult& row : results) {
        if (row.status == Status::Found)
            found << row.port;
        else if (row.status == Status::Busy)
            busy << row.port;
    }
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
        tell(QStringLiteral("ktr6ctl: no relay found on %1.%2%3")
                 .arg(probed, busyNote,
                      save ? QStringLiteral(" The settings file was not changed.") : QString()));
        return kNotFound;
    }
    if (found.size() > 1) {
        tell(QStringLiteral("ktr6ctl: %1 relays found, on %2.%3")
                 .arg(QString::number(found.size()), portList(found),
                      save ? QStringLiteral(" --save needs exactly one; the settings file was not "
                                            "changed. Leave one relay connected and scan again.")
                           : QString()));
        return save ? kNotFound : kFound;
    }

    const int16_t port = found.first();
    const bool named = read.values && read.values->portNumber == port;
    if (!save) {
        tell(QStringLiteral("ktr6ctl: one relay found, on %1.%2")
                 .arg(portName(port),
                      named ? QStringLiteral(" The settings file names it already.")
                            : QStringLiteral(" ktr6ctl scan --save makes it the settings "
                                             "file's port.")));
        return kFound;
    }
    if (named) {
        tell(QStringLiteral("ktr6ctl: one relay found, on %1; the settings file %2 names it "
                            "already and was not changed.")
                 .arg(portName(port), shownSettingsFile()));
        return kFound;
    }
    // The dialog's writer: only the port changes; a missing file is made
    // with a fresh installation's other lines.
    PortSettingsValues values = settings;
    values.portNumber = port;
    QString error;
    if (!writePortSettings(values, &error)) {
        tell(QStringLiteral("ktr6ctl: one relay found, on %1, but it could not be saved.\n%2")
                 .arg(portName(port), error));
        return kNotFound;
    }
    tell(QStringLiteral("ktr6ctl: one relay found, on %1; saved as the port in %2.")
             .arg(portName(port), shownSettingsFile()));
    return kFound;
}
