#include "platform/Text.h"

#include <gtest/gtest.h>

#include <clocale>

TEST(Text, FoldsOnlyAsciiLettersWhateverTheLocale) {
  // A Latin-1 locale would fold 0xC9 to 0xE9 if anything asked the C library.
  std::setlocale(LC_CTYPE, "");
  EXPECT_EQ(AsciiLower("AbC-\xc9z"), "abc-\xc9z");
  EXPECT_EQ(AsciiUpper("aBc-\xe9Z"), "ABC-\xe9Z");
  EXPECT_TRUE(EqualsNoCase("Active", "aCTIVE"));
  EXPECT_FALSE(EqualsNoCase("\xc9", "\xe9"));
  EXPECT_TRUE(StartsWithNoCase("Authorization: x", "AUTHORIZATION:"));
  EXPECT_FALSE(StartsWithNoCase("Auth", "authorization"));
  EXPECT_TRUE(LessNoCase("apple", "Banana"));
  EXPECT_FALSE(LessNoCase("B", "b"));
  std::setlocale(LC_CTYPE, "C");
}

TEST(Text, TrimsControlsOrSpacesAsAsked) {
  EXPECT_EQ(TrimControls(" \t\x01 ann \r\n"), "ann");
  EXPECT_EQ(TrimSpaces(" \t\x01 ann \r\n"), "\x01 ann");
  EXPECT_EQ(TrimSpacesEnd("  ann \t"), "  ann");
  EXPECT_EQ(TrimControls("   "), "");
}

// A client's text reaches the operator's terminal: every control that could drive
// it is written out, and the letters of any script stay as they are.
TEST(Text, EscapesEveryTerminalControlAndKeepsLetters) {
  EXPECT_EQ(EscapeControls("a\x1b[2J\n\x7f"), "a\\x1B[2J\\x0A\\x7F");
  EXPECT_EQ(EscapeControls("\xc2\x9b" "31m \x9b" "0m \xc2\x9d"), "\\xC2\\x9B31m \\x9B0m \\xC2\\x9D");
  const std::string letters = "caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x98\x80 \xc2\xa0 lat\xe9";
  EXPECT_EQ(EscapeControls(letters), letters);
  EXPECT_EQ(EscapeControls("\xe6\x97", "%"), "\xe6%97") << "a cut sequence's C1 byte";
  EXPECT_EQ(EscapeControls("\xe0\x82\x9b"), "\xe0\\x82\\x9B") << "an overlong U+009B";
}

TEST(Text, IntegerTextTakesSignsAndDollarHex) {
  struct Row {
    const char* description;
    const char* text;
    bool ok;
    std::int32_t value;
  } rows[] = {
      {"decimal", "2121", true, 2121},
      {"signed", "-5", true, -5},
      {"hex", "$1F", true, 31},
      {"hex wraps to negative", "$FFFFFFFF", true, -1},
      {"lowest", "-2147483648", true, INT32_MIN},
      {"decimal past 32 bits signed", "2147483648", false, 0},
      {"hex past 32 bits", "$100000000", false, 0},
      {"hex digit without dollar", "1F", false, 0},
      {"dollar alone", "$", false, 0},
      {"empty", "", false, 0},
      {"blank inside", "12 ", false, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.description);
    std::int32_t value = 7;
    EXPECT_EQ(ParseIntegerText(row.text, value), row.ok);
    EXPECT_EQ(value, row.ok ? row.value : 7);
  }
  EXPECT_EQ(HexDigitValue('b'), 11);
  EXPECT_EQ(HexDigitValue('G'), -1);
}

// The desktop's web client encodes what the web server decodes: every length of
// padding, and bytes of all eight bits, must come back as they went.
TEST(Text, Base64RoundTripsAndDigitTextIsDigitsOnly) {
  EXPECT_EQ(Base64Encode("ann:secret"), "YW5uOnNlY3JldA==");
  const std::string padded[] = {"", "a", "ab", "abc", std::string("\xff\x00\x80", 3)};
  for (const std::string& bytes : padded) EXPECT_EQ(Base64Decode(Base64Encode(bytes)), bytes);
  EXPECT_EQ(Base64Decode("YW5u\r\nOg==junk"), "ann:");
  EXPECT_TRUE(IsDigits("0123456789"));
  EXPECT_FALSE(IsDigits(""));
  EXPECT_FALSE(IsDigits("+1"));
}
