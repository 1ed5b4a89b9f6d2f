#include "PortMap.h"

#include "MSComm.h"
#include "SettingsFile.h"

#include "core/NumText.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSerialPortInfo>
#include <algorithm>

QString findFileNoCase(const QString& dir, const QString& name) {
    const QDir directory(dir);
    const QString exact = directory.filePath(name);
    if (QFileInfo(exact).exists() || QFileInfo(exact).isSymLink())
        return exact;
    const QStringList entries =
        directory.entryList(QDir::Files | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        if (entry.compare(name, Qt::CaseInsensitive) == 0)
            return directory.filePath(entry);
    }
    return {};
}

QString findPortLink(int number, const QString& programDir) {
    if (programDir.isEmpty())
        return {};
    return findFileNoCase(programDir, QStringLiteral("com%1").arg(number));
}

QString deviceForPort(int number, const QString& programDir, Platform platform) {
    const QString link = findPortLink(number, programDir);
    if (!link.isEmpty())
        return QFileInfo(link).absoluteFilePath();
    if (platform == Platform::Windows) {
        if (number >= 1)
            return portName(number);
        return {};
    }
    if (number >= 1 && number <= 4)
        return QStringLiteral("/dev/ttyS%1").arg(number - 1);
    if (number >= 5 && number <= 10)
        return QStringLiteral("/dev/ttyUSB%1").arg(number - 5);
    if (number >= 11 && number <= 15)
        return QStringLiteral("/dev/ttyACM%1").arg(number - 11);
    return {};
}

bool isDeviceFile(const QString& device, Platform platform) {
    static const QRegularExpression windowsPortName(QStringLiteral("^COM[1-9][0-9]*$"),
                                                    QRegularExpression::CaseInsensitiveOption);
    return !(platform == Platform::Windows && windowsPortName.match(device).hasMatch());
}

QString deviceToOpen(const QString& device, Platform platform) {
    if (device.isEmpty() || !isDeviceFile(device, platform))
        return device;
    const QString canonical = QFileInfo(device).canonicalFilePath();
    return canonical.isEmpty() ? device : canonical;
}

QString portName(int number) {
    return QStringLiteral("COM") + QString::number(number);
}

bool isDevicePresent(const QString& device, Platform platform) {
    if (device.isEmpty())
        return false;
    if (isDeviceFile(device, platform))
        return QFileInfo::exists(device);
    // A Windows port name: only the system knows whether it is there.
    const auto ports = QSerialPortInfo::availablePorts();
    return std::any_of(ports.begin(), ports.end(), [&device](const QSerialPortInfo& info) {
        return info.portName().compare(device, Qt::CaseInsensitive) == 0;
    });
}

QString lineSettingsText(int baudRate) {
    return decimalText(baudRate) + QStringLiteral(",N,8,1");
}

void applyPortSettings(MSComm& port, const PortSettingsValues& values) {
    port.CommPort(values.portNumber);
    port.Handshaking(values.handshakeMode);
    port.Settings(lineSettingsText(values.baudRate));
    port.InputMode(0);
    port.DTREnable(false);
}
