// The window's drop-down list: selection only, text centred, and optionally
// read-only (shown and settable from code, but the operator cannot change it).
#pragma once

#include <QComboBox>

class TCenteredComboBox : public QComboBox {
    Q_OBJECT
    Q_PROPERTY(bool readOnly READ isReadOnly WRITE setReadOnly)

  public:
    explicit TCenteredComboBox(QWidget* parent = nullptr);

    bool isReadOnly() const { return readOnly; }
    void setReadOnly(bool on);

  protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void showPopup() override;

  private:
    bool readOnly = false;
};
