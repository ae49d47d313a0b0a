#include "ui/uGridDraw.h"

#include <algorithm>
#include <cmath>
#include <string_view>

#include <QApplication>
#include <QFontMetrics>
#include <QPaintDevice>
#include <QPainter>
#include <QPalette>

#include "platform/Text.h"
#include "ui/DrivePath.h"
#include "ui/Icons.h"

namespace {

struct TColorName {
  std::string_view Name;
  std::uint32_t Value;
};

constexpr std::uint32_t kSystemColor = 0xFF000000;

constexpr TColorName kColorNames[] = {
    {"clBlack", 0x000000},
    {"clMaroon", 0x000080},
    {"clGreen", 0x008000},
    {"clOlive", 0x008080},
    {"clNavy", 0x800000},
    {"clPurple", 0x800080},
    {"clTeal", 0x808000},
    {"clGray", 0x808080},
    {"clSilver", 0xC0C0C0},
    {"clRed", 0x0000FF},
    {"clLime", 0x00FF00},
    {"clYellow", 0x00FFFF},
    {"clBlue", 0xFF0000},
    {"clFuchsia", 0xFF00FF},
    {"clAqua", 0xFFFF00},
    {"clWhite", 0xFFFFFF},
    {"clMoneyGreen", 0xC0DCC0},
    {"clSkyBlue", 0xF0CAA6},
    {"clCream", 0xF0FBFF},
    {"clMedGray", 0xA4A0A0},
    {"clScrollBar", kSystemColor | 0},
    {"clBackground", kSystemColor | 1},
    {"clActiveCaption", kSystemColor | 2},
    {"clInactiveCaption", kSystemColor | 3},
    {"clMenu", kSystemColor | 4},
    {"clWindow", kSystemColor | 5},
    {"clWindowFrame", kSystemColor | 6},
    {"clMenuText", kSystemColor | 7},
    {"clWindowText", kSystemColor | 8},
    {"clCaptionText", kSystemColor | 9},
    {"clActiveBorder", kSystemColor | 10},
    {"clInactiveBorder", kSystemColor | 11},
    {"clAppWorkSpace", kSystemColor | 12},
    {"clHighlight", kSystemColor | 13},
    {"clHighlightText", kSystemColor | 14},
    {"clBtnFace", kSystemColor | 15},
    {"clBtnShadow", kSystemColor | 16},
    {"clGrayText", kSystemColor | 17},
    {"clBtnText", kSystemColor | 18},
    {"clInactiveCaptionText", kSystemColor | 19},
    {"clBtnHighlight", kSystemColor | 20},
    {"cl3DDkShadow", kSystemColor | 21},
    {"cl3DLight", kSystemColor | 22},
    {"clInfoText", kSystemColor | 23},
    {"clInfoBk", kSystemColor | 24},
    {"clHotLight", kSystemColor | 26},
    {"clGradientActiveCaption", kSystemColor | 27},
    {"clGradientInactiveCaption", kSystemColor | 28},
    {"clMenuHighlight", kSystemColor | 29},
    {"clMenuBar", kSystemColor | 30},
    {"clNone", clNone},
    {"clDefault", clDefault},
};

// The desktop has no system colour table of its own; each system colour number is
// answered by the palette role that plays the same part in a Qt window.
struct TSystemRole {
  QPalette::ColorGroup Group;
  QPalette::ColorRole Role;
};

constexpr TSystemRole kSystemRoles[] = {
    {QPalette::Active, QPalette::Button},           // 0 scroll bar
    {QPalette::Active, QPalette::Window},           // 1 desktop
    {QPalette::Active, QPalette::Highlight},        // 2 active caption
    {QPalette::Inactive, QPalette::Highlight},      // 3 inactive caption
    {QPalette::Active, QPalette::Window},           // 4 menu
    {QPalette::Active, QPalette::Base},             // 5 window
    {QPalette::Active, QPalette::Shadow},           // 6 window frame
    {QPalette::Active, QPalette::WindowText},       // 7 menu text
    {QPalette::Active, QPalette::Text},             // 8 window text
    {QPalette::Active, QPalette::HighlightedText},  // 9 caption text
    {QPalette::Active, QPalette::Window},           // 10 active border
    {QPalette::Inactive, QPalette::Window},         // 11 inactive border
    {QPalette::Active, QPalette::Mid},              // 12 application work space
    {QPalette::Active, QPalette::Highlight},        // 13 highlight
    {QPalette::Active, QPalette::HighlightedText},  // 14 highlighted text
    {QPalette::Active, QPalette::Button},           // 15 button face
    {QPalette::Active, QPalette::Dark},             // 16 button shadow
    {QPalette::Disabled, QPalette::Text},           // 17 grey text
    {QPalette::Active, QPalette::ButtonText},       // 18 button text
    {QPalette::Inactive, QPalette::HighlightedText},  // 19 inactive caption text
    {QPalette::Active, QPalette::Light},            // 20 button highlight
    {QPalette::Active, QPalette::Shadow},           // 21 3D dark shadow
    {QPalette::Active, QPalette::Midlight},         // 22 3D light
    {QPalette::Active, QPalette::ToolTipText},      // 23 info text
    {QPalette::Active, QPalette::ToolTipBase},      // 24 info background
    {QPalette::Active, QPalette::NoRole},           // 25 unused
    {QPalette::Active, QPalette::Link},             // 26 hot light
    {QPalette::Active, QPalette::Highlight},        // 27 gradient active caption
    {QPalette::Inactive, QPalette::Highlight},      // 28 gradient inactive caption
    {QPalette::Active, QPalette::Highlight},        // 29 menu highlight
    {QPalette::Active, QPalette::Window},           // 30 menu bar
};

bool KnownTag(std::string_view name, TMarkupKind& kind) {
  static constexpr std::pair<std::string_view, TMarkupKind> kTags[] = {
      {"BCK", mkBackground}, {"FNT", mkFontColor}, {"NLN", mkNewLine},
      {"BLD", mkBold},       {"ITA", mkItalic},    {"UND", mkUnderline},
      {"IMG", mkImage},      {"RGT", mkRightAlign}, {"LNK", mkLink},
  };
  for (const auto& [tag, k] : kTags) {
    if (tag == name) {
      kind = k;
      return true;
    }
  }
  return false;
}

std::vector<TMarkupList>& Table() {
  static std::vector<TMarkupList> table;
  return table;
}

std::vector<TMarkupLink>& Links() {
  static std::vector<TMarkupLink> links;
  return links;
}

// The one cell image every cell is composed on. It only ever grows, so painting a
// grid allocates once; each cell uses its top-left corner.
QImage& CellImage() {
  static QImage image;
  return image;
}

void RecordLink(TMarkupLink link) {
  // Repaints draw the same link again and again; one record per drawn link is enough.
  auto& links = Links();
  if (std::find(links.begin(), links.end(), link) == links.end()) links.push_back(std::move(link));
}

}  // namespace

