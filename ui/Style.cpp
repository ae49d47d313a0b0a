#include "ui/Style.h"

#include <QApplication>
#include <QEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QProxyStyle>
#include <QStyleFactory>
#include <QStyleOption>
#include <QWidget>

namespace {

const QColor kInk(0x1c, 0x24, 0x30);
const QColor kSteelLight(0xe9, 0xec, 0xef);
const QColor kSteelDisabled(0xb7, 0xbc, 0xc2);
const QColor kEdgeDisabled(0x7a, 0x82, 0x8c);
const QColor kWindowEdge(0x0b, 0x12, 0x1c);
const QString kSkinStyleName = QStringLiteral("dravik-brushed-steel");
constexpr int kIndicatorSize = 13;

// Check boxes and radio buttons are painted here rather than by the style sheet: a
// sheet can only show a state through an image file, and the tick must be drawn.
class TSkinStyle : public QProxyStyle {
public:
  TSkinStyle() : QProxyStyle(QStyleFactory::create(QStringLiteral("Fusion"))) {
    setObjectName(kSkinStyleName);
  }

  int pixelMetric(PixelMetric metric, const QStyleOption* option, const QWidget* widget) const override {
    switch (metric) {
      case PM_IndicatorWidth:
      case PM_IndicatorHeight:
      case PM_ExclusiveIndicatorWidth:
      case PM_ExclusiveIndicatorHeight:
        return kIndicatorSize;
      default:
        return QProxyStyle::pixelMetric(metric, option, widget);
    }
  }

  void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget) const override {
    if (element == PE_IndicatorCheckBox) return DrawCheck(*option, *painter);
    if (element == PE_IndicatorRadioButton) return DrawRadio(*option, *painter);
    QProxyStyle::drawPrimitive(element, option, painter, widget);
  }

private:
  static void DrawCheck(const QStyleOption& option, QPainter& painter) {
    const bool enabled = option.state & State_Enabled;
    const QRectF box = QRectF(option.rect).adjusted(0.5, 0.5, -0.5, -0.5);
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(enabled ? kInk : kEdgeDisabled);
    painter.setBrush(enabled ? kSteelLight : kSteelDisabled);
    painter.drawRect(box);
    if (option.state & (State_On | State_NoChange)) {
      const qreal w = box.width(), h = box.height();
      QPainterPath tick;
      tick.moveTo(box.left() + w * 0.22, box.top() + h * 0.52);
      tick.lineTo(box.left() + w * 0.42, box.top() + h * 0.74);
      tick.lineTo(box.left() + w * 0.80, box.top() + h * 0.26);
      painter.setPen(QPen(enabled ? kInk : kEdgeDisabled, 2.0, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
      painter.setBrush(Qt::NoBrush);
      painter.drawPath(tick);
    }
    painter.restore();
  }

  static void DrawRadio(const QStyleOption& option, QPainter& painter) {
    const bool enabled = option.state & State_Enabled;
    const QRectF ring = QRectF(option.rect).adjusted(0.5, 0.5, -0.5, -0.5);
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(enabled ? kInk : kEdgeDisabled);
    painter.setBrush(enabled ? kSteelLight : kSteelDisabled);
    painter.drawEllipse(ring);
    if (option.state & State_On) {
      painter.setPen(Qt::NoPen);
      painter.setBrush(enabled ? kInk : kEdgeDisabled);
      painter.drawEllipse(ring.center(), ring.width() * 0.22, ring.height() * 0.22);
    }
    painter.restore();
  }
};

// Borderless windows of the same colours stacked on each other would run together, so
// each gets a one-pixel edge, drawn over its children from a transparent top layer.
class TWindowEdge : public QWidget {
public:
  explicit TWindowEdge(QWidget& window) : QWidget(&window) {
    setObjectName(QStringLiteral("pWindowEdge"));
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
    setFocusPolicy(Qt::NoFocus);
    setGeometry(window.rect());
    window.installEventFilter(this);
    raise();
  }

protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Resize) setGeometry(static_cast<QWidget*>(watched)->rect());
    return QWidget::eventFilter(watched, event);
  }

  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.setPen(kWindowEdge);
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
  }
};

// One style and one font for every window, whoever opens it: a window made with a
// parent would otherwise take its font from where the parent's sheet leaves it.
void InstallSkin() {
  if (QApplication::style() && QApplication::style()->objectName() == kSkinStyleName) return;
  QApplication::setStyle(new TSkinStyle);
  QApplication::setFont(WindowFont());
}

}  // namespace

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
QGroupBox { border: 1px solid #9aa3ae; margin-top: 7px; padding-top: 4px; background: transparent; }
QGroupBox::title { subcontrol-origin: margin; left: 8px; padding: 0 3px; color: #ffffff; }
QTabBar::tab {
  color: #dfe3e8; padding: 3px 10px; border: 1px solid #1c2430; border-top: none;
  background: #4f5b69; margin-bottom: 3px;
}
QTabBar::tab:hover { color: #ffffff; }
QTabBar::tab:selected {
  color: #1c2430; background: #f1f3f5; margin-bottom: 0px;
  border-bottom: 3px solid #f0b400;
}
QScrollBar { background: #00284f; border: 1px solid #1c2430; margin: 0px; }
QScrollBar:vertical { width: 14px; }
QScrollBar:horizontal { height: 14px; }
QScrollBar::handle { background: #c7cdd4; border: 1px solid #1c2430; }
QScrollBar::handle:hover { background: #e9ecef; }
QScrollBar::handle:vertical { min-height: 24px; }
QScrollBar::handle:horizontal { min-width: 24px; }
QScrollBar::add-line, QScrollBar::sub-line { width: 0px; height: 0px; border: none; background: none; }
QScrollBar::add-page, QScrollBar::sub-page { background: none; }
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
  InstallSkin();
  window.setFont(WindowFont());
  QPalette palette = window.palette();
  palette.setColor(QPalette::Window, kWindowColor);
  palette.setColor(QPalette::Base, kWindowColor);
  palette.setColor(QPalette::WindowText, Qt::white);
  palette.setColor(QPalette::Text, Qt::white);
  window.setPalette(palette);
  window.setAutoFillBackground(true);
  window.setStyleSheet(BrushedSteelStyleSheet());
  if (window.windowFlags() & Qt::FramelessWindowHint) new TWindowEdge(window);
}
