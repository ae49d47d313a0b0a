// Stands in for the feedback dialog's library: writes the arguments of the one call
// it gets to the file named by DRAVIK_FEEDBACK_RECORD. Built a second time without
// its export, for the library that lacks it.

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#ifndef FEEDBACK_STUB_WITHOUT_EXPORT
namespace {
struct TFeedbackFont {
  std::uint32_t First;
  std::uint32_t Second;
  unsigned char Name[256];
  std::int32_t Size;
};

void Print(std::FILE* out, const TFeedbackFont& font) {
  std::fprintf(out, "%X %X %.*s %d\n", static_cast<unsigned>(font.First), static_cast<unsigned>(font.Second),
               static_cast<int>(font.Name[0]), reinterpret_cast<const char*>(font.Name + 1),
               static_cast<int>(font.Size));
}
}  // namespace

extern "C" __attribute__((visibility("default"))) std::int32_t FeedbackManager(
    std::int32_t a, std::int32_t b, std::int32_t width, std::int32_t height, bool first, TFeedbackFont dialog,
    TFeedbackFont window, bool second, const char* program, const char* date, const char* address) {
  std::FILE* out = std::fopen(std::getenv("DRAVIK_FEEDBACK_RECORD"), "w");
  if (!out) return 1;
  std::fprintf(out, "%d %d %d %d %d\n", a, b, width, height, first ? 1 : 0);
  Print(out, dialog);
  Print(out, window);
  std::fprintf(out, "%d\n%s\n%s\n%s\n", second ? 1 : 0, program, date, address);
  std::fclose(out);
  return 0;
}
#else
extern "C" __attribute__((visibility("default"))) int SomethingElse() { return 0; }
#endif
