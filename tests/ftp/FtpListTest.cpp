#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "ftp/FtpSrvList.h"
#include "tests/support/TempFolder.h"

namespace {

class FtpListTest : public ::testing::Test {
protected:
  // Lines of a listing without their CR LF, sorted: the host's order is its own.
  static std::vector<std::string> Lines(const std::string& listing) {
    std::vector<std::string> out;
    std::size_t start = 0, end;
    while ((end = listing.find("\r\n", start)) != std::string::npos) {
      out.push_back(listing.substr(start, end - start));
      start = end + 2;
    }
    EXPECT_EQ(start, listing.size()) << "listing does not end in CR LF";
    std::sort(out.begin(), out.end());
    return out;
  }
  std::string List(const std::string& argument, bool detailed = true,
                   const std::string& current = "") {
    std::string out;
    BuildDirectoryListing(current.empty() ? dir_.Drive() : current, argument, detailed, out);
    return out;
  }
  // Listed lines other than "." and "..", whose times are the test's own.
  std::vector<std::string> Named(const std::string& listing) {
    std::vector<std::string> out;
    for (auto& line : Lines(listing)) {
      if (!line.ends_with(" .") && !line.ends_with(" ..") && line != "." && line != "..") {
        out.push_back(line);
      }
    }
    return out;
  }
  static THostEntry Entry(std::string name, std::int64_t size, std::int64_t modified) {
    THostEntry e;
    e.name = std::move(name);
    e.size = size;
    e.modified = modified;
    return e;
  }

