#include "catalogue/uFileFormat.h"
#include "tests/support/RecordingUi.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "catalogue/ServerUi.h"

namespace fs = std::filesystem;

namespace {

class ServerFileTest : public ::testing::Test {
protected:
  void SetUp() override {
    char pattern[] = "/tmp/server-file-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    auto ui = std::make_unique<TRecordingUi>();
    ui_ = ui.get();
    previousUi_ = SetUi(std::move(ui));
  }
  void TearDown() override {
    SetUi(std::move(previousUi_));
    fs::remove_all(dir_);
  }

  std::string PathOf(const std::string& name) const { return (dir_ / name).string(); }
  std::string Put(const std::string& name, const std::string& bytes) const {
    std::ofstream(PathOf(name), std::ios::binary) << bytes;
    return PathOf(name);
  }
  std::string Get(const std::string& name) const {
    std::ifstream in(PathOf(name), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  static std::string Fixture(const std::string& name) {
    return std::string(DRAVIK_TEST_DATA) + "/data/" + name;
  }
  TServerFile Read(const std::string& path) {
    TServerFile server;
    EXPECT_TRUE(ReadServerFile(path, server));
    return server;
  }
  // The Info section with the given keys, in the given order.
  std::string ReadInfo(const std::string& infoLines) {
    return Put("info.server", "[Info]\n" + infoLines);
  }

  fs::path dir_;
  TRecordingUi* ui_ = nullptr;
  std::unique_ptr<ServerUi> previousUi_;
};

TServerFile OneDirectoryFtp() {
  TServerFile s;
  s.Name = "Music";
  s.Banner = "";
  s.Type = kTypeFtp;
  s.DirectoryCount = 1;
  s.Directories = {{"C:\\home\\ann\\Music\\", "Songs", true, false, true}};
  s.Username = "ann";
  s.Password = "secret";
  s.Port = 2121;
  s.Limit = 5;
  s.Active = true;
  s.Multiple = true;
  s.Tray = false;
  return s;
}

TEST_F(ServerFileTest, NameOnlyFileReadsAsIdleVoktServer) {
  TServerFile s = Read(Fixture("name-only.server"));
  EXPECT_EQ(s.Name, "Lonely");
  EXPECT_EQ(s.Type, kTypeVokt);
  EXPECT_EQ(s.Port, 0);
  EXPECT_EQ(s.Banner, "Quarnel Sharing");
  EXPECT_TRUE(s.Directories.empty());
  EXPECT_TRUE(s.Files.empty());
  EXPECT_FALSE(s.Active);
  EXPECT_FALSE(s.Multiple);
  EXPECT_TRUE(s.Tray);
  EXPECT_EQ(s.Username, "");
}

TEST_F(ServerFileTest, NumbersAndFlagsDecodeAsStoredFilesExpect) {
  struct Row {
    const char* description;
    const char* info;
    int type, port, limit;
    bool active, tray;
  };
  // Defaults: Type 2, Port 0, Limit 0, Active false, Tray true.
  const Row rows[] = {
      {"type keeps its low 8 bits", "Type=257\n", 1, 0, 0, false, true},
      {"negative type wraps", "Type=-1\n", 255, 0, 0, false, true},
      {"0x is hexadecimal", "Port=0x50\nLimit=0X1f\n", 2, 80, 31, false, true},
      {"$ is hexadecimal", "Port=$5a\n", 2, 90, 0, false, true},
      {"a bare 0x is no number", "Port=0x\nLimit=0x\n", 2, 0, 0, false, true},
      {"blanks and quotes go first", "Port= \"21\" \n", 2, 21, 0, false, true},
      {"sign is allowed", "Limit=-7\nPort=+8\n", 2, 8, -7, false, true},
      {"32-bit hex wraps", "Limit=$FFFFFFFF\n", 2, 0, -1, false, true},
      {"decimal overflow is no number", "Port=2147483648\nLimit=-2147483648\n", 2, 0,
       -2147483647 - 1, false, true},
      {"junk after digits is no number", "Port=80a\nLimit=8 0\n", 2, 0, 0, false, true},
      {"empty numbers take defaults", "Type=\nPort=\nTray=\n", 2, 0, 0, false, true},
      {"flags are integers", "Active=2\nTray=0\n", 2, 0, 0, true, false},
      {"words are no flags", "Active=yes\nTray=no\n", 2, 0, 0, false, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.description);
    TServerFile s = Read(ReadInfo(row.info));
    EXPECT_EQ(s.Type, row.type);
    EXPECT_EQ(s.Port, row.port);
    EXPECT_EQ(s.Limit, row.limit);
    EXPECT_EQ(s.Active, row.active);
    EXPECT_EQ(s.Tray, row.tray);
  }
}

TEST_F(ServerFileTest, EmptyTextIsEmptyNotTheDefault) {
  TServerFile s = Read(ReadInfo("Name=\nbanner=  \n"));
  EXPECT_EQ(s.Name, "");
  EXPECT_EQ(s.Banner, "");
}

TEST_F(ServerFileTest, CountBeyondSectionsGivesDefaultEntries) {
  TServerFile s = Read(Fixture("count-beyond-sections.server"));
  ASSERT_EQ(s.Directories.size(), 3u);
  EXPECT_EQ(s.DirectoryCount, 3);
  EXPECT_EQ(s.Directories[0].Path, "C:\\Shared");
  EXPECT_FALSE(s.Directories[0].AccessW);
  EXPECT_TRUE(s.Directories[0].Recursive);
  for (int i : {1, 2}) {
    SCOPED_TRACE(i);
    EXPECT_EQ(s.Directories[i].Path, "");
    EXPECT_TRUE(s.Directories[i].AccessR);
    EXPECT_TRUE(s.Directories[i].AccessW);
    EXPECT_FALSE(s.Directories[i].Recursive);
  }
}

TEST_F(ServerFileTest, CountsOfZeroOrLessReadNoEntries) {
  TServerFile s;
  s.Directories.resize(2);
  s.Files.resize(2);
  ASSERT_TRUE(ReadServerFile(ReadInfo("Directories=-1\nFiles=0\n[File.0]\nPath=x\n"), s));
  EXPECT_EQ(s.DirectoryCount, -1);
  EXPECT_TRUE(s.Directories.empty());
  EXPECT_TRUE(s.Files.empty());
}

TEST_F(ServerFileTest, HugeCountIsCappedInsteadOfExhaustingMemory) {
  // A mistyped count of two billion made the reader ask for gigabytes of entries.
  TServerFile s = Read(ReadInfo("Directories=2000000000\nFiles=$7FFFFFFF\n"));
  EXPECT_EQ(s.DirectoryCount, 65536);
  EXPECT_EQ(s.Directories.size(), 65536u);
  EXPECT_EQ(s.FileCount, 65536);
  EXPECT_EQ(s.Files.size(), 65536u);
}

TEST_F(ServerFileTest, WebServerIsWrittenLineForLine) {
  TServerFile s;
  s.Name = "Holiday photos";
  s.Banner = "";
  s.Type = kTypeWeb;
  s.FileCount = 1;
  s.Files = {{"C:\\Photos\\beach.jpg", "The beach."}};
  s.Port = 80;
  s.Active = s.Multiple = s.Tray = true;
  EXPECT_TRUE(WriteServerFile(PathOf("web.server"), s));
  EXPECT_EQ(Get("web.server"),
            "[Info]\nName=Holiday photos\nBanner=\nType=1\nDirectories=0\nFiles=1\n"
            "Username=\nPassword=\nPort=80\nLimit=0\nActive=1\nMultiple=1\nTray=1\n"
            "[File.0]\nPath=C:\\Photos\\beach.jpg\nDescription=The beach.\n");
}

TEST_F(ServerFileTest, RoundTripKeepsEveryField) {
  TServerFile s = OneDirectoryFtp();
  s.FileCount = 2;
  s.Files = {{"C:\\a b.txt", "A"}, {"C:\\c.txt", ""}};
  WriteServerFile(PathOf("a.server"), s);
  TServerFile back = Read(PathOf("a.server"));
  WriteServerFile(PathOf("b.server"), back);
  EXPECT_EQ(Get("b.server"), Get("a.server"));
  EXPECT_EQ(back.Password, "secret");
  EXPECT_EQ(back.Limit, 5);
  EXPECT_FALSE(back.Tray);
  ASSERT_EQ(back.Directories.size(), 1u);
  EXPECT_FALSE(back.Directories[0].AccessW);
  ASSERT_EQ(back.Files.size(), 2u);
  EXPECT_EQ(back.Files[0].Path, "C:\\a b.txt");
}

TEST_F(ServerFileTest, ShrinkingLeavesStaleSectionsThatReadingIgnores) {
  TServerFile s = OneDirectoryFtp();
  s.DirectoryCount = 3;
  s.Directories.resize(3);
  s.Directories[2].Path = "C:\\third";
  WriteServerFile(PathOf("a.server"), s);
  s.DirectoryCount = 1;
  s.Directories.resize(1);
  WriteServerFile(PathOf("a.server"), s);

  const std::string text = Get("a.server");
  EXPECT_THAT(text, ::testing::HasSubstr("[Directory.1]"));
  EXPECT_THAT(text, ::testing::HasSubstr("[Directory.2]\nPath=C:\\third\n"));
  EXPECT_EQ(Read(PathOf("a.server")).Directories.size(), 1u);
}

TEST_F(ServerFileTest, RewriteKeepsTheFilesOwnOrderAndLines) {
  const std::string path = Put("hand.server",
                               "; written by hand\r\n[info]\r\nport=21\r\nname=Old\r\n"
                               "Extra=kept\r\n\r\n[File.0]\r\nDescription=d\r\n");
  TServerFile s = Read(path);
  s.Name = "New";
  s.Port = 2121;
  WriteServerFile(path, s);
  EXPECT_EQ(Get("hand.server"),
            "; written by hand\n[info]\nport=2121\nname=New\nExtra=kept\n"
            "Banner=Quarnel Sharing\nType=2\nDirectories=0\nFiles=0\nUsername=\n"
            "Password=\nLimit=0\nActive=0\nMultiple=0\nTray=1\n\n[File.0]\nDescription=d\n");
}

TEST_F(ServerFileTest, CountsBeyondArraysWriteDefaultEntries) {
  TServerFile s;
  s.DirectoryCount = 2;
  s.Directories = {{"C:\\one", "", false, false, true}};
  s.FileCount = 1;
  EXPECT_TRUE(WriteServerFile(PathOf("a.server"), s));
  EXPECT_THAT(Get("a.server"),
              ::testing::EndsWith("[Directory.1]\nPath=\nDescription=\nAccessR=1\nAccessW=1\n"
                                  "Recursive=0\n[File.0]\nPath=\nDescription=\n"));
  TServerFile back = Read(PathOf("a.server"));
  ASSERT_EQ(back.Directories.size(), 2u);
  EXPECT_TRUE(back.Directories[1].AccessR);
  EXPECT_EQ(back.Files.size(), 1u);
}

TEST_F(ServerFileTest, MissingFileIsReportedAndRecordUntouched) {
  TServerFile s = OneDirectoryFtp();
  const std::string path = PathOf("gone.server");
  EXPECT_FALSE(ReadServerFile(path, s));
  EXPECT_THAT(ui_->errors, ::testing::ElementsAre("File " + path + " not found"));
  EXPECT_EQ(s.Name, "Music");
  EXPECT_EQ(s.Directories.size(), 1u);
}

TEST_F(ServerFileTest, UnwritablePlaceRaisesWriteError) {
  const std::string path = PathOf("no-such-folder/a.server");
  try {
    WriteServerFile(path, OneDirectoryFtp());
    ADD_FAILURE() << "no error raised";
  } catch (const EWriteError& e) {
    EXPECT_EQ(std::string(e.what()), "Unable to write to " + path);
  }
}

TEST_F(ServerFileTest, FailedWriteLeavesTheOldDefinitionWhole) {
  // A disk that filled up during a write used to leave a definition half written.
  WriteServerFile(PathOf("a.server"), OneDirectoryFtp());
  const std::string before = Get("a.server");
  TServerFile bigger = OneDirectoryFtp();
  bigger.Name = std::string(8192, 'n');

  struct rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  struct rlimit small = saved;
  small.rlim_cur = 1024;
  auto previous = ::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  EXPECT_THROW(WriteServerFile(PathOf("a.server"), bigger), EWriteError);
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, previous);

  EXPECT_EQ(Get("a.server"), before);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), {}), 1);
}

TEST(ServerFileName, TimeStampWithTwoOrThreeDigitMilliseconds) {
  std::tm t{};
  t.tm_year = 2024 - 1900;
  t.tm_mon = 2;
  t.tm_mday = 5;
  t.tm_hour = 21;
  t.tm_min = 7;
  t.tm_sec = 9;
  EXPECT_EQ(ServerFileNameAt(t, 7), "24030521070907.server");
  EXPECT_EQ(ServerFileNameAt(t, 45), "24030521070945.server");
  EXPECT_EQ(ServerFileNameAt(t, 123), "240305210709123.server");
  EXPECT_THAT(NewServerFileName(), ::testing::MatchesRegex("[0-9]{14,15}\\.server"));
}

}  // namespace
