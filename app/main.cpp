#include "app/Main.h"
#include "app/Seams.h"
#include "resources/Resources.h"
#include "serial/QtSerialComm.h"

#include <QApplication>
#include <QMessageBox>

namespace {

void showMessageBox(const QString& text, const QString& title, MsgIcon icon) {
    QMessageBox box(QApplication::activeWindow());
    box.setWindowTitle(title);
    box.setText(text);
    switch (icon) {
    case MsgIcon::Information:
        box.setIcon(QMessageBox::Information);
        break;
    case MsgIcon::Critical:
        box.setIcon(QMessageBox::Critical);
        break;
    case MsgIcon::Warning:
        box.setIcon(QMessageBox::Warning);
        break;
    case MsgIcon::None:
        box.setIcon(QMessageBox::NoIcon);
        break;
    }
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
}

} // namespace

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
    QtSerialComm port;
    seams::bindPort(&port);

    Main window(&port);
    if (!window.startUp())
        return 1;
    const int code = QApplication::exec();
    seams::bindPort(nullptr);
    return code;
}
