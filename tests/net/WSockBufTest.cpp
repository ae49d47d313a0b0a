#include <gtest/gtest.h>

#include <string>

#include "net/WSockBuf.h"

TEST(SendBlock, WriteTakesOnlyWhatFitsAndEmptiedBlockRewinds) {
  TBuffer block(8);
  EXPECT_EQ(block.Write("0123456789", 10), 8);
  EXPECT_EQ(block.Write("x", 1), 0);
  EXPECT_EQ(block.Remove(3), 3);
  auto [p, n] = block.Peek();
  EXPECT_EQ(std::string(p, n), "34567");
  EXPECT_EQ(block.Remove(100), 5);
  EXPECT_EQ(block.Peek().second, 0);
  EXPECT_EQ(block.WritePos(), 0);  // reused from its start
  EXPECT_EQ(block.Write("ab", 2), 2);
}

TEST(SendBlock, NonPositiveSizeMeansDefaultAndResizeKeepsWrittenBytes) {
  EXPECT_EQ(TBuffer(0).Capacity(), 1514);
  EXPECT_EQ(TBuffer(-5).Capacity(), 1514);
  TBuffer block(4);
  block.Write("abcd", 4);
  block.Resize(10);
  EXPECT_EQ(block.Capacity(), 10);
  EXPECT_EQ(block.Write("ef", 2), 2);
  auto [p, n] = block.Peek();
  EXPECT_EQ(std::string(p, n), "abcdef");
}

TEST(SendBlock, ShrinkingBelowWrittenBytesDoesNotOverrun) {
  // Resizing a filled block to a smaller size once copied all written bytes into the
  // smaller array.
  TBuffer block(16);
  block.Write("0123456789abcdef", 16);
  block.Resize(4);
  auto [p, n] = block.Peek();
  EXPECT_EQ(std::string(p, n), "0123");
}
