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

TEST(FtpCommandLine, LongLineIsCutTo255BytesBeforeSplitting) {
  auto cmd = ParseCommandLine("STOR " + std::string(2000, 'x'));
  EXPECT_EQ(cmd.Keyword, "STOR");
  EXPECT_EQ(cmd.Params, std::string(250, 'x'));
}

TEST(FtpCommandLine, DoubledIacCountsOnceTowardsTheCut) {
  std::string line = "NOOP ";
  for (int i = 0; i < 300; ++i) line += "\xff\xff";
  auto cmd = ParseCommandLine(line);
  EXPECT_EQ(cmd.Params, std::string(250, '\xff'));
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

TEST(FtpPasvPortTable, HandsOutTheLowestFreePortUntilTheRangeIsFull) {
  TPasvPortTable table;
  EXPECT_EQ(table.Acquire(), 0) << "no range: any port";
  table.SetStart(50000);
  table.SetSize(2);
  EXPECT_EQ(table.Acquire(), 50000);
  EXPECT_EQ(table.Acquire(), 50001);
  EXPECT_EQ(table.Acquire(), std::nullopt);
  table.Release(50000);
  table.Release(50000);  // a second release of the same port changes nothing
  EXPECT_EQ(table.Acquire(), 50000);
  EXPECT_EQ(table.Acquire(), std::nullopt);
}

TEST(FtpPasvPortTable, SettersRefuseBadValuesAndPortsInUse) {
  TPasvPortTable table;
  try {
    table.SetStart(70000);
    FAIL();
  } catch (const FtpServerException& e) {
    EXPECT_STREQ(e.what(), "Invalid PasvPortRangeStart 70000.");
  }
  try {
    table.SetSize(-1);
    FAIL();
  } catch (const FtpServerException& e) {
    EXPECT_STREQ(e.what(), "Invalid PasvPortRangeSize -1.");
  }
  table.SetStart(40000);
  table.SetSize(3);
  table.Acquire();
  table.Acquire();  // 40000 and 40001 in use
  table.SetStart(40000);  // same value: allowed
  try {
    table.SetStart(41000);
    FAIL();
  } catch (const FtpServerException& e) {
    EXPECT_STREQ(e.what(), "Unable to change PasvPortRangeStart when port is in use.");
  }
  table.SetSize(2);  // drops only the free 40002
  try {
    table.SetSize(1);
    FAIL();
  } catch (const FtpServerException& e) {
    EXPECT_STREQ(e.what(), "Unable to change PasvPortRangeSize when port is in use.");
  }
  table.SetSize(4);
  EXPECT_EQ(table.Acquire(), 40002);
}

}  // namespace

TEST(FtpText, InsertedLineBreaksCannotSplitAReply) {
  // A system error text holding CR LF (seen on PASV when descriptors ran out) was
  // sent as two lines, and the client stayed one reply behind for the session.
  EXPECT_EQ(FtpFormat("500 PASV exception: '%s'.", "Error 10024 in function socket\r\nToo many"),
            "500 PASV exception: 'Error 10024 in function socket  Too many'.");
}