std::uint32_t StringToColor(const std::string& value) {
  for (const auto& named : kColorNames) {
    if (EqualsNoCase(named.Name, value)) return named.Value;
  }
  std::int32_t number = 0;
  if (!ParseIntegerText(value, number)) throw EMarkupError("'" + value + "' is not a valid integer value");
  return static_cast<std::uint32_t>(number);
}

QColor MarkupToQColor(std::uint32_t color, const QColor& fallback) {
  if (color == clNone) return QColor(Qt::transparent);
  if (color == clDefault) return fallback;
  if ((color & 0xFF000000) == kSystemColor) {
    const std::uint32_t number = color & 0xFF;
    if (number >= std::size(kSystemRoles) || kSystemRoles[number].Role == QPalette::NoRole)
      return QColor(Qt::black);
    const auto& role = kSystemRoles[number];
    return QApplication::palette().color(role.Group, role.Role);
  }
  return QColor(static_cast<int>(color & 0xFF), static_cast<int>((color >> 8) & 0xFF),
                static_cast<int>((color >> 16) & 0xFF));
}

void ParseMarkup(const std::string& markup, TMarkupList& tokens) {
  std::string_view rest(markup);
  std::size_t open = rest.find("<!");
  while (open != std::string_view::npos) {
    rest.remove_prefix(open);
    const std::size_t close = rest.find('>', 2);
    if (close == std::string_view::npos) {
      // Names and descriptions go into markup as typed; an unfinished tag is most
      // likely typed text, so show it rather than lose it.
      tokens.push_back({std::string(rest), 0, mkText});
      return;
    }
    const std::string_view name = rest.substr(2, std::min<std::size_t>(3, close - 2));
    std::string_view value;
    const std::size_t afterName = 5;  // skipped unseen; "=" in well-formed markup
    if (close > afterName + 1) value = rest.substr(afterName + 1, close - afterName - 1);
    rest.remove_prefix(close + 1);
    open = rest.find("<!");
    const std::string_view run = rest.substr(0, open);

    TMarkupKind kind;
    if (name.size() == 3 && KnownTag(name, kind)) {
      TMarkupToken token{{}, 0, kind};
      if ((kind == mkBackground || kind == mkFontColor) && !value.empty())
        token.Color = StringToColor(std::string(value));
      if (kind == mkImage || kind == mkLink) token.Text = value;
      tokens.push_back(std::move(token));
    }
    if (!run.empty()) tokens.push_back({std::string(run), 0, mkText});
  }
}

