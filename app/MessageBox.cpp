#include "MessageBox.h"

#include <QApplication>
#include <QMessageBox>

std::unique_ptr<QMessageBox> makeMessageBox(const QString& text, const QString& title, MsgIcon icon,
                                            QWidget* parent) {
    auto box = std::make_unique<QMessageBox>(parent);
    box->setWindowTitle(title);
    box->setTextFormat(Qt::PlainText);
    box->setText(text);
    switch (icon) {
    case MsgIcon::Information:
        box->setIcon(QMessageBox::Information);
        break;
    case MsgIcon::Critical:
        box->setIcon(QMessageBox::Critical);
        break;
    case MsgIcon::Warning:
        box->setIcon(QMessageBox::Warning);
        break;
    case MsgIcon::None:
        box->setIcon(QMessageBox::NoIcon);
        break;
    }
    box->setStandardButtons(QMessageBox::Ok);
    return box;
}

void showMessageBox(const QString& text, const QString& title, MsgIcon icon) {
    makeMessageBox(text, title, icon, QApplication::activeWindow())->exec();
}

std::unique_ptr<QMessageBox> makeQuestionBox(const QString& text, const QString& title,
                                             MsgIcon icon, QWidget* parent) {
    auto box = makeMessageBox(text, title, icon, parent);
    if (icon == MsgIcon::None)
        box->setIcon(QMessageBox::Question);
    box->setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    box->setDefaultButton(QMessageBox::No);
    box->setEscapeButton(QMessageBox::No);
    return box;
}

bool askYesNo(const QString& text, const QString& title, MsgIcon icon) {
    return makeQuestionBox(text, title, icon, QApplication::activeWindow())->exec() ==
           QMessageBox::Yes;
}
