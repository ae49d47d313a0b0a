#include <gtest/gtest.h>

#include <QPainter>

#include "UiTestSupport.h"
#include "ui/Icons.h"
#include "ui/MarkupGrid.h"
#include "ui/uGridDraw.h"

namespace {

TMarkupToken Text(const char* text) { return {text, 0, mkText}; }
TMarkupToken Tag(TMarkupKind kind) { return {"", 0, kind}; }
TMarkupToken Colour(TMarkupKind kind, std::uint32_t colour) { return {"", colour, kind}; }
TMarkupToken Value(TMarkupKind kind, const char* value) { return {value, 0, kind}; }

std::string Describe(const TMarkupList& tokens) {
  std::string out;
  for (const auto& t : tokens)
    out += "[" + std::to_string(t.Kind) + " '" + t.Text + "' " + std::to_string(t.Color) + "]";
  return out;
}

TEST(MarkupParse, TokensFollowTheTagRules) {
  struct Row {
    const char* description;
    const char* markup;
    TMarkupList expected;
  };
  const Row rows[] = {
      {"empty markup", "", {}},
      {"no tag at all", "plain text", {}},
      {"text before the first tag is dropped", "abc<!BLD>def", {Tag(mkBold), Text("def")}},
      {"empty colour value is black", "<!FNT>x", {Colour(mkFontColor, 0), Text("x")}},
      {"character after the name is not checked", "<!FNTxclRed>x",
       {Colour(mkFontColor, 0x0000FF), Text("x")}},
      {"unknown tag and its value are dropped", "<!ABC=1>x", {Text("x")}},
      {"tag names are compared with case", "<!bld>x", {Text("x")}},
      {"'>' inside a run is text", "<!FNT=clYellow>a>b<!BLD>c",
       {Colour(mkFontColor, 0x00FFFF), Text("a>b"), Tag(mkBold), Text("c")}},
      {"colour names ignore case", "<!FNT=clyellow>", {Colour(mkFontColor, 0x00FFFF)}},
      {"hexadecimal colour is BBGGRR", "<!FNT=$0000FF>", {Colour(mkFontColor, 0x0000FF)}},
      {"decimal colour", "<!BCK=8404992>", {Colour(mkBackground, 0x00804000)}},
      {"system colour keeps its code", "<!BCK=clBtnFace>", {Colour(mkBackground, 0xFF00000F)}},
      {"special names", "<!FNT=clNone><!BCK=CLDEFAULT>",
       {Colour(mkFontColor, clNone), Colour(mkBackground, clDefault)}},
      {"tags in a row make only their own tokens", "<!NLN><!RGT><!ITA><!UND>",
       {Tag(mkNewLine), Tag(mkRightAlign), Tag(mkItalic), Tag(mkUnderline)}},
      {"image and link keep their value text", "<!IMG=2> <!LNK=home,http://h/a,b>",
       {Value(mkImage, "2"), Text(" "), Value(mkLink, "home,http://h/a,b")}},
      {"unterminated tag ends parsing, shown as text", "<!BLD>ab<!FNT=clRed",
       {Tag(mkBold), Text("ab"), Text("<!FNT=clRed")}},
      {"tag name cut short by its '>'", "<!B>x", {Text("x")}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.description);
    TMarkupList tokens;
    ParseMarkup(row.markup, tokens);
    EXPECT_EQ(tokens, row.expected) << Describe(tokens);
  }
}

TEST(MarkupParse, BadColourFailsRegistrationWithItsValue) {
  ClearMarkup();
  RegisterMarkup("<!BLD>x");
  try {
    RegisterMarkup("<!BCK=$00804000>a<!FNT=clYelow>b");
    FAIL() << "no error";
  } catch (const EMarkupError& e) {
    EXPECT_STREQ(e.what(), "'clYelow' is not a valid integer value");
  }
  EXPECT_EQ(MarkupCount(), 1);
  EXPECT_EQ(RegisterMarkup(""), 1);
  ClearMarkup();
  EXPECT_EQ(RegisterMarkup(""), 0);
}

TEST(MarkupParse, IntegersAreDecimalOrDollarHex) {
  struct Row {
    const char* text;
    bool ok;
    std::int32_t value;
  };
  const Row rows[] = {
      {"80", true, 80},         {"$50", true, 80},           {"-1", true, -1},
      {"+7", true, 7},          {"$FFFFFFFF", true, -1},     {"2147483647", true, 2147483647},
      {"abc", false, 0},        {"", false, 0},              {"$", false, 0},
      {"12a", false, 0},        {" 1", false, 0},            {"2147483648", false, 0},
      {"$100000000", false, 0}, {"-2147483648", true, INT32_MIN},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    if (row.ok) {
      EXPECT_EQ(StringToColor(row.text), static_cast<std::uint32_t>(row.value));
    } else {
      EXPECT_THROW(StringToColor(row.text), EMarkupError);
    }
  }
}

TEST(MarkupHeightTest, LinesTimesLineHeight) {
  TMarkupList tokens;
  EXPECT_EQ(MarkupHeight(13, tokens), 13);
  ParseMarkup("<!BCK=clRed>a<!NLN>b<!NLN>c<!NLN>", tokens);
  EXPECT_EQ(MarkupHeight(13, tokens), 52);
}

TEST(MarkupHeightTest, RowHeightsFollowTheTallestCell) {
  ClearMarkup();
  TMarkupGrid grid;
  grid.setFont(TestFont());
  ASSERT_EQ(QFontMetrics(grid.font()).height(), 13);
  grid.setColumnCount(2);
  grid.setRowCount(3);
  grid.SetCellMarkup(0, 0, RegisterMarkup("<!BCK=clRed>one"));
  grid.SetCellMarkup(1, 0, RegisterMarkup("<!BCK=clRed>one"));
  grid.SetCellMarkup(0, 1, RegisterMarkup("<!BCK=clRed>x"));
  grid.SetCellMarkup(1, 1, RegisterMarkup("a<!NLN>b<!NLN>c<!NLN>d"));
  grid.SetCellMarkup(0, 2, RegisterMarkup("a<!NLN>b"));  // column 1 left without markup
  FitRowHeights(grid);
  EXPECT_EQ(grid.rowHeight(0), 31);
  EXPECT_EQ(grid.rowHeight(1), 62);
  EXPECT_EQ(grid.rowHeight(2), 36);
}

// Renders markup into a w x h cell at (10, 10) of a green canvas.
class MarkupRender : public testing::Test {
protected:
  static constexpr QRgb kCanvas = 0xFF00FF00;

