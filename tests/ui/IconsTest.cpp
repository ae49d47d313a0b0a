#include <gtest/gtest.h>

#include "ui/Icons.h"

namespace {

TEST(ServerImagesTest, ElevenDistinctVisibleIcons) {
  const TImageList& images = ServerImages();
  ASSERT_EQ(images.Count(), kServerImageCount);
  for (int i = 0; i < images.Count(); ++i) {
    SCOPED_TRACE(i);
    const QImage icon = images.Image(i);
    ASSERT_EQ(icon.size(), QSize(16, 16));
    EXPECT_TRUE(icon.hasAlphaChannel());
    EXPECT_EQ(qAlpha(icon.pixel(0, 0)), 0) << "corners stay transparent for the tray";
    EXPECT_GT(qAlpha(icon.pixel(8, 8)), 0);
    for (int j = 0; j < i; ++j) EXPECT_NE(icon, images.Image(j)) << "same picture as " << j;
    EXPECT_FALSE(images.Icon(i).isNull());
  }
  EXPECT_TRUE(images.Image(kServerImageCount).isNull());
  EXPECT_TRUE(images.Image(-1).isNull());
}

}  // namespace
