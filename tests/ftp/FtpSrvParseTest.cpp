#include "ftp/FtpSrvParse.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct LineRow {
  const char* description;
  std::string line;
  std::string keyword;
  std::string params;
};

TEST(FtpCommandLine, SplitsKeywordAndParameterByTheInterpreterRules) {
  const std::string iac(1, '\xff');
  const LineRow rows[] = {
      {"keyword is upper-cased, parameter keeps its case", "user Ann", "USER", "Ann"},
      {"blanks before and after the keyword are skipped", " \t RETR \t a b ", "RETR", "a b "},
      {"empty line", "", "", ""},
      {"no letter first: everything is the parameter", "  /x y", "", "/x y"},
      {"keyword stops at the first non-alphanumeric", "RE$T 10", "RE", "$T 10"},
      {"digits belong to the keyword", "x25y z", "X25Y", "z"},
      {"IAC IP before a command is dropped", iac + "\xf4" "ABOR", "ABOR", ""},
      {"IAC IAC is one 255 byte", "STOR a" + iac + iac + "b", "STOR", "a\xff" "b"},
      {"a lone IAC at the end is dropped", "NOOP x" + iac, "NOOP", "x"},
      {"bytes after the keyword need no blank", "CWD/x", "CWD", "/x"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.description);
    auto cmd = ParseCommandLine(row.line);
    EXPECT_EQ(cmd.Keyword, row.keyword);
    EXPECT_EQ(cmd.Params, row.params);
  }
}

// A parameter cut short names another file; the control buffer bounds a line.
TEST(FtpCommandLine, LongLineIsKeptWhole) {
  auto cmd = ParseCommandLine("STOR " + std::string(2000, 'x'));
  EXPECT_EQ(cmd.Keyword, "STOR");
  EXPECT_EQ(cmd.Params, std::string(2000, 'x'));
}

TEST(FtpCommandLine, DoubledIacCountsOnce) {
  std::string line = "NOOP ";
  for (int i = 0; i < 300; ++i) line += "\xff\xff";
  auto cmd = ParseCommandLine(line);
  EXPECT_EQ(cmd.Params, std::string(300, '\xff'));
}

TEST(FtpText, TrimRemovesBlanksAndControlCharacters) {
  EXPECT_EQ(FtpTrim(" \t\r ann \x01"), "ann");
  EXPECT_EQ(FtpTrim(""), "");
  EXPECT_EQ(FtpUpper("a N\xe9"), "A N\xe9");
}

struct PortRow {
  const char* description;
  const char* params;
  bool ok;
  const char* addr;
  std::int64_t port;
};

TEST(FtpPortArgument, ReadsSixNumbersLeniently) {
  const PortRow rows[] = {
      {"plain", "192,168,1,2,4,1", true, "192.168.1.2", 1025},
      {"blanks around numbers", " 127 , 0,0 ,1,\t200, 10 ", true, "127.0.0.1", 51210},
      {"address is not range-checked", "300,1,1,1,0,21", true, "300.1.1.1", 21},
      {"missing numbers read as 0", "10,0,0", true, "10.0.0.0", 0},
      {"empty number reads as 0", "1,,3,4,5,6", true, "1.0.3.4", 1286},
      {"a letter fails", "127,0,0,1,a,1", false, "", 0},
      {"a dot fails", "127.0.0.1,4,1", false, "", 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.description);
    auto arg = ParsePortArgument(row.params);
    ASSERT_EQ(arg.has_value(), row.ok);
    if (!row.ok) continue;
    EXPECT_EQ(arg->Addr, row.addr);
    EXPECT_EQ(arg->Port, row.port);
  }
}

TEST(FtpPasv, ReplyWritesAddressBytesAndPortHalves) {
  EXPECT_EQ(PasvReplyText(0x0A000005, 50001), "227 Entering Passive Mode (10,0,0,5,195,81).");
  EXPECT_EQ(PasvReplyText(0x7F000001, 21), "227 Entering Passive Mode (127,0,0,1,0,21).");
}

TEST(FtpPasv, OnlyDottedNumericAddressesAreAnnounced) {
  EXPECT_EQ(ParseDottedAddress("1.2.3.4"), 0x01020304u);
  EXPECT_FALSE(ParseDottedAddress("255.255.255.255"));
  EXPECT_FALSE(ParseDottedAddress("1.2.3"));
  EXPECT_FALSE(ParseDottedAddress("1.2.3.256"));
  EXPECT_FALSE(ParseDottedAddress("host.example"));
  EXPECT_FALSE(ParseDottedAddress("1.2.3.4 "));
}

TEST(FtpText, InsertedLineBreaksCannotSplitAReply) {
  // A system error text holding CR LF (seen on PASV when descriptors ran out) was
  // sent as two lines, and the client stayed one reply behind for the session.
  EXPECT_EQ(FtpFormat("500 PASV exception: '%s'.", "Error 10024 in function socket\r\nToo many"),
            "500 PASV exception: 'Error 10024 in function socket  Too many'.");
}

}  // namespace
