#include "PortMap.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

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
            return QStringLiteral("COM%1").arg(number);
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
