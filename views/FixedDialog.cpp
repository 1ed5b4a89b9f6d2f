#include "FixedDialog.h"

#include "views/CentreOnScreen.h"

#include <QApplication>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QScreen>
#include <QSvgRenderer>

namespace views {

QLabel* makeEmblem(QWidget* parent, const QRect& box, bool sunken) {
    auto* label = new QLabel(parent);
    label->setGeometry(box);
    label->setAlignment(Qt::AlignCenter);
    if (sunken) {
        label->setFrameShape(QFrame::Panel);
        label->setFrameShadow(QFrame::Sunken);
        label->setLineWidth(2);
    }
    // Rendered at the screen's pixel density so the emblem stays sharp on
    // scaled displays.
    const qreal ratio = parent ? parent->devicePixelRatioF() : qApp->devicePixelRatio();
    QPixmap pixmap(QSize(50, 50) * ratio);
    pixmap.fill(Qt::transparent);
    QSvgRenderer renderer(QStringLiteral(":/emblem.svg"));
    QPainter painter(&pixmap);
    renderer.render(&painter);
    painter.end();
    pixmap.setDevicePixelRatio(ratio);
    label->setPixmap(pixmap);
    return label;
}

} // namespace views

FixedDialog::FixedDialog(QWidget* parent, QSize client)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                          Qt::MSWindowsFixedSizeDialogHint) {
    setWindowIcon(QIcon(QStringLiteral(":/icon.svg")));
    QFont designFont = QApplication::font(this);
    if (designFont.pointSizeF() > views::kDesignPointSize) {
        designFont.setPointSizeF(views::kDesignPointSize);
        setFont(designFont);
    }
    setFixedSize(client);
    setSizeGripEnabled(false);
}

void FixedDialog::keyPressEvent(QKeyEvent* event) {
    if (!escapeCloses_ && event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void FixedDialog::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (placed_)
        return;
    placed_ = true;
    // Centred on the screen, not on the main window: the main window may
    // have been moved to a corner.
    centreOnScreen(this);
}
