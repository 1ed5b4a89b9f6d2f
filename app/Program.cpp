#include "app/Main.h"
#include "app/MessageBox.h"
#include "core/Seams.h"
#include "resources/Resources.h"
#include "serial/QtSerialComm.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    ktr6InitResources();
    QApplication::setApplicationName(QStringLiteral("ktr6"));
    QApplication::setApplicationVersion(QStringLiteral("%1.%2.%3")
                                            .arg(QString::number(KTR6_VERSION_MAJOR),
                                                 QString::number(KTR6_VERSION_MINOR),
                                                 QString::number(KTR6_VERSION_PATCH)));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icon.svg")));

    seams::bindMessage(showMessageBox);
    seams::bindQuestion(askYesNo);
    QtSerialComm port;
    seams::bindPort(&port);

    Main window(&port);
    if (!window.startUp())
        return 1;
    const int code = QApplication::exec();
    seams::bindPort(nullptr);
    return code;
}
