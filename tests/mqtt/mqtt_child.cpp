// A publishing process for the broker test to kill: connects to the broker on
// 127.0.0.1 (port and prefix as arguments) and says "connected" on stdout.
#include "MqttLink.h"

#include <QCoreApplication>
#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    MqttSettings settings;
    settings.host = QStringLiteral("127.0.0.1");
    settings.port = args.value(1).toInt();
    settings.prefix = args.value(2);
    settings.clientId = QStringLiteral("mqtt_child");
    MqttLink link(settings);
    QObject::connect(&link, &MqttLink::connected, [] {
        std::puts("connected");
        std::fflush(stdout);
    });
    QString error;
    if (!link.start(&error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    return app.exec();
}
