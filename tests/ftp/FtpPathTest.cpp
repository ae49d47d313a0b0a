#include <gtest/gtest.h>

#include <unistd.h>

#include <optional>

#include "ftp/FtpSrvT.h"
#include "tests/support/TempFolder.h"

namespace {

// What CWD does with its argument before resolving it.
std::string Resolve(std::string current, std::string_view argument) {
  ResolveDirectory(current, FtpTrim(SlashesToBackslashes(argument)));
  return current;
}

TEST(FtpPath, SmallPathOperations) {
  EXPECT_EQ(SlashesToBackslashes("/C:/a/b/"), "\\C:\\a\\b\\");
  EXPECT_EQ(BackslashesToSlashes("C:\\a\\b\\"), "C:/a/b/");
  EXPECT_EQ(StripSlashBeforeDrive("\\C:\\x"), "C:\\x");
  EXPECT_EQ(StripSlashBeforeDrive("\\C:"), "C:");
  EXPECT_EQ(StripSlashBeforeDrive("\\C"), "\\C");
  EXPECT_EQ(StripSlashBeforeDrive("/C:/x"), "/C:/x");
  EXPECT_TRUE(IsUncPath("\\\\"));
  EXPECT_FALSE(IsUncPath("\\C:\\"));
  EXPECT_EQ(ExtractFileDrive("C:\\a\\b"), "C:");
  EXPECT_EQ(ExtractFileDrive("\\\\srv\\share\\x\\y"), "\\\\srv\\share");
  EXPECT_EQ(ExtractFileDrive("\\\\srv"), "\\\\srv");
  EXPECT_EQ(ExtractFileDrive("\\a\\b"), "");
}

TEST(FtpPath, ResolveDirectoryAcceptsTheDocumentedForms) {
  struct Row {
    const char* description;
    const char* current;
    const char* argument;
    const char* expected;
  } rows[] = {
      {"relative name", "C:\\Share\\", "sub", "C:\\Share\\sub\\"},
      {"relative with slash", "C:\\Share\\", "sub/x", "C:\\Share\\sub\\x\\"},
      {"client form with drive", "C:\\Share\\", "/C:/a/b", "C:\\a\\b\\"},
      {"client form, trailing slash", "C:\\Share\\", "/C:/Share/sub/x/", "C:\\Share\\sub\\x\\"},
      {"host form", "C:\\Share\\", "C:\\Share\\sub\\x", "C:\\Share\\sub\\x\\"},
      {"rooted on the current drive", "C:\\Share\\", "\\a", "C:\\a\\"},
      {"other drive, absolute", "C:\\Share\\", "D:\\a", "D:\\a\\"},
      {"parent", "C:\\Share\\sub\\", "..", "C:\\Share\\"},
      {"parent of a root is that root", "C:\\", "..", "C:\\"},
      {"dot", "C:\\Share\\", ".", "C:\\Share\\"},
      {"current drive alone", "C:\\Share\\", "C:", "C:\\Share\\"},
      {"other drive alone goes to its root", "C:\\Share\\", "D:", "D:\\"},
      {"two dots at the end are a name", "C:\\Share\\", "x\\..", "C:\\Share\\x\\..\\"},
      {"exactly the current directory", "C:\\Share\\", "C:\\Share\\", "C:\\Share\\"},
      {"drive letter kept as typed", "C:\\Share\\", "c:\\x", "c:\\x\\"},
      {"relative on a lower-case current drive", "c:\\Share\\", "sub", "c:\\Share\\sub\\"},
      {"surrounding blanks trimmed", "C:\\Share\\", "  sub \t", "C:\\Share\\sub\\"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.description);
    EXPECT_EQ(Resolve(row.current, row.argument), row.expected);
  }
}

TEST(FtpPath, ResolveDirectoryRefusalsKeepTheDirectory) {
  struct Row {
    const char* description;
    const char* argument;
    const char* message;
  } rows[] = {
      {"parent then name", "../x", "Cannot accept relative path using dot notation"},
      {"dot-dot inside", "x\\..\\y", "Cannot accept relative path using dot notation"},
      {"dot then name", "./x", "Cannot accept relative path using dot notation"},
      {"absolute with dot-dot", "C:\\a\\..\\b", "Cannot accept relative path using dot notation"},
      {"relative on another drive", "D:x", "Cannot accept path not relative to current directory"},
      {"colon in a name", "C:\\a:b", "Invalid directory name syntax"},
      {"UNC with backslashes", "\\\\srv\\share", "Cannot accept UNC path"},
      {"UNC with slashes", "//srv/share/", "Cannot accept UNC path"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.description);
    std::string current = "C:\\Share\\";
    try {
      ResolveDirectory(current, FtpTrim(SlashesToBackslashes(row.argument)));
      ADD_FAILURE() << "accepted, now " << current;
    } catch (const FtpServerException& e) {
      EXPECT_STREQ(e.what(), row.message);
    }
    EXPECT_EQ(current, "C:\\Share\\");
  }
}

TEST(FtpPath, BuildFilePathJoinsAsText) {
  struct Row {
    const char* description;
    const char* argument;
    const char* expected;
  } rows[] = {
      {"empty is the directory", "", "C:\\Share\\"},
      {"relative name", "a.txt", "C:\\Share\\a.txt"},
      {"relative with slash", "sub/a.txt", "C:\\Share\\sub\\a.txt"},
      {"client form with drive", "/C:/x/a.txt", "C:\\x\\a.txt"},
      {"drive upper-cased", "c:\\x\\a.txt", "C:\\x\\a.txt"},
      {"rooted on the current drive", "\\x\\a.txt", "C:\\x\\a.txt"},
      {"other drive, absolute", "D:\\x", "D:\\x"},
      {"drive-relative on the current drive", "C:a.txt", "C:\\Share\\a.txt"},
      {"dots are not resolved", "../x.txt", "C:\\Share\\..\\x.txt"},
      {"UNC passes unchanged", "//srv/share/f", "\\\\srv\\share\\f"},
      {"wildcards pass", "*.txt", "C:\\Share\\*.txt"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.description);
    EXPECT_EQ(BuildFilePath("C:\\Share\\", row.argument), row.expected);
  }
  try {
    BuildFilePath("C:\\Share\\", "D:file");
    ADD_FAILURE() << "relative name on another drive accepted";
  } catch (const FtpServerException& e) {
    EXPECT_STREQ(e.what(), "No current dir for 'D:'");
  }
}

TEST(FtpPath, BuildFilePathHookSeesTheConvertedNameAndWins) {
  std::string seenDir, seenName;
  auto hook = [&](const std::string& dir, const std::string& name, std::string& result) {
    seenDir = dir;
    seenName = name;
    if (name == "D:file") result = "C:\\elsewhere\\file";
  };
  EXPECT_EQ(BuildFilePath("C:\\Share\\", "/D:file", hook), "C:\\elsewhere\\file");
  EXPECT_EQ(seenDir, "C:\\Share\\");
  EXPECT_EQ(seenName, "D:file");
  EXPECT_EQ(BuildFilePath("C:\\Share\\", "a/b", hook), "C:\\Share\\a\\b");
  EXPECT_EQ(seenName, "a\\b");
}

class FtpFileInfoTest : public ::testing::Test {
protected:
  TTempFolder dir_;
};

TEST_F(FtpFileInfoTest, FileSizeOfSkipsFoldersAndTakesWildcards) {
  dir_.WriteFile("a.txt", "abc");
  dir_.MakeFolder("sub");
  EXPECT_EQ(FileSizeOf(dir_.Drive("a.txt")), 3);
  EXPECT_EQ(FileSizeOf(dir_.Drive() + "*.txt"), 3);
  EXPECT_EQ(FileSizeOf(dir_.Drive("sub")), -1);
  EXPECT_EQ(FileSizeOf(dir_.Drive("missing")), -1);
  EXPECT_EQ(FileSizeOf("D" + dir_.Drive("a.txt").substr(1)), -1);
}

TEST_F(FtpFileInfoTest, FileSizeOfBeyondTwoGigabytes) {
  dir_.WriteFile("big.iso");
  const std::int64_t size = std::int64_t{3} << 30;
  ASSERT_EQ(::truncate(dir_.Native("big.iso").c_str(), size), 0);
  EXPECT_EQ(FileSizeOf(dir_.Drive("big.iso")), size);
}

TEST_F(FtpFileInfoTest, MdtmGivesTheExactUtcSecondOfTheFilesOwnDate) {
  // MDTM used to read the time on a two-second grid and convert it with today's
  // daylight-saving offset: summer files were an hour off in winter and odd
  // seconds were lost, so mirroring clients fetched unchanged files again.
  TScopedTimeZone zone("CET-1CEST,M3.5.0,M10.5.0/3");
  dir_.WriteFile("winter.txt");
  dir_.WriteFile("summer.txt");
  dir_.SetModified("winter.txt", LocalToUtc(2004, 1, 5, 12, 34, 56));
  dir_.SetModified("summer.txt", LocalToUtc(2004, 7, 5, 12, 34, 57));
  EXPECT_EQ(FileUtcTimeString(dir_.Drive("winter.txt")), "20040105113456.000");
  EXPECT_EQ(FileUtcTimeString(dir_.Drive("summer.txt")), "20040705103457.000");
  EXPECT_THROW(FileUtcTimeString(dir_.Drive("missing.txt")), FtpServerException);
}

}  // namespace
