#include "MqttSettings.h"

#include <QFile>
#include <QSysInfo>

QString effectiveClientId(const MqttSettings& settings) {
    if (!settings.clientId.isEmpty())
        return settings.clientId;
    return QStringLiteral("ktr6d-") + QSysInfo::machineHostName();
}

std::optional<QString> readPasswordFile(const QString& path, QString* error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("Cannot read the MQTT password file %1: %2")
                     .arg(path, file.errorString());
        return std::nullopt;
    }
    QByteArray line = file.readLine();
    while (line.endsWith('\n') || line.endsWith('\r'))
        line.chop(1);
    return QString::fromUtf8(line);
}
