// Fuzz target: cell markup as the grid builds it, names and paths typed by the
// user included. The tokens must describe the markup completely: written back as
// markup of their own they parse to the same tokens.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/FuzzCheck.h"
#include "ui/uGridDraw.h"

namespace {

std::string_view TagName(TMarkupKind kind) {
  switch (kind) {
    case mkBold: return "BLD";
    case mkItalic: return "ITA";
    case mkUnderline: return "UND";
    case mkBackground: return "BCK";
    case mkFontColor: return "FNT";
    case mkImage: return "IMG";
    case mkNewLine: return "NLN";
    case mkRightAlign: return "RGT";
    case mkLink: return "LNK";
    case mkText: break;
  }
  return {};
}

// Text before the first tag is dropped, so every run is led by a tag the parser
// does not know; an unfinished tag can only be the last token and stays as it is.
std::string WriteBack(const TMarkupList& tokens) {
  std::string markup;
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    const TMarkupToken& token = tokens[i];
    if (token.Kind == mkText) {
      FUZZ_CHECK(!token.Text.empty());
      const bool unfinished = token.Text.starts_with("<!");
      FUZZ_CHECK(!unfinished || i + 1 == tokens.size());
      if (!unfinished) markup += "<!XXX>";
      markup += token.Text;
      continue;
    }
    markup += "<!";
    markup += TagName(token.Kind);
    if (token.Kind == mkBackground || token.Kind == mkFontColor)
      markup += "=" + std::to_string(static_cast<std::int32_t>(token.Color));
    else if (token.Kind == mkImage || token.Kind == mkLink)
      markup += "=" + token.Text;
    markup += ">";
  }
  return markup;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string markup(reinterpret_cast<const char*>(data), size);
  TMarkupList tokens;
  try {
    ParseMarkup(markup, tokens);
  } catch (const EMarkupError&) {
    // The tokens before the bad colour are kept and must be sound all the same.
  }
  TMarkupList again;
  ParseMarkup(WriteBack(tokens), again);
  FUZZ_CHECK(again == tokens);
  FUZZ_CHECK(MarkupHeight(10, tokens) >= 10);
  return 0;
}
