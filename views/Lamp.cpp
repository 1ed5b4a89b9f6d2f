#include "Lamp.h"

#include <QPainter>

Lamp::Lamp(const QColor& fill, QWidget* parent) : QWidget(parent), fill_(fill) {
    setAttribute(Qt::WA_TranslucentBackground);
}

void Lamp::setFillColor(const QColor& color) {
    // Records can arrive thousands of times a second; repaint only when the
    // colour really changes.
    if (color == fill_)
        return;
    fill_ = color;
    update();
}

void Lamp::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor(64, 64, 64), 1.0));
    painter.setBrush(fill_);
    painter.drawEllipse(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5));
}