  TScopedTimeZone zone_{"UTC0"};
  TTempFolder dir_;
  const int year_ = HostFs::LocalTime(HostFs::NowUtc()).year;
};

TEST_F(FtpListTest, ListLineLayoutIsByteExact) {
  THostEntry file = Entry("readme.txt", 1234, LocalToUtc(year_, 3, 5, 9, 7, 30));
  EXPECT_EQ(FtpListLine(file, year_),
            "-rw-rw-rw-   1 ftp      ftp         1234 Mar 05 09:07 readme.txt\r\n");
  EXPECT_EQ(FtpListLine(file, year_).find("readme.txt"), 54u);

  THostEntry old = Entry("old", 0, LocalToUtc(2002, 12, 31, 23, 59, 0));
  old.directory = true;
  EXPECT_EQ(FtpListLine(old, year_),
            "drwxrwxrwx   1 ftp      ftp            0 Dec 31  2002 old\r\n");
  // A folder that can be read can be entered; mirroring clients apply this mode.
  old.readOnly = true;
  EXPECT_EQ(FtpListLine(old, year_).substr(0, 10), "dr-xr-xr-x");

  THostEntry setup = Entry("SETUP.EXE", 70000, LocalToUtc(2010, 6, 1, 8, 0, 0));
  setup.readOnly = true;
  EXPECT_EQ(FtpListLine(setup, year_),
            "-r-xr-xr-x   1 ftp      ftp        70000 Jun 01  2010 SETUP.EXE\r\n");
  EXPECT_EQ(FtpListLine(Entry("run.bat", 1, LocalToUtc(2010, 6, 1, 8, 0, 0)), year_)
                .substr(0, 10), "-rwxrwxrwx");
  EXPECT_EQ(FtpListLine(Entry("a.Com", 1, LocalToUtc(2010, 6, 1, 8, 0, 0)), year_)
                .substr(0, 10), "-rwxrwxrwx");
  EXPECT_EQ(FtpListLine(Entry("exe", 1, LocalToUtc(2010, 6, 1, 8, 0, 0)), year_)
                .substr(0, 10), "-rw-rw-rw-");
}

TEST_F(FtpListTest, YearReplacesTimeOutsideTheCurrentYear) {
  const std::int64_t lastYear = LocalToUtc(year_ - 1, 11, 2, 14, 5, 0);
  const std::int64_t nextYear = LocalToUtc(year_ + 1, 1, 2, 14, 5, 0);
  EXPECT_EQ(FtpListLine(Entry("a", 1, lastYear), year_).substr(41),
            "Nov 02  " + std::to_string(year_ - 1) + " a\r\n");
  EXPECT_EQ(FtpListLine(Entry("a", 1, nextYear), year_).substr(41),
            "Jan 02  " + std::to_string(year_ + 1) + " a\r\n");
}

TEST_F(FtpListTest, HugeSizesWidenTheLine) {
  const std::int64_t size = std::int64_t{5} << 30;
  EXPECT_EQ(FtpListLine(Entry("dvd.iso", size, LocalToUtc(2010, 6, 1, 8, 0, 0)), 2024),
            "-rw-rw-rw-   1 ftp      ftp   5368709120 Jun 01  2010 dvd.iso\r\n");
  EXPECT_EQ(FtpListLine(Entry("x.iso", std::int64_t{123456789012}, 0), 2024).substr(29, 13),
            "123456789012 ");
}

TEST_F(FtpListTest, HiddenEntriesAreLeftOutOfListButNotNlst) {
  dir_.WriteFile("readme.txt", std::string(1234, 'x'));
  dir_.WriteFile(".secret");
  dir_.MakeFolder("old");
  dir_.SetModified("readme.txt", LocalToUtc(year_, 3, 5, 9, 7, 0));
  dir_.SetModified("old", LocalToUtc(2002, 12, 31, 10, 0, 0));

  std::string list = List("");
  EXPECT_EQ(Named(list), (std::vector<std::string>{
                             "-rw-rw-rw-   1 ftp      ftp         1234 Mar 05 09:07 readme.txt",
                             "drwxrwxrwx   1 ftp      ftp            0 Dec 31  2002 old"}));
  for (const auto& line : Lines(list)) {
    if (line.ends_with(" .") || line.ends_with(" ..")) {
      EXPECT_EQ(line[0], 'd') << line;
    }
  }
  EXPECT_EQ(Lines(List("", false)),
            (std::vector<std::string>{".", "..", ".secret", "old", "readme.txt"}));
}

// A name holding a line end would plant listing lines of its own.
TEST_F(FtpListTest, NamesWithLineEndsAreLeftOut) {
  dir_.WriteFile("plain.txt");
  dir_.WriteFile("inj\r\n-rw-rw-rw-   1 ftp      ftp      9 Dec 07 19:22 planted.exe");
  dir_.WriteFile("bare\rcr");
  EXPECT_EQ(Lines(List("", false)), (std::vector<std::string>{".", "..", "plain.txt"}));
  EXPECT_EQ(List("").find("planted"), std::string::npos);
}

TEST_F(FtpListTest, NothingListedGivesThePatternNotFoundLine) {
  dir_.WriteFile(".secret");
  EXPECT_EQ(List(dir_.Drive(".secret")), dir_.Drive(".secret") + " not found\r\n");
  EXPECT_EQ(List(dir_.Drive(".secret"), false), ".secret\r\n");
  const std::string gone = dir_.Drive("gone") + "\\";
  EXPECT_EQ(List("", true, gone), gone + "*.*" + " not found\r\n");
}

TEST_F(FtpListTest, ArgumentFormsChooseWhatIsListed) {
  dir_.MakeFolder("sub");
  dir_.WriteFile("top.txt");
  dir_.WriteFile("sub/inner.txt");
  const std::vector<std::string> current = {"sub", "top.txt"};
  const std::vector<std::string> inner = {"inner.txt"};

  EXPECT_EQ(Named(List("-la", false)), current);
  EXPECT_EQ(Named(List("gone", false)), current);
  // A folder lists its content however the client names it: relative to the
  // session (curl without CWD sends "NLST sub", lftp's ls "LIST sub/"), in host
  // form, or in the /C:/ form clients see.
  for (const std::string& name : {std::string("sub"), std::string("sub\\"), dir_.Drive("sub"),
                                  dir_.Drive("sub") + "\\", "\\" + dir_.Drive("sub") + "\\"}) {
    EXPECT_EQ(Named(List(name, false)), inner) << name;
  }
  EXPECT_EQ(Lines(List("top.txt", false)), std::vector<std::string>{"top.txt"});
  EXPECT_THROW(List("D:sub"), FtpServerException);
}

TEST_F(FtpListTest, WildcardArgumentFiltersTheSessionsDirectory) {
  // NLST *.txt once answered with every name, so mget fetched the whole folder.
  dir_.WriteFile("a.txt");
  dir_.WriteFile("b.jpg");
  dir_.MakeFolder("sub");
  dir_.WriteFile("sub/c.txt");
  EXPECT_EQ(Lines(List("*.txt", false)), std::vector<std::string>{"a.txt"});
  EXPECT_EQ(Lines(List("sub\\*.txt", false)), std::vector<std::string>{"c.txt"});
  EXPECT_EQ(Named(List("*.*", false)), (std::vector<std::string>{"a.txt", "b.jpg", "sub"}));
  EXPECT_EQ(List("*.zip"), dir_.Drive() + "*.zip not found\r\n");
  EXPECT_THROW(List("D:*.txt"), FtpServerException);
}

}  // namespace