int RegisterMarkup(const std::string& markup) {
  TMarkupList tokens;
  ParseMarkup(markup, tokens);
  auto& table = Table();
  table.push_back(std::move(tokens));
  return static_cast<int>(table.size()) - 1;
}

void ClearMarkup() {
  Table().clear();
  Links().clear();
}

int MarkupCount() { return static_cast<int>(Table().size()); }

const TMarkupList* MarkupEntry(int index) {
  const auto& table = Table();
  if (index < 0 || index >= static_cast<int>(table.size())) return nullptr;
  return &table[static_cast<std::size_t>(index)];
}

const std::vector<TMarkupLink>& MarkupLinks() { return Links(); }

int MarkupHeight(int lineHeight, const TMarkupList& tokens) {
  const auto lines = std::count_if(tokens.begin(), tokens.end(),
                                   [](const TMarkupToken& t) { return t.Kind == mkNewLine; });
  return lineHeight * (1 + static_cast<int>(lines));
}

namespace {

// Makes the reused cell image large enough for a cell of w x h at the canvas's pixel
// ratio; answers the device pixels the cell covers.
QSize PrepareCellImage(const QPainter& canvas, int w, int h) {
  const qreal dpr = canvas.device() ? canvas.device()->devicePixelRatioF() : 1.0;
  const QSize pixels(static_cast<int>(std::ceil(w * dpr)), static_cast<int>(std::ceil(h * dpr)));
  QImage& image = CellImage();
  if (image.width() < pixels.width() || image.height() < pixels.height() ||
      image.devicePixelRatio() != dpr) {
    image = QImage(pixels.expandedTo(image.size()), QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(dpr);
  }
  return pixels;
}

// The pen that walks one cell's tokens: where the next run goes and in what style.
class TCellPen {
public:
  TCellPen(QPainter& p, int w, int h, const TCellFont& startFont, int row, int column)
      : p_(p), w_(w), h_(h), start_(startFont), font_(startFont.Font), color_(startFont.Color),
        row_(row), column_(column) {}

  // Centres the cell's lines vertically when they take less than its height.
  void Begin(const TMarkupList& tokens) {
    p_.setFont(font_);
    const int total = MarkupHeight(p_.fontMetrics().height(), tokens);
    if (total < h_) y_ = (h_ - total) / 2;
  }

  void Token(const TMarkupToken& token, const TImageList* images) {
    switch (token.Kind) {
      case mkText:
        DrawRun(ToQt(token.Text));
        break;
      case mkBold:
        font_.setBold(!font_.bold());
        break;
      case mkItalic:
        font_.setItalic(!font_.italic());
        break;
      case mkUnderline:
        font_.setUnderline(!font_.underline());
        break;
      case mkBackground:
        FillBackground(token.Color);
        break;
      case mkFontColor:
        color_ = MarkupToQColor(token.Color, start_.Color);
        break;
      case mkImage:
        if (images) DrawIcon(token.Text, *images);
        break;
      case mkNewLine:
        NewLine();
        break;
      case mkRightAlign:
        x_ = w_ - 2;
        rightMode_ = true;
        break;
      case mkLink:
        DrawLink(token.Text);
        break;
    }
  }

private:
  // Answers where the run starts; right-aligned runs grow leftwards.
  int DrawRun(const QString& text) {
    p_.setFont(font_);
    p_.setPen(color_);
    const QFontMetrics fm = p_.fontMetrics();
    const int width = fm.horizontalAdvance(text);
    if (rightMode_) x_ -= width;
    p_.drawText(QPoint(x_, y_ + fm.ascent()), text);
    const int left = x_;
    if (!rightMode_) x_ += width;
    return left;
  }

  void FillBackground(std::uint32_t code) {
    const QColor fill = MarkupToQColor(code, QApplication::palette().color(QPalette::Base));
    p_.setCompositionMode(QPainter::CompositionMode_Source);
    p_.fillRect(QRect(0, 0, w_, h_), fill);
    p_.setCompositionMode(QPainter::CompositionMode_SourceOver);
    p_.setBackground(fill);
    p_.setBackgroundMode(fill.alpha() == 0 ? Qt::TransparentMode : Qt::OpaqueMode);
  }

  void DrawIcon(const std::string& value, const TImageList& images) {
    std::int32_t n = 0;
    if (!ParseIntegerText(value, n)) n = 0;
    const QImage icon = images.Image(n);
    const int advance = images.Width() + 2;
    if (rightMode_) x_ -= advance;
    if (!icon.isNull()) p_.drawImage(QPoint(x_, y_), icon);
    if (!rightMode_) x_ += advance;
  }

  void NewLine() {
    p_.setFont(font_);
    y_ += p_.fontMetrics().height();
    x_ = rightMode_ ? w_ - 2 : 2;
  }

  // "text,target": the text is drawn as a link and recorded with its target.
  void DrawLink(const std::string& value) {
    const QFont savedFont = font_;
    const QColor savedColor = color_;
    font_.setUnderline(true);
    color_ = QColor(0, 0, 255);
    const std::size_t comma = value.find(',');
    const std::string text = comma == std::string::npos ? std::string() : value.substr(0, comma);
    std::string target = comma == std::string::npos ? value : value.substr(comma + 1);
    const QString shown = ToQt(text);
    const int left = DrawRun(shown);
    const QFontMetrics fm = p_.fontMetrics();
    RecordLink({left, y_, left + fm.horizontalAdvance(shown), y_ + fm.height(), std::move(target),
                column_, row_});
    font_ = savedFont;
    color_ = savedColor;
  }

  QPainter& p_;
  const int w_, h_;
  const TCellFont& start_;
  QFont font_;
  QColor color_;
  const int row_, column_;
  int x_ = 2;
  int y_ = 0;
  bool rightMode_ = false;
};

}  // namespace

void RenderMarkup(QPainter& canvas, const QRect& rect, const TMarkupList& tokens, int row,
                  int column, const TImageList* images, const TCellFont& startFont) {
  const int w = rect.width();
  const int h = rect.height();
  if (w <= 0 || h <= 0) return;
  const QSize pixels = PrepareCellImage(canvas, w, h);
  QImage& image = CellImage();

  QPainter p(&image);
  // Cells without a leading background tag show the grid beneath, not the last cell.
  p.setCompositionMode(QPainter::CompositionMode_Source);
  p.fillRect(QRect(0, 0, w, h), Qt::transparent);
  p.setCompositionMode(QPainter::CompositionMode_SourceOver);
  p.setClipRect(QRect(0, 0, w, h));
  p.setBackgroundMode(Qt::TransparentMode);

  TCellPen pen(p, w, h, startFont, row, column);
  pen.Begin(tokens);
  for (const TMarkupToken& token : tokens) pen.Token(token, images);
  p.end();
  canvas.drawImage(rect.topLeft(), image, QRect(QPoint(0, 0), pixels));
}
