#include "ValueBox.h"

#include <QFocusEvent>
#include <QFontMetricsF>
#include <QKeyEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionFrame>
#include <algorithm>

namespace {

// QLineEdit keeps this much room between its contents rectangle and its
// text on the left and the right, and above and below.
constexpr int kHorizontalMargin = 2;
constexpr int kVerticalMargin = 1;
constexpr qreal kPointStep = 0.5;

} // namespace

ValueBox::ValueBox(QWidget* parent) : QLineEdit(parent) {
    connect(this, &QLineEdit::textEdited, this, [this] {
        if (editing_)
            return;
        editing_ = true;
        fitFont();
        emit editStarted();
    });
    connect(this, &QLineEdit::textChanged, this, &ValueBox::fitFont);
}

void ValueBox::keyPressEvent(QKeyEvent* event) {
    if (editing_) {
        switch (event->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
            finishEdit(true);
            event->accept();
            return;
        case Qt::Key_Escape:
            // Taken here: the window never sees it.
            finishEdit(false);
            event->accept();
            return;
        default:
            break;
        }
    }
    QLineEdit::keyPressEvent(event);
}

void ValueBox::focusOutEvent(QFocusEvent* event) {
    // The box's own context menu leaves the edit running; another control
    // of the window commits it; another window (a message box, another
    // program) abandons it.
    if (editing_ && event->reason() != Qt::PopupFocusReason)
        finishEdit(event->reason() != Qt::ActiveWindowFocusReason);
    QLineEdit::focusOutEvent(event);
}

void ValueBox::finishEdit(bool committed) {
    endEdit();
    emit editEnded(committed);
}

void ValueBox::endEdit() {
    editing_ = false;
    fitFont();
    update();
}

QRect ValueBox::textRect() const {
    QStyleOptionFrame option;
    initStyleOption(&option);
    const QRect contents = style()->subElementRect(QStyle::SE_LineEditContents, &option, this);
    return contents.marginsRemoved(textMargins())
        .adjusted(kHorizontalMargin, kVerticalMargin, -kHorizontalMargin, -kVerticalMargin);
}

int ValueBox::textRoom() const {
    return textRect().width();
}

void ValueBox::fitFont() {
    if (fitting_)
        return;
    const QFont inherited = parentWidget() ? parentWidget()->font() : font();
    QFont fitted = inherited;
    const qreal largest = inherited.pointSizeF();
    if (largest > 0) {
        const qreal smallest =
            std::min(largest, editing_ ? kSmallestEditingPointSize : kSmallestPointSize);
        const QString whole = text();
        for (qreal size = largest;; size = std::max(size - kPointStep, smallest)) {
            fitted.setPointSizeF(size);
            if (size <= smallest || QFontMetricsF(fitted).horizontalAdvance(whole) <= textRoom())
                break;
        }
    }
    if (fitted == font())
        return;
    fitting_ = true; // setFont sends a FontChange of its own
    setFont(fitted);
    fitting_ = false;
}

QString ValueBox::shownText() const {
    if (editing_)
        return text();
    return fontMetrics().elidedText(text(), Qt::ElideRight, textRoom());
}

void ValueBox::paintEvent(QPaintEvent* event) {
    const QString shown = shownText();
    if (shown == text()) {
        QLineEdit::paintEvent(event);
        return;
    }
    // Too wide even in the smallest font: its leading digits and "…".
    QPainter painter(this);
    QStyleOptionFrame option;
    initStyleOption(&option);
    style()->drawPrimitive(QStyle::PE_PanelLineEdit, &option, &painter, this);
    painter.setPen(
        palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::Text));
    painter.drawText(textRect(), int(alignment()), shown);
}

void ValueBox::resizeEvent(QResizeEvent* event) {
    QLineEdit::resizeEvent(event);
    fitFont();
}

void ValueBox::changeEvent(QEvent* event) {
    QLineEdit::changeEvent(event);
    // A new font from the window: fit again from it.
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange)
        fitFont();
}
