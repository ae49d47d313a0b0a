#include <gtest/gtest.h>

#include <QCheckBox>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTabBar>

#include "DesktopTestSupport.h"
#include "UiTestSupport.h"
#include "ui/Style.h"

namespace {

// How many pixels of `rect` in `shot` are dark (the tick and the skin's ink colour).
int DarkPixels(const QImage& shot, const QRect& rect) {
  int dark = 0;
  for (int y = rect.top(); y <= rect.bottom(); ++y)
    for (int x = rect.left(); x <= rect.right(); ++x)
      if (qGray(shot.pixel(x, y)) < 100) ++dark;
  return dark;
}

double MeanGray(const QImage& shot, const QRect& rect) {
  double sum = 0;
  for (int y = rect.top(); y <= rect.bottom(); ++y)
    for (int x = rect.left(); x <= rect.right(); ++x) sum += qGray(shot.pixel(x, y));
  return sum / (rect.width() * rect.height());
}

}  // namespace

// A ticked box used to be a dark square with no tick: nothing told it from a
// pressed one. Inside the frame, an empty box is all light and a ticked one has a
// dark stroke across its middle.
TEST(UiSkin, TickedCheckBoxShowsATickInALightBox) {
  QWidget window(nullptr, Qt::Window | Qt::FramelessWindowHint);
  auto* box = new QCheckBox(QStringLiteral("Read"), &window);
  box->setGeometry(10, 10, 80, 18);
  ApplyBrushedSteel(window);
  window.resize(100, 40);
  window.show();
  ASSERT_TRUE(WaitFor([&] { return box->isVisible(); }));

  QStyleOptionButton option;
  option.initFrom(box);
  const QRect indicator = box->style()->subElementRect(QStyle::SE_CheckBoxIndicator, &option, box);
  const QRect inside = indicator.adjusted(2, 2, -2, -2);
  ASSERT_GE(inside.width(), 7);

  const QImage empty = box->grab().toImage();
  box->setChecked(true);
  const QImage ticked = box->grab().toImage();
  EXPECT_EQ(DarkPixels(empty, inside), 0);
  EXPECT_GE(DarkPixels(ticked, inside), 8);
  EXPECT_GT(MeanGray(ticked, inside), 128) << "the box stays light; only the tick is dark";
}

// The skin on the main window itself.
class UiSkinWindow : public DesktopTest {};

TEST_F(UiSkinWindow, SelectedTabStandsOutAndWindowHasAnEdge) {
  main_->show();
  auto* tabs = Child<QTabBar>(*main_, "tsTabs");
  ASSERT_TRUE(WaitFor([&] { return tabs->isVisible(); }));
  const QImage shot = tabs->grab().toImage();
  const int selected = tabs->currentIndex();
  const int other = selected == 0 ? 1 : 0;
  const double lit = MeanGray(shot, tabs->tabRect(selected).adjusted(2, 2, -2, -2));
  const double unlit = MeanGray(shot, tabs->tabRect(other).adjusted(2, 2, -2, -2));
  EXPECT_GT(lit - unlit, 60) << "selected " << lit << ", other " << unlit;

  // Stacked borderless windows of one colour must not run into each other.
  const QImage window = main_->grab().toImage();
  const int midY = main_->height() / 2;
  for (const QPoint edge : {QPoint(0, midY), QPoint(main_->width() - 1, midY), QPoint(main_->width() / 2, 0)})
    EXPECT_LT(qGray(window.pixel(edge)), 40) << edge.x() << "," << edge.y();
  EXPECT_GT(qGray(window.pixel(1, midY)), qGray(window.pixel(0, midY)));
}

TEST(UiSkin, ScrollBarThumbContrastsWithItsTrack) {
  QWidget window(nullptr, Qt::Window | Qt::FramelessWindowHint);
  auto* bar = new QScrollBar(Qt::Vertical, &window);
  bar->setGeometry(0, 0, 15, 200);
  bar->setRange(0, 100);
  bar->setPageStep(50);
  ApplyBrushedSteel(window);
  window.resize(20, 200);
  window.show();
  ASSERT_TRUE(WaitFor([&] { return bar->isVisible(); }));
  const QImage shot = bar->grab().toImage();
  // The thumb takes the top third of the bar; the track shows at the bottom.
  const int thumb = qGray(shot.pixel(7, 20));
  const int track = qGray(shot.pixel(7, 190));
  EXPECT_GT(thumb - track, 80) << "thumb " << thumb << ", track " << track;
}
