#pragma once
// A running total of the on-line view: an editable box whose text is the
// total, which the operator may type over.
//
// An edit runs from the first keystroke that changes the text until Enter
// (commits), a move of the focus to another control of the same window
// (commits), Escape or the window losing the focus (abandons), or endEdit().
// While the box is not edited, a text wider than the box is drawn in a
// smaller font, down to 7 points, and past that cut with an ellipsis; the
// text itself (and so the tool tip) stays whole. While it is edited the font
// goes down to 5 points so that the whole text shows from its first digit;
// only a longer text scrolls.

#include <QLineEdit>

class ValueBox : public QLineEdit {
    Q_OBJECT
    // The text as the box draws it now.
    Q_PROPERTY(QString shownText READ shownText)
public:
    static constexpr qreal kSmallestPointSize = 7.0;
    static constexpr qreal kSmallestEditingPointSize = 5.0;

    explicit ValueBox(QWidget* parent = nullptr);

    bool isEditing() const { return editing_; }
    // Ends an edit without committing or abandoning it.
    void endEdit();
    QString shownText() const;

signals:
    void editStarted();
    // committed: Enter or the focus moved on; else Escape or the window
    // lost the focus.
    void editEnded(bool committed);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void finishEdit(bool committed);
    // The largest font from the inherited one down to the smallest size in
    // which the text fits.
    void fitFont();
    // The width the text may take inside the frame and margins.
    int textRoom() const;
    QRect textRect() const;

    bool editing_ = false;
    bool fitting_ = false;
};
