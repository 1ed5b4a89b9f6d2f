#pragma once
// Windows laid out in fixed pixel boxes. Each window keeps its layout in one
// table, a row per control (or per evenly spaced array of controls) naming
// the control by its object name, and lets placeControls put every control
// in its box. Header only: the port dialog uses it without the rest of the
// views library.

#include <QLabel>
#include <QList>
#include <QRect>
#include <QString>
#include <QWidget>
#include <algorithm>
#include <span>

namespace views {

// The window layouts were drawn in twips; 15 twips make one pixel at 96 dpi.
// Odd values such as 850 round to the nearest pixel.
constexpr int twipsToPixels(int twips) {
    return (2 * twips + 15) / 30;
}
constexpr QRect twipsRect(int left, int top, int width, int height) {
    return QRect(twipsToPixels(left), twipsToPixels(top), twipsToPixels(width),
                 twipsToPixels(height));
}

// Places a one-line label in its designed box, widened when its text needs
// more room than the box (another font than the one the layout was drawn
// for): about its left edge, or about its centre for centred text, never
// beyond its parent. Call again after the text changes.
inline void fitLabel(QLabel* label, const QRect& designed) {
    QRect box = designed;
    const int needed = label->sizeHint().width();
    if (needed > box.width()) {
        const int extra = needed - box.width();
        if (label->alignment() & Qt::AlignHCenter)
            box.adjust(-extra / 2, 0, extra - extra / 2, 0);
        else
            box.setWidth(needed);
        if (const QWidget* parent = label->parentWidget()) {
            if (box.left() < 0)
                box.moveLeft(0);
            if (box.right() >= parent->width())
                box.setRight(parent->width() - 1);
        }
    }
    label->setGeometry(box);
}

// How a control takes its box.
enum class Fit : unsigned char {
    Box,       // exactly the box
    Text,      // a label: the box, widened as fitLabel does when its text needs it
    OwnHeight, // the box's left, top and width, at the control's own height
};

// One row of a window's layout. count 0: the control of that object name.
// count n: the array name(0) .. name(n-1), the first in the box, each next
// one step pixels lower.
struct ControlBox {
    const char* name;
    QRect box;
    Fit fit = Fit::Box;
    int count = 0;
    int step = 0;
};

inline void placeControl(QWidget* control, const QRect& box, Fit fit) {
    if (fit == Fit::Text) {
        if (auto* label = qobject_cast<QLabel*>(control)) {
            fitLabel(label, box);
            return;
        }
    }
    if (fit == Fit::OwnHeight)
        control->setGeometry(box.x(), box.y(), box.width(), control->sizeHint().height());
    else
        control->setGeometry(box);
}

// Puts each control of window that the layout names in its box, row by row:
// a later row places its control again, over an array's row. A frame's row
// comes before those of the controls in it, and a label laid out as
// Fit::Text holds its text; placing again after the text changed refits it.
inline void placeControls(QWidget* window, std::span<const ControlBox> layout) {
    for (const ControlBox& row : layout) {
        for (int i = 0; i < std::max(row.count, 1); ++i) {
            const QString name = row.count == 0
                                     ? QString::fromLatin1(row.name)
                                     : QStringLiteral("%1(%2)").arg(QLatin1String(row.name)).arg(i);
            if (auto* control = window->findChild<QWidget*>(name))
                placeControl(control, row.box.translated(0, i * row.step), row.fit);
            else
                qWarning("The layout of %s names no control %s", qPrintable(window->objectName()),
                         qPrintable(name));
        }
    }
}

// Tab goes from each control to the next one of order.
inline void chainFocus(const QList<QWidget*>& order) {
    for (qsizetype i = 1; i < order.size(); ++i)
        QWidget::setTabOrder(order[i - 1], order[i]);
}

} // namespace views
