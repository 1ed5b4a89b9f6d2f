#include "Scan.h"

#include "ParameterJson.h"

#include "core/NumText.h"
#include "core/Seams.h"
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
#include <map>
#include <vector>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace {

using Status = ScanResult::Status;

// One probe, on its own thread: the port configured as LoadPortSettings
// configures MSComm1, then one attempt of the read.
void probe(ScanResult* row, const PortSettingsValues& settings, const ProbePortFactory& makePort,
           const ProbePause& pause) {
    try {
        const std::unique_ptr<MSComm> port = makePort(row->port);
        PortSettingsValues values = settings;
        values.portNumber = row->port;
        applyPortSettings(*port, values);
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

// "COM3" or "COM3, COM5".
QString portNames(const ScanResult& row) {
    QString names = portName(row.port);
    for (int16_t alias : row.aliases)
        names += QStringLiteral(", ") + portName(alias);
    return names;
}

} // namespace

quint64 deviceNumber(const QString& device) {
#ifdef Q_OS_UNIX
    struct stat st {};
    if (::stat(QFile::encodeName(device).constData(), &st) == 0 &&
        (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)))
        return quint64(st.st_rdev);
#else
    Q_UNUSED(device);
#endif
    return 0;
}

QList<ScanPort> scanCandidates() {
    QList<ScanPort> ports;
    std::map<quint64, qsizetype> seen; // device number -> its candidate
    const QString dir = programDirectory();
    for (int16_t number = kScanFirstPort; number <= kScanLastPort; ++number) {
        const QString device = deviceForPort(number, dir);
        if (!isDevicePresent(device))
            continue;
        const quint64 id = deviceNumber(device);
        const auto known = seen.find(id);
        if (id != 0 && known != seen.end()) {
            ports[known->second].aliases.append(number);
            continue;
        }
        if (id != 0)
            seen[id] = ports.size();
        ports.append({number, device, {}});
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
        row->aliases = ports[qsizetype(i)].aliases;
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
        json += "{\"port\":" + QByteArray::number(row.port);
        if (!row.aliases.isEmpty()) {
            QByteArrayList aliases;
            for (int16_t alias : row.aliases)
                aliases << QByteArray::number(alias);
            json += ",\"aliases\":[" + aliases.join(',') + ']';
        }
        json += ",\"device\":" + jsonString(row.device) +
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
    qsizetype portWidth = 5; // "COM15"
    qsizetype deviceWidth = QStringLiteral("Device").size();
    for (const ScanResult& row : results) {
        portWidth = std::max(portWidth, portNames(row).size());
        deviceWidth = std::max(deviceWidth, row.device.size());
    }
    const auto line = [portWidth, deviceWidth](const QString& port, const QString& device,
                                               const QString& status) {
        return QStringLiteral("%1  %2  %3\n")
            .arg(port.leftJustified(portWidth), device.leftJustified(deviceWidth), status);
    };
    QString text = line(QStringLiteral("Port"), QStringLiteral("Device"), QStringLiteral("Status"));
    for (const ScanResult& row : results) {
        QString status = scanStatusName(row.status);
        if (row.status == Status::Found)
            status += QStringLiteral(", firmware SW ") + row.firmware;
        else if (row.status == Status::Error)
            status += QStringLiteral(": ") + row.reason;
        text += line(portNames(row), row.device, status);
    }
    return text;
}
