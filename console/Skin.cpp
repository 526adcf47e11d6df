#include "Skin.h"

#include <QFont>
#include <QStringList>
#include <QWidget>

namespace {
// Microsoft YaHei is rarely installed on Linux. Whatever CJK font the machine
// has stands in for it, so no text turns into boxes.
const QStringList kFontFamilies{
    QStringLiteral("Microsoft YaHei"),     QStringLiteral("微软雅黑"),
    QStringLiteral("WenQuanYi Micro Hei"), QStringLiteral("Noto Sans CJK SC"),
    QStringLiteral("Source Han Sans SC"),  QStringLiteral("Droid Sans Fallback"),
};

const char kStyleSheet[] = R"(
TForm1 { background: #2A2F35; }

QFrame#pnlTop {
    background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #3B434C, stop:1 #252A30);
    border-bottom: 1px solid #15181B;
}
QLabel#imgLogo { background: transparent; }
QFrame#pnlClient, QFrame#pnlLeft { background: #2A2F35; }
QFrame#pnlRight { background: #2A2F35; border-left: 1px solid #15181B; }
QFrame#sPanel7 { background: #30363D; border-bottom: 1px solid #1D2125; }

QLabel {
    color: #DEE3E7;
    font-size: 16px;
    font-weight: bold;
    background: transparent;
}
QLabel#lblTimeCaption, QLabel#lbltime2 { font-size: 20px; }
QLabel#lbltime2 { color: #FFFFFF; }
QLabel#Label1 { color: #98A2AC; font-size: 13px; font-weight: normal; }
QLabel#lblAddrListHeader { color: #B8C2CA; font-size: 14px; }
QLabel#lblComDevice { color: #B8C2CA; font-size: 12px; font-weight: normal; }
QLabel#lblValveStateCOM, QLabel#lblDATA {
    color: #7FD3FF;
    font-size: 18px;
    background: #23282D;
    border: 1px solid #3E464F;
    border-radius: 3px;
}

QLineEdit, QComboBox, QPlainTextEdit#AddrList, QPlainTextEdit#sResultList {
    background: #C6DDE7;
    color: #000000;
    font-size: 13px;
    font-weight: bold;
    border: 1px solid #6F8C9B;
    border-radius: 2px;
    selection-background-color: #2F7FB5;
    selection-color: #FFFFFF;
}
QLineEdit { padding: 0px 4px; }
QComboBox#edtComDevice { font-size: 12px; }
QLineEdit:focus, QComboBox:focus, QPlainTextEdit#AddrList:focus { border: 1px solid #3FA3E0; }
QComboBox { padding: 0px 22px 0px 4px; }
QComboBox::drop-down {
    subcontrol-origin: padding;
    subcontrol-position: center right;
    width: 20px;
    border-left: 1px solid #8FA9B6;
    background: #B3CEDB;
}
QComboBox::down-arrow {
    width: 0px;
    height: 0px;
    border-left: 5px solid #B3CEDB;
    border-right: 5px solid #B3CEDB;
    border-top: 6px solid #2A2F35;
}
QComboBox QAbstractItemView {
    background: #C6DDE7;
    color: #000000;
    font-weight: bold;
    selection-background-color: #2F7FB5;
    selection-color: #FFFFFF;
    outline: none;
}

QPushButton {
    color: #FFFFFF;
    font-size: 13px;
    font-weight: bold;
    background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #3C93C9, stop:1 #2A6E9A);
    border: 1px solid #1C4D6C;
    border-radius: 4px;
    padding: 4px 10px;
}
QPushButton:hover {
    background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #4BA6DD, stop:1 #3180B2);
}
QPushButton:pressed { background: #24618A; }
QPushButton:disabled { color: #8A939C; background: #454C54; border: 1px solid #393F46; }

QTabWidget::pane { border: 1px solid #15181B; background: #2A2F35; top: -1px; }
QTabBar::tab {
    color: #A9B3BC;
    font-size: 27px;
    font-weight: bold;
    background: #343B43;
    border: 1px solid #15181B;
    border-bottom: none;
    padding: 2px 22px;
    height: 42px;
    margin-right: 2px;
}
QTabBar::tab:selected {
    color: #FFFFFF;
    background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #2F7FB5, stop:1 #2A2F35);
}
QTabBar::tab:hover:!selected { color: #DEE3E7; }
QWidget#sTabSheet1, QWidget#sTabSheet2 { background: #2A2F35; }

QGroupBox {
    color: #DEE3E7;
    font-size: 15px;
    font-weight: bold;
    border: 1px solid #46505A;
    border-radius: 4px;
    margin-top: 12px;
}
QGroupBox::title {
    subcontrol-origin: margin;
    subcontrol-position: top left;
    left: 12px;
    padding: 0px 4px;
}
QGroupBox#grpAddrList { font-size: 24px; margin-top: 18px; }

QPlainTextEdit#mmo {
    background: #343434;
    color: #DEE3E7;
    font-size: 13px;
    font-weight: normal;
    border: none;
    selection-background-color: #2F7FB5;
}

QScrollBar:vertical { background: #3A4047; width: 12px; margin: 0px; }
QScrollBar::handle:vertical { background: #6B757F; min-height: 24px; border-radius: 4px; margin: 2px; }
QScrollBar::handle:vertical:hover { background: #8A949E; }
QScrollBar::handle:vertical:disabled { background: transparent; }
QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0px; }
QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: none; }
QPlainTextEdit#AddrList QScrollBar:vertical, QPlainTextEdit#sResultList QScrollBar:vertical {
    background: #A9C3CF;
}

QFrame#sStatusBar1 { background: #1D2125; border-top: 1px solid #15181B; }
QLabel#sStatusBar1Panel0, QLabel#sStatusBar1Panel1, QLabel#sStatusBar1Panel2 {
    color: #DEE3E7;
    font-size: 13px;
    font-weight: normal;
    border-right: 1px solid #3A4148;
    padding: 0px 6px;
}
)";
}  // namespace

void ApplySkin(QWidget* window) {
    for (const QString& name : {QStringLiteral("Microsoft YaHei"), QStringLiteral("微软雅黑")})
        QFont::insertSubstitutions(name, kFontFamilies.mid(2));
    QFont font = window->font();
    font.setFamilies(kFontFamilies);
    window->setFont(font);
    window->setStyleSheet(QString::fromUtf8(kStyleSheet));
}
