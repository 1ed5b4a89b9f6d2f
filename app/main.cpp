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

// Yes/No, with No as both the default and the Escape button: a question is
// asked before something that cannot be undone, and a slip of the key must
// not answer Yes. Closing the box answers No too.
bool askYesNo(const QString& text, const QString& title, MsgIcon icon) {
    QMessageBox box(QApplication::activeWindow());
    box.setWindowTitle(title);
    box.setTextFormat(Qt::PlainText);
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
        box.setIcon(QMessageBox::Question);
        break;
    }
    box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    ktr6InitResources();
    QApplication::setApplicationName(QStringLiteral("ktr6"));
    QApplication::setApplicationVersion(QStringLiteral("%1.%2.%3")
                                            .arg(KTR6_VERSION_MAJOR)
                                            .arg(KTR6_VERSION_MINOR)
                                            .arg(KTR6_VERSION_PATCH));
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
