#include "ui/Style.h"

#include <QPalette>
#include <QWidget>

QFont WindowFont(int pixelSize) {
  QFont font;
  font.setFamilies({QStringLiteral("Verdana"), QStringLiteral("DejaVu Sans")});
  font.setPixelSize(pixelSize);
  return font;
}

QString BrushedSteelStyleSheet() {
  // The steel is a vertical gradient with a light band near the top, which reads as
  // brushed metal at button heights; pressed controls invert it.
  return QStringLiteral(R"css(
QDialog, QMainWindow { background: #004080; }
QLabel { color: #ffffff; background: transparent; }
QLabel[bevelled="true"] { border: 1px solid #7d8794; border-top-color: #c9d0d8; border-left-color: #c9d0d8; padding: 1px 3px; }
QFrame#pCaption {
  background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #d9dde2, stop:0.35 #b4bbc4, stop:1 #8a939e);
  border-bottom: 1px solid #4b5360;
}
QFrame#pCaption QLabel { color: #1c2430; font-weight: bold; }
QFrame#pCaption QToolButton { padding: 0px; font-weight: bold; }
QPushButton, QToolButton {
  color: #1c2430;
  background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #f1f3f5, stop:0.45 #c7cdd4, stop:0.55 #b9c0c8, stop:1 #9aa3ae);
  border: 1px solid #4b5360; border-radius: 0px; padding: 2px 8px;
}
QPushButton:hover, QToolButton:hover { border-color: #ffffff; }
QPushButton:pressed, QToolButton:pressed {
  background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #9aa3ae, stop:0.5 #b9c0c8, stop:1 #e1e5e9);
}
QPushButton:disabled, QToolButton:disabled { color: #7a828c; background: #b7bcc2; border-color: #7a828c; }
QCheckBox, QRadioButton { color: #ffffff; background: transparent; spacing: 5px; }
QCheckBox:disabled, QRadioButton:disabled { color: #9fb3c8; }
QCheckBox::indicator, QRadioButton::indicator {
  width: 11px; height: 11px; border: 1px solid #4b5360;
  background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #f1f3f5, stop:1 #a9b1bb);
}
QRadioButton::indicator { border-radius: 6px; }
QCheckBox::indicator:checked {
  border: 1px solid #dfe3e8;
  background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #3a4656, stop:1 #0e141c);
}
QRadioButton::indicator:checked {
  background: qradialgradient(cx:0.5, cy:0.5, radius:0.5, fx:0.5, fy:0.5, stop:0 #1c2430, stop:0.45 #1c2430, stop:0.55 #dfe3e8, stop:1 #a9b1bb);
}
QGroupBox { border: 1px solid #9aa3ae; margin-top: 7px; padding-top: 4px; background: transparent; }
QGroupBox::title { subcontrol-origin: margin; left: 8px; padding: 0 3px; color: #ffffff; }
QTabBar::tab {
  color: #1c2430; padding: 3px 10px; border: 1px solid #4b5360; border-bottom: none;
  background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #c7cdd4, stop:1 #9aa3ae);
}
QTabBar::tab:selected { background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #ffffff, stop:1 #c7cdd4); }
QLineEdit, QPlainTextEdit, QTextEdit {
  color: #000000; background: #ffffff; border: 1px solid #4b5360;
  selection-background-color: #004080; selection-color: #ffffff;
  lineedit-password-character: 42;
}
QTableWidget, QTableView { color: #ffffff; background: #004080; border: none; outline: none; }
QToolTip { color: #000000; background: #ffffe1; border: 1px solid #4b5360; }
)css");
}

void ApplyBrushedSteel(QWidget& window) {
  window.setFont(WindowFont());
  QPalette palette = window.palette();
  palette.setColor(QPalette::Window, kWindowColor);
  palette.setColor(QPalette::Base, kWindowColor);
  palette.setColor(QPalette::WindowText, Qt::white);
  palette.setColor(QPalette::Text, Qt::white);
  window.setPalette(palette);
  window.setAutoFillBackground(true);
  window.setStyleSheet(BrushedSteelStyleSheet());
}
