#include "CenteredComboBox.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QStyleOptionComboBox>
#include <QStylePainter>
#include <QWheelEvent>

TCenteredComboBox::TCenteredComboBox(QWidget* parent) : QComboBox(parent) {}

void TCenteredComboBox::setReadOnly(bool on) {
    readOnly = on;
    setFocusPolicy(on ? Qt::NoFocus : Qt::WheelFocus);
}

// Styles draw the current text left-aligned whatever the option says, so the
// frame and arrow come from the style and the text is drawn here.
void TCenteredComboBox::paintEvent(QPaintEvent*) {
    QStylePainter painter(this);
    QStyleOptionComboBox option;
    initStyleOption(&option);
    const QString text = option.currentText;
    option.currentText.clear();
    painter.drawComplexControl(QStyle::CC_ComboBox, option);
    painter.drawControl(QStyle::CE_ComboBoxLabel, option);
    const QRect field =
        style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, this);
    painter.drawItemText(field, Qt::AlignCenter, option.palette, isEnabled(), text, QPalette::Text);
}

void TCenteredComboBox::mousePressEvent(QMouseEvent* event) {
    if (readOnly) {
        event->accept();
        return;
    }
    QComboBox::mousePressEvent(event);
}

void TCenteredComboBox::mouseReleaseEvent(QMouseEvent* event) {
    if (readOnly) {
        event->accept();
        return;
    }
    QComboBox::mouseReleaseEvent(event);
}

void TCenteredComboBox::wheelEvent(QWheelEvent* event) {
    if (readOnly) {
        event->accept();
        return;
    }
    QComboBox::wheelEvent(event);
}

void TCenteredComboBox::keyPressEvent(QKeyEvent* event) {
    // Tab and Backtab still move the focus on.
    if (readOnly && event->key() != Qt::Key_Tab && event->key() != Qt::Key_Backtab) {
        event->accept();
        return;
    }
    QComboBox::keyPressEvent(event);
}

void TCenteredComboBox::showPopup() {
    if (!readOnly)
        QComboBox::showPopup();
}
