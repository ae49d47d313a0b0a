// The feedback command: the dialog lives in a library of its own that is installed
// apart from the program; only the call into it is ours. Without the library the
// maker's feedback page opens instead.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string_view>

#include <QLibrary>

#include "catalogue/Product.h"
#include "catalogue/ServerUi.h"
#include "platform/Process.h"
#include "ui/DrivePath.h"
#include "ui/frmMain.h"

namespace {

// Two colours, the font name as a length-prefixed text of at most 255 characters,
// then the font size: 268 bytes, passed by value.
struct TFeedbackFont {
  std::uint32_t First;
  std::uint32_t Second;
  unsigned char Name[256];
  std::int32_t Size;
};
static_assert(sizeof(TFeedbackFont) == 268);

using TFeedbackManager = std::int32_t (*)(std::int32_t, std::int32_t, std::int32_t, std::int32_t, bool,
                                          TFeedbackFont, TFeedbackFont, bool, const char*, const char*,
                                          const char*);

TFeedbackFont FeedbackFont(std::uint32_t first, std::uint32_t second, std::string_view name, std::int32_t size) {
  TFeedbackFont font{first, second, {}, size};
  const std::size_t length = std::min<std::size_t>(name.size(), 255);
  font.Name[0] = static_cast<unsigned char>(length);
  std::memcpy(font.Name + 1, name.data(), length);
  return font;
}

std::string Today() {
  const std::tm local = LocalTimeNow();
  char text[16];
  std::strftime(text, sizeof text, "%m/%d/%y", &local);
  return text;
}

}  // namespace

void TfMain::bFeedbackClick() {
  const std::string address = std::string("http://") + kMakerAddress + "/cgi-bin/feedback.cgi";
  QLibrary library(ToQt(FeedbackLibrary));
  if (!library.load()) {
    // The dialog library is shipped apart from the program and no Linux package
    // provides it, so telling the user to reinstall would lead nowhere: the same
    // feedback form is the maker's page, in the user's own browser.
    OpenUrl(ToQt(address));
    return;
  }
  auto feedbackManager = reinterpret_cast<TFeedbackManager>(library.resolve("FeedbackManager"));
  if (!feedbackManager) {
    Ui().ShowError("Function FeedbackManager() not found");
    library.unload();
    return;
  }
  const std::string program = kAppTitle;
  const std::string date = Today();
  feedbackManager(0, 0, 400, 350, true, FeedbackFont(8, 0xFFFFFF, "Verdana", 8),
                  FeedbackFont(0x804000, 0xFFFFFF, "Verdana", 8), false, program.c_str(), date.c_str(),
                  address.c_str());
  library.unload();
}