  QImage Render(const std::string& markup, int w, int h, const TImageList* images = nullptr,
                int row = 0, int column = 0) {
    QImage canvas(w + 20, h + 20, QImage::Format_ARGB32);
    canvas.fill(kCanvas);
    TMarkupList tokens;
    ParseMarkup(markup, tokens);
    QPainter painter(&canvas);
    RenderMarkup(painter, QRect(10, 10, w, h), tokens, row, column, images,
                 {TestFont(), QColor(Qt::white)});
    painter.end();
    return canvas.copy(10, 10, w, h);
  }

  static QRgb At(const QImage& cell, int x, int y) { return cell.pixel(x, y) | 0xFF000000; }

  // The columns that hold any pixel of `colour`.
  static std::pair<int, int> ColumnsOf(const QImage& cell, QRgb colour) {
    int first = -1, last = -1;
    for (int x = 0; x < cell.width(); ++x)
      for (int y = 0; y < cell.height(); ++y)
        if (At(cell, x, y) == colour) {
          if (first < 0) first = x;
          last = x;
          break;
        }
    return {first, last};
  }

  static TImageList Squares() {
    TImageList list(16, 16);
    for (QRgb colour : {0xFFFF0000u, 0xFF0000FFu, 0xFFFFFF00u}) {
      QImage square(16, 16, QImage::Format_ARGB32);
      square.fill(colour);
      list.Add(square);
    }
    return list;
  }
};

TEST_F(MarkupRender, BackgroundFillsTheCellAndStaysInside) {
  const QImage cell = Render("<!BCK=$00804000>", 30, 20);
  EXPECT_EQ(At(cell, 0, 0), qRgb(0x00, 0x40, 0x80));
  EXPECT_EQ(At(cell, 29, 19), qRgb(0x00, 0x40, 0x80));

  QImage canvas(50, 40, QImage::Format_ARGB32);
  canvas.fill(kCanvas);
  TMarkupList tokens;
  ParseMarkup("<!BCK=clRed>", tokens);
  QPainter painter(&canvas);
  RenderMarkup(painter, QRect(10, 10, 30, 20), tokens, 0, 0, nullptr, {TestFont(), Qt::white});
  painter.end();
  EXPECT_EQ(canvas.pixel(9, 9), kCanvas);
  EXPECT_EQ(canvas.pixel(40, 30), kCanvas);
  EXPECT_EQ(canvas.pixel(10, 10), qRgb(255, 0, 0));
}

TEST_F(MarkupRender, CellWithoutBackgroundShowsWhatIsBeneathNotTheLastCell) {
  Render("<!BCK=clRed>", 30, 20);
  const QImage cell = Render("", 30, 20);
  EXPECT_EQ(At(cell, 15, 10), kCanvas);
}

TEST_F(MarkupRender, RightAlignedTextEndsTwoPixelsFromTheEdge) {
  const QImage cell = Render("<!BCK=clBlack><!RGT>\u2588", 40, 20);
  const auto [first, last] = ColumnsOf(cell, qRgb(255, 255, 255));
  const int block = QFontMetrics(TestFont()).horizontalAdvance(QString::fromUtf8("\u2588"));
  EXPECT_EQ(last, 40 - 3);
  EXPECT_EQ(first, 40 - 2 - block);
}

TEST_F(MarkupRender, RightModeRunsGoLeftwards) {
  const QImage cell = Render("<!BCK=clBlack><!RGT>\u2588<!FNT=clRed>\u2588", 40, 20);
  const int block = QFontMetrics(TestFont()).horizontalAdvance(QString::fromUtf8("\u2588"));
  EXPECT_EQ(ColumnsOf(cell, qRgb(255, 255, 255)).second, 37);
  EXPECT_EQ(ColumnsOf(cell, qRgb(255, 0, 0)).second, 37 - block);
}

TEST_F(MarkupRender, IconsSitAfterTheRunsOnTwoCentredLines) {
  const TImageList squares = Squares();
  const QImage cell = Render("<!BCK=$00804000>  <!IMG=2>  <!NLN>  <!IMG=1>  ", 35, 40, &squares);
  const int x = 2 + QFontMetrics(TestFont()).horizontalAdvance("  ");
  const int top = (40 - 2 * 13) / 2;
  EXPECT_EQ(At(cell, x, top), qRgb(255, 255, 0));
  EXPECT_EQ(At(cell, x - 1, top), qRgb(0x00, 0x40, 0x80));
  EXPECT_EQ(At(cell, x, top - 1), qRgb(0x00, 0x40, 0x80));
  EXPECT_EQ(At(cell, x, top + 13), qRgb(0, 0, 255));
  EXPECT_EQ(At(cell, x, top + 13 + 15), qRgb(0, 0, 255));
  EXPECT_EQ(At(cell, x, top + 13 + 16), qRgb(0x00, 0x40, 0x80));
}

TEST_F(MarkupRender, IconsAdvanceByWidthPlusTwoAndNeedAnImageList) {
  const TImageList squares = Squares();
  const QImage right = Render("<!BCK=clBlack><!RGT><!IMG=0><!IMG=$1>", 60, 16, &squares);
  EXPECT_EQ(ColumnsOf(right, qRgb(255, 0, 0)), std::make_pair(60 - 20, 60 - 5));
  EXPECT_EQ(ColumnsOf(right, qRgb(0, 0, 255)), std::make_pair(60 - 38, 60 - 23));

  const QImage none = Render("<!BCK=clBlack><!IMG=0>", 60, 16);
  EXPECT_EQ(ColumnsOf(none, qRgb(255, 0, 0)).first, -1);
}

TEST_F(MarkupRender, TwoBoldTogglesCancel) {
  EXPECT_EQ(Render("<!BCK=clBlack><!BLD><!BLD>Wide", 60, 20), Render("<!BCK=clBlack>Wide", 60, 20));
  EXPECT_NE(Render("<!BCK=clBlack><!BLD>Wide", 60, 20), Render("<!BCK=clBlack>Wide", 60, 20));
}

TEST_F(MarkupRender, LinkIsBlueRecordedAndLeavesTheFontAsItWas) {
  ClearMarkup();
  const QImage cell =
      Render("<!BCK=clWhite><!FNT=clRed><!LNK=home,http://h/x>\u2588", 80, 13, nullptr, 4, 1);
  const QFontMetrics fm(TestFont());
  const int width = fm.horizontalAdvance("home");
  ASSERT_EQ(MarkupLinks().size(), 1u);
  EXPECT_EQ(MarkupLinks()[0], (TMarkupLink{2, 0, 2 + width, 13, "http://h/x", 1, 4}));
  const auto blue = ColumnsOf(cell, qRgb(0, 0, 255));
  EXPECT_GE(blue.first, 2);
  EXPECT_LT(blue.second, 2 + width);
  EXPECT_EQ(ColumnsOf(cell, qRgb(255, 0, 0)).first, 2 + width);

  Render("<!BCK=clWhite><!FNT=clRed><!LNK=home,http://h/x>", 80, 13, nullptr, 4, 1);
  EXPECT_EQ(MarkupLinks().size(), 1u);
  ClearMarkup();
  EXPECT_TRUE(MarkupLinks().empty());
}

TEST_F(MarkupRender, GridCellPaintsItsOwnMarkupInTheGridFont) {
  ClearMarkup();
  TMarkupGrid grid;
  grid.setFont(TestFont());
  grid.setColumnCount(2);
  grid.setRowCount(1);
  grid.SetCellMarkup(0, 0, RegisterMarkup("<!BCK=clRed>"));
  grid.SetCellMarkup(1, 0, RegisterMarkup("<!BCK=clBlue>"));
  QImage canvas(40, 20, QImage::Format_ARGB32);
  canvas.fill(kCanvas);
  QPainter painter(&canvas);
  DrawMarkupCell(painter, grid, 1, 0, nullptr, QRect(0, 0, 20, 20));
  DrawMarkupCell(painter, grid, 0, 0, nullptr, QRect(20, 0, 20, 20));
  ClearMarkup();
  DrawMarkupCell(painter, grid, 0, 0, nullptr, QRect(0, 0, 40, 20));
  painter.end();
  EXPECT_EQ(canvas.pixel(5, 5), qRgb(0, 0, 255));
  EXPECT_EQ(canvas.pixel(25, 5), qRgb(255, 0, 0));
}

}  // namespace
