#include "ui/Icons.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QRadialGradient>

QImage TImageList::Image(int index) const {
  if (index < 0 || index >= Count()) return QImage();
  return images_[static_cast<std::size_t>(index)];
}

QIcon TImageList::Icon(int index) const {
  const QImage image = Image(index);
  return image.isNull() ? QIcon() : QIcon(QPixmap::fromImage(image));
}

namespace {

constexpr int kSize = 16;

// Each picture is drawn on a transparent 16x16 canvas with antialiasing; the helpers
// below are the shared shapes (a folder, a globe, a server box, status lamps).
QImage Blank() {
  QImage image(kSize, kSize, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  return image;
}

void Folder(QPainter& p, bool dim) {
  const QColor back = dim ? QColor(150, 140, 110) : QColor(214, 160, 40);
  const QColor front = dim ? QColor(190, 182, 150) : QColor(250, 204, 72);
  p.setPen(QPen(QColor(90, 70, 20), 1));
  p.setBrush(back);
  QPainterPath tab;
  tab.moveTo(1.5, 3.5);
  tab.lineTo(6.5, 3.5);
  tab.lineTo(8.0, 5.0);
  tab.lineTo(14.5, 5.0);
  tab.lineTo(14.5, 13.5);
  tab.lineTo(1.5, 13.5);
  tab.closeSubpath();
  p.drawPath(tab);
  p.setBrush(front);
  p.drawRect(QRectF(1.5, 6.5, 13.0, 7.0));
}

void Globe(QPainter& p, bool dim) {
  const QRectF ball(1.5, 1.5, 13.0, 13.0);
  QRadialGradient shade(QPointF(5.5, 5.0), 10.0);
  shade.setColorAt(0.0, dim ? QColor(200, 205, 210) : QColor(150, 210, 255));
  shade.setColorAt(1.0, dim ? QColor(110, 115, 125) : QColor(20, 90, 190));
  p.setPen(QPen(dim ? QColor(70, 70, 80) : QColor(10, 50, 120), 1));
  p.setBrush(shade);
  p.drawEllipse(ball);
  p.setBrush(Qt::NoBrush);
  p.setPen(QPen(QColor(255, 255, 255, 170), 0.8));
  p.drawEllipse(QRectF(5.0, 1.5, 6.0, 13.0));
  p.drawLine(QPointF(8.0, 1.5), QPointF(8.0, 14.5));
  p.drawLine(QPointF(1.5, 8.0), QPointF(14.5, 8.0));
  p.drawLine(QPointF(2.8, 4.8), QPointF(13.2, 4.8));
  p.drawLine(QPointF(2.8, 11.2), QPointF(13.2, 11.2));
}

void Lamp(QPainter& p, const QPointF& centre, double radius, const QColor& colour) {
  QRadialGradient glow(centre - QPointF(radius / 3, radius / 3), radius * 1.6);
  glow.setColorAt(0.0, colour.lighter(170));
  glow.setColorAt(1.0, colour.darker(130));
  p.setPen(QPen(colour.darker(220), 1));
  p.setBrush(glow);
  p.drawEllipse(centre, radius, radius);
}

const QColor kGreen(40, 200, 60);
const QColor kRed(215, 40, 40);
const QColor kGrey(150, 150, 150);

QImage Stopped() {
  QImage image = Blank();
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  Lamp(p, QPointF(8, 8), 6.5, kRed);
  p.setPen(Qt::NoPen);
  p.setBrush(Qt::white);
  p.drawRect(QRectF(5.0, 5.0, 6.0, 6.0));
  return image;
}

QImage Running() {
  QImage image = Blank();
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  Lamp(p, QPointF(8, 8), 6.5, kGreen);
  p.setPen(Qt::NoPen);
  p.setBrush(Qt::white);
  const QPointF play[] = {{6.0, 4.5}, {12.0, 8.0}, {6.0, 11.5}};
  p.drawPolygon(play, 3);
  return image;
}

QImage FtpType(bool dim) {
  QImage image = Blank();
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  Folder(p, dim);
  return image;
}

QImage WebType(bool dim) {
  QImage image = Blank();
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  Globe(p, dim);
  return image;
}

QImage VoktType() {
  QImage image = Blank();
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  const QPointF diamond[] = {{8.0, 1.0}, {15.0, 8.0}, {8.0, 15.0}, {1.0, 8.0}};
  QLinearGradient shade(0, 0, 16, 16);
  shade.setColorAt(0.0, QColor(200, 150, 240));
  shade.setColorAt(1.0, QColor(100, 40, 150));
  p.setPen(QPen(QColor(60, 20, 90), 1));
  p.setBrush(shade);
  p.drawPolygon(diamond, 4);
  p.setPen(QPen(Qt::white, 1.5));
  p.drawLine(QPointF(5.5, 5.5), QPointF(8.0, 11.0));
  p.drawLine(QPointF(8.0, 11.0), QPointF(10.5, 5.5));
  return image;
}

// Tray pictures carry a corner lamp: grey while idle, green while clients are on.
QImage WithCornerLamp(QImage image, const QColor& colour) {
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  Lamp(p, QPointF(12.0, 12.0), 3.3, colour);
  return image;
}

// A brushed-steel server box with its status lamp.
QImage ServerBox(const QColor& lamp) {
  QImage image = Blank();
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  QLinearGradient steel(0, 0, 0, 16);
  steel.setColorAt(0.0, QColor(235, 237, 240));
  steel.setColorAt(0.5, QColor(170, 175, 182));
  steel.setColorAt(1.0, QColor(120, 125, 132));
  p.setPen(QPen(QColor(60, 62, 66), 1));
  p.setBrush(steel);
  p.drawRoundedRect(QRectF(2.5, 1.5, 11.0, 13.0), 1.5, 1.5);
  p.setPen(QPen(QColor(80, 82, 88), 1));
  for (double y : {4.5, 7.5, 10.5}) p.drawLine(QPointF(4.5, y), QPointF(9.5, y));
  Lamp(p, QPointF(11.0, 12.0), 1.8, lamp);
  return image;
}

TImageList BuildServerImages() {
  TImageList list(kSize, kSize);
  list.Add(Stopped());
  list.Add(Running());
  list.Add(FtpType(false));
  list.Add(WebType(false));
  list.Add(VoktType());
  list.Add(WithCornerLamp(FtpType(true), kGrey));
  list.Add(WithCornerLamp(WebType(true), kGrey));
  list.Add(WithCornerLamp(FtpType(false), kGreen));
  list.Add(WithCornerLamp(WebType(false), kGreen));
  list.Add(ServerBox(kGrey));
  list.Add(ServerBox(kGreen));
  return list;
}

}  // namespace

const TImageList& ServerImages() {
  static const TImageList images = BuildServerImages();
  return images;
}
