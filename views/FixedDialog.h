#pragma once
// What the operator's secondary windows have in common: a fixed client area
// laid out in pixels, no minimise or maximise button, the program icon,
// centred on the screen when first shown.

#include "views/ControlLayout.h"

#include <QDialog>
#include <QRect>
#include <QSize>

class QLabel;

namespace views {

// The 50 x 50 emblem inside a box of the given geometry, centred; sunken
// draws the box's own 2-pixel border around it.
QLabel* makeEmblem(QWidget* parent, const QRect& box, bool sunken);

// The layouts were drawn for 8-point text; a larger desktop font would not
// fit the fixed boxes.
inline constexpr qreal kDesignPointSize = 8.0;

} // namespace views

class FixedDialog : public QDialog {
    Q_OBJECT
public:
    // client: the client area in pixels; it never changes.
    FixedDialog(QWidget* parent, QSize client);

protected:
    // Windows without a cancel button ignore Escape: an accidental key press
    // must not throw away edited fields or running totals.
    void setEscapeCloses(bool closes) { escapeCloses_ = closes; }
    void keyPressEvent(QKeyEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    bool escapeCloses_ = true;
    bool placed_ = false;
};
