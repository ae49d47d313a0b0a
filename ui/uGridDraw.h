#pragma once
// Cell markup: the small tag language ("<!FNT=clYellow>Name<!NLN>...") in which every
// grid cell of the desktop front is written. Markup is parsed once into a module-wide
// table; a cell keeps only the table index and is painted from the stored tokens.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include <QColor>
#include <QFont>

class QPainter;
class QRect;
class TImageList;

enum TMarkupKind : std::uint8_t {
  mkText,
  mkBold,
  mkItalic,
  mkUnderline,
  mkBackground,
  mkFontColor,
  mkImage,
  mkNewLine,
  mkRightAlign,
  mkLink,
};

struct TMarkupToken {
  std::string Text;         // the run, or the value of an image or link tag
  std::uint32_t Color = 0;  // background and font colour tags only
  TMarkupKind Kind = mkText;

  bool operator==(const TMarkupToken&) const = default;
};

using TMarkupList = std::vector<TMarkupToken>;

// One link the renderer has drawn, in the cell's own coordinates.
struct TMarkupLink {
  int Left = 0, Top = 0, Right = 0, Bottom = 0;
  std::string Target;
  int Column = 0, Row = 0;

  bool operator==(const TMarkupLink&) const = default;
};

// A colour value that is neither a name nor an integer.
class EMarkupError : public std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Colour codes: 0x00BBGGRR, or 0xFF0000nn for system colour nn.
inline constexpr std::uint32_t clNone = 0x1FFFFFFF;
inline constexpr std::uint32_t clDefault = 0x20000000;

// A colour name (any letter case) or integer; throws EMarkupError otherwise.
std::uint32_t StringToColor(const std::string& value);
// Resolves a colour code for painting. System colours come from the application
// palette; clDefault stands for `fallback`, clNone for no colour at all.
QColor MarkupToQColor(std::uint32_t color, const QColor& fallback);

// Throws EMarkupError on a bad colour value; `tokens` then holds what came before it.
void ParseMarkup(const std::string& markup, TMarkupList& tokens);

// Parses and appends to the markup table; returns the new entry's index. On a parse
// error nothing is appended.
int RegisterMarkup(const std::string& markup);
// Empties the markup table and the link list; indices held by cells become stale.
void ClearMarkup();
int MarkupCount();
// The entry at `index`, or null when there is none.
const TMarkupList* MarkupEntry(int index);
const std::vector<TMarkupLink>& MarkupLinks();

int MarkupHeight(int lineHeight, const TMarkupList& tokens);

// The font a cell starts from; markup styles and colours change a copy of it.
struct TCellFont {
  QFont Font;
  QColor Color;
};

// Composes the tokens on the reused cell image and copies it to `canvas` at `rect`.
// `images` may be null: image tags are then skipped.
void RenderMarkup(QPainter& canvas, const QRect& rect, const TMarkupList& tokens, int row,
                  int column, const TImageList* images, const TCellFont& font);
