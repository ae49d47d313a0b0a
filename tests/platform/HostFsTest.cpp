#include "platform/HostFs.h"

#include "platform/HostPlace.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <cerrno>

#include "tests/support/TempFolder.h"

namespace {

class HostFsTest : public ::testing::Test {
protected:
  const THostEntry* Find(const std::vector<THostEntry>& entries, std::string_view name) {
    auto it = std::find_if(entries.begin(), entries.end(),
                           [&](const THostEntry& e) { return e.name == name; });
    return it == entries.end() ? nullptr : &*it;
  }
  std::vector<std::string> Names(std::string_view pattern) {
    std::vector<std::string> out;
    for (const auto& e : HostFs::FindEntries(pattern)) out.push_back(e.name);
    std::sort(out.begin(), out.end());
    return out;
  }
  std::string ReadAll(std::string_view path) {
    THostFile f;
    if (!f.Open(path, THostFile::hfmRead)) return "<unopened>";
    std::string out(static_cast<std::size_t>(f.Size()), '\0');
    out.resize(static_cast<std::size_t>(f.Read(out.data(), f.Size())));
    return out;
  }

  TTempFolder dir_;
};

TEST_F(HostFsTest, DriveFormMapsOntoTheOnePseudoDrive) {
  struct Row {
    const char* description;
    const char* path;
    bool ok;
    const char* native;
  } rows[] = {
      {"file", "C:\\home\\ann\\x.txt", true, "/home/ann/x.txt"},
      {"lower-case drive", "c:\\home\\", true, "/home/"},
      {"drive alone is the root", "C:", true, "/"},
      {"root", "C:\\", true, "/"},
      {"slashes as separators", "C:/a/b", true, "/a/b"},
      {"other drive names nothing", "D:\\home", false, ""},
      {"UNC names nothing", "\\\\server\\share\\x", false, ""},
      {"relative stays relative", "sub\\x", true, "sub/x"},
      {"rooted without drive", "\\x", true, "/x"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.description);
    std::string native;
    EXPECT_EQ(HostFs::ToNative(row.path, native), row.ok);
    if (row.ok) {
      EXPECT_EQ(native, row.native);
    }
  }
  EXPECT_EQ(HostFs::FromNative("/home/ann/x.txt"), "C:\\home\\ann\\x.txt");
  EXPECT_EQ(HostFs::FromNative("/home/ann/"), "C:\\home\\ann\\");
  EXPECT_EQ(HostFs::FromNative("/"), "C:\\");
}

TEST_F(HostFsTest, OtherDrivesFailAsNotFound) {
  dir_.WriteFile("a.txt", "x");
  std::string onD = "D" + dir_.Drive("a.txt").substr(1);
  EXPECT_FALSE(HostFs::FileExists(onD));
  EXPECT_FALSE(HostFs::DirectoryExists("D:\\"));
  EXPECT_TRUE(HostFs::FindEntries("D:\\*.*").empty());
  EXPECT_EQ(HostFs::FileSize(onD), -1);
  EXPECT_TRUE(HostFs::DeleteFile(onD).NotFound());
  EXPECT_TRUE(HostFs::CreateDirectory("D:\\newdir").NotFound());
  THostFile f;
  EXPECT_TRUE(f.Open(onD, THostFile::hfmRead).NotFound());
  EXPECT_TRUE(HostFs::FileExists(dir_.Drive("a.txt")));  // still there, untouched
}

TEST_F(HostFsTest, FilesAndFoldersAreTellApart) {
  dir_.WriteFile("f.txt", "abc");
  dir_.MakeFolder("sub");
  dir_.MakeLink("link-to-file", dir_.Native("f.txt"));
  dir_.MakeLink("link-to-sub", dir_.Native("sub"));
  EXPECT_TRUE(HostFs::FileExists(dir_.Drive("f.txt")));
  EXPECT_FALSE(HostFs::FileExists(dir_.Drive("sub")));
  EXPECT_TRUE(HostFs::DirectoryExists(dir_.Drive("sub")));
  EXPECT_TRUE(HostFs::DirectoryExists(dir_.Drive("sub") + "\\"));
  EXPECT_FALSE(HostFs::FileExists(dir_.Drive("f.txt") + "\\"));
  EXPECT_TRUE(HostFs::FileExists(dir_.Drive("link-to-file")));
  EXPECT_TRUE(HostFs::DirectoryExists(dir_.Drive("link-to-sub")));
  EXPECT_FALSE(HostFs::FileExists(dir_.Drive("missing")));
}

TEST_F(HostFsTest, EnumerationGivesSizeAttributesAndTimes) {
  dir_.WriteFile("f.txt", "hello");
  dir_.WriteFile(".profile", "x");
  dir_.MakeFolder("sub");
  dir_.SetModified("f.txt", 1072000000);
  dir_.SetModified("sub", 1000000000);
  dir_.MakeLink("good-link", dir_.Native("f.txt"));
  dir_.MakeLink("broken-link", dir_.Native("nowhere-at-all"));
  dir_.SetModified("broken-link", 900000000);

  auto entries = HostFs::FindEntries(dir_.Drive() + "*.*");
  ASSERT_EQ(entries.size(), 7u);  // five names plus "." and ".."
  const THostEntry* f = Find(entries, "f.txt");
  ASSERT_TRUE(f);
  EXPECT_EQ(f->size, 5);
  EXPECT_FALSE(f->directory);
  EXPECT_FALSE(f->hidden);
  EXPECT_EQ(f->modified, 1072000000);
  const THostEntry* sub = Find(entries, "sub");
  ASSERT_TRUE(sub);
  EXPECT_TRUE(sub->directory);
  EXPECT_EQ(sub->size, 0);
  EXPECT_EQ(sub->modified, 1000000000);
  EXPECT_TRUE(Find(entries, ".profile")->hidden);
  for (const char* dots : {".", ".."}) {
    SCOPED_TRACE(dots);
    ASSERT_TRUE(Find(entries, dots));
    EXPECT_TRUE(Find(entries, dots)->directory);
    EXPECT_FALSE(Find(entries, dots)->hidden);
  }
  const THostEntry* good = Find(entries, "good-link");
  EXPECT_EQ(good->size, 5);
  EXPECT_EQ(good->modified, 1072000000);
  const THostEntry* broken = Find(entries, "broken-link");
  EXPECT_EQ(broken->size, static_cast<std::int64_t>(dir_.Native("nowhere-at-all").size()));
  EXPECT_EQ(broken->modified, 900000000);
}

TEST_F(HostFsTest, EntryTheProcessCannotWriteIsReadOnly) {
  if (::geteuid() == 0) GTEST_SKIP() << "root may write every file";
  dir_.WriteFile("locked.txt", "x");
  dir_.WriteFile("open.txt", "x");
  ::chmod(dir_.Native("locked.txt").c_str(), 0444);
  auto entries = HostFs::FindEntries(dir_.Drive() + "*.txt");
  EXPECT_TRUE(Find(entries, "locked.txt")->readOnly);
  EXPECT_FALSE(Find(entries, "open.txt")->readOnly);
}

TEST_F(HostFsTest, WildcardsMatchAsTheOriginalHostDid) {
  struct Row {
    const char* pattern;
    const char* name;
    bool match;
  } rows[] = {
      {"*.*", "noext", true},      {"*.*", "a.b.c", true},      {"*.*", ".hidden", true},
      {"*", "anything.x", true},   {"*.txt", "a.txt", true},    {"*.txt", "a.txt.bak", false},
      {"*.txt", "a.b.txt", true},  {"*.txt", "a.TXT", false},   {"a?c", "abc", true},
      {"a?c", "ac", false},        {"a?", "a", true},           {"a?", "abc", false},
      {"a?.txt", "a.txt", true},   {"a?.txt", "ab.txt", true},  {"*.", "noext", true},
      {"*.", "a.txt", false},      {"x.*", "x", true},          {"x.*", "x.y", true},
      {"x.*", "xy", false},        {"readme", "readme", true},  {"readme", "README", false},
      {"?", "ab", false},          {"sub", "sub2", false},      {"a*b*c", "aXXbYYc", true},
      {"a**b", "aXb", true},       {"**", "x", true},           {"a*b*c", "aXXbYY", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.pattern) + " vs " + row.name);
    EXPECT_EQ(HostFs::MatchesPattern(row.pattern, row.name), row.match);
  }
  // A client's pattern of thousands of wildcards (each held the event loop for
  // seconds over a large folder) still means what it says.
  const std::string name = "photo_0001.jpg";
  EXPECT_FALSE(HostFs::MatchesPattern(std::string(5000, '*') + "z", name));
  EXPECT_TRUE(HostFs::MatchesPattern(std::string(5000, '*') + "jpg", name));
  EXPECT_TRUE(HostFs::MatchesPattern("photo_" + std::string(4, '?') + ".jpg", name));
  std::string manyA, starQuery;
  for (int i = 0; i < 2000; ++i) manyA += "*a";
  for (int i = 0; i < 2000; ++i) starQuery += "*?";
  EXPECT_FALSE(HostFs::MatchesPattern(manyA, name));
  EXPECT_FALSE(HostFs::MatchesPattern(starQuery, name)) << "past the limit of wildcards";
}

TEST_F(HostFsTest, PatternWithoutWildcardFindsTheEntryItself) {
  dir_.MakeFolder("sub");
  dir_.WriteFile("sub/inner.txt");
  auto entries = HostFs::FindEntries(dir_.Drive("sub"));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, "sub");
  EXPECT_TRUE(entries[0].directory);
  EXPECT_TRUE(HostFs::FindEntries(dir_.Drive("sub") + "\\").empty());
  EXPECT_TRUE(HostFs::FindEntries(dir_.Drive("missing") + "\\*.*").empty());
}

TEST_F(HostFsTest, CreateEmptiesAndWriteAtOffsetKeepsTheRest) {
  const std::string path = dir_.Drive("up.bin");
  THostFile f;
  ASSERT_TRUE(f.Open(path, THostFile::hfmWrite).NotFound());  // restart needs a file
  ASSERT_TRUE(f.Open(path, THostFile::hfmCreate));
  ASSERT_TRUE(f.Write("0123456789", 10));
  f.Close();

  ASSERT_TRUE(f.Open(path, THostFile::hfmWrite));
  ASSERT_TRUE(f.Seek(4));
  ASSERT_TRUE(f.Write("ab", 2));
  f.Close();
  EXPECT_EQ(ReadAll(path), "0123ab6789");

  ASSERT_TRUE(f.Open(path, THostFile::hfmReadWrite));
  ASSERT_TRUE(f.Seek(f.Size()));
  ASSERT_TRUE(f.Write("!", 1));
  f.Close();
  EXPECT_EQ(ReadAll(path), "0123ab6789!");

  ASSERT_TRUE(f.Open(path, THostFile::hfmCreate));
  f.Close();
  EXPECT_EQ(ReadAll(path), "");
}

TEST_F(HostFsTest, SizesAndOffsetsBeyondFourGigabytes) {
  const std::int64_t big = (std::int64_t{5} << 30) + 3;  // sparse: no real disk space
  dir_.WriteFile("big.bin");
  ASSERT_EQ(::truncate(dir_.Native("big.bin").c_str(), big - 3), 0);
  THostFile f;
  ASSERT_TRUE(f.Open(dir_.Drive("big.bin"), THostFile::hfmReadWrite));
  ASSERT_TRUE(f.Seek(big - 3));
  ASSERT_TRUE(f.Write("end", 3));
  f.Close();

  EXPECT_EQ(HostFs::FileSize(dir_.Drive("big.bin")), big);
  EXPECT_EQ(HostFs::FindEntries(dir_.Drive("big.bin"))[0].size, big);
  ASSERT_TRUE(f.Open(dir_.Drive("big.bin"), THostFile::hfmRead));
  EXPECT_EQ(f.Size(), big);
  ASSERT_TRUE(f.Seek(big - 3));
  char buf[8] = {};
  EXPECT_EQ(f.Read(buf, sizeof buf), 3);
  EXPECT_EQ(std::string(buf), "end");
  EXPECT_EQ(f.Read(buf, sizeof buf), 0);
}

TEST_F(HostFsTest, OnlyRegularFilesOpen) {
  dir_.MakeFolder("sub");
  ASSERT_EQ(::mkfifo(dir_.Native("pipe").c_str(), 0666), 0);
  THostFile f;
  EXPECT_EQ(f.Open(dir_.Drive("sub"), THostFile::hfmRead).Code(), EISDIR);
  EXPECT_EQ(f.Open(dir_.Drive("sub"), THostFile::hfmCreate).Code(), EISDIR);
  // Would block the whole server for good if the open waited for a writer.
  EXPECT_FALSE(f.Open(dir_.Drive("pipe"), THostFile::hfmRead));
  EXPECT_FALSE(f.Open(dir_.Drive("pipe"), THostFile::hfmCreate));
  EXPECT_FALSE(f.IsOpen());
  EXPECT_FALSE(f.Open(dir_.Drive("missing"), THostFile::hfmRead).Message().empty());
}

TEST_F(HostFsTest, FolderAndFileOperationsKeepTheirKinds) {
  dir_.WriteFile("a.txt", "a");
  dir_.WriteFile("b.txt", "b");
  EXPECT_TRUE(HostFs::CreateDirectory(dir_.Drive("d")));
  EXPECT_FALSE(HostFs::CreateDirectory(dir_.Drive("d")));
  dir_.WriteFile("d/in.txt");
  EXPECT_FALSE(HostFs::RemoveDirectory(dir_.Drive("d")));  // not empty
  EXPECT_FALSE(HostFs::DeleteFile(dir_.Drive("d")));       // a folder is no file
  EXPECT_TRUE(HostFs::DeleteFile(dir_.Drive("d\\in.txt")));
  EXPECT_TRUE(HostFs::RemoveDirectory(dir_.Drive("d")));
  EXPECT_FALSE(HostFs::DirectoryExists(dir_.Drive("d")));

  // A rename must never destroy the file it would land on.
  EXPECT_EQ(HostFs::RenameFile(dir_.Drive("a.txt"), dir_.Drive("b.txt")).Code(), EEXIST);
  EXPECT_EQ(ReadAll(dir_.Drive("b.txt")), "b");
  EXPECT_TRUE(HostFs::RenameFile(dir_.Drive("a.txt"), dir_.Drive("c.txt")));
  EXPECT_EQ(ReadAll(dir_.Drive("c.txt")), "a");
  EXPECT_FALSE(HostFs::FileExists(dir_.Drive("a.txt")));
}

TEST_F(HostFsTest, PathsHoldingANulByteNameNothing) {
  // The kernel reads a path only up to a NUL, while checks read the whole text:
  // C:\...\a.txt<NUL>\..\..\share\x was judged as share\x and opened as a.txt.
  dir_.WriteFile("a.txt", "a");
  const std::string nul(1, '\0');
  const std::string read = dir_.Drive("a.txt") + nul + "\\..\\x";
  const std::string made = dir_.Drive("new") + nul + ".txt";
  std::string native;
  EXPECT_FALSE(HostFs::ToNative(read, native));
  EXPECT_FALSE(HostFs::CanonicalPath(read, native));
  EXPECT_FALSE(HostFs::FileExists(read));
  THostFile f;
  EXPECT_TRUE(f.Open(read, THostFile::hfmRead).NotFound());
  EXPECT_FALSE(f.Open(made, THostFile::hfmCreate));
  EXPECT_FALSE(HostFs::CreateDirectory(made));
  EXPECT_FALSE(HostFs::RenameFile(dir_.Drive("a.txt"), made));
  EXPECT_FALSE(HostFs::FileExists(dir_.Drive("new")));
}

TEST_F(HostFsTest, CanonicalPathResolvesDotsAndLinks) {
  dir_.MakeFolder("share");
  dir_.MakeFolder("share/sub");
  dir_.MakeFolder("outside");
  dir_.MakeLink("share/out", dir_.Native("outside"));
  dir_.MakeLink("share/rel", "sub");
  dir_.MakeLink("share/dangling", "../outside/new");
  dir_.MakeLink("share/loop", "loop");
  const std::string root = dir_.Native();
  struct Row {
    const char* description;
    std::string path;
    std::string canonical;
  } rows[] = {
      {"plain", dir_.Drive("share\\sub\\"), root + "/share/sub"},
      {"dot and dot-dot", dir_.Drive("share\\.\\sub\\..\\sub"), root + "/share/sub"},
      {"link out of the share", dir_.Drive("share\\out\\x.txt"), root + "/outside/x.txt"},
      {"relative link", dir_.Drive("share\\rel\\y"), root + "/share/sub/y"},
      {"dangling link", dir_.Drive("share\\dangling"), root + "/outside/new"},
      {"missing names keep going", dir_.Drive("share\\no\\such\\..\\x"), root + "/share/no/x"},
      {"dot-dot past a missing name", dir_.Drive("share\\no\\..\\..\\outside"), root + "/outside"},
      {"dot-dot above the root", "C:\\..\\..\\tmp", "/tmp"},
      {"root", "C:\\", "/"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.description);
    std::string native;
    ASSERT_TRUE(HostFs::CanonicalPath(row.path, native));
    EXPECT_EQ(native, row.canonical);
  }
  std::string native;
  EXPECT_FALSE(HostFs::CanonicalPath(dir_.Drive("share\\loop\\x"), native));
  EXPECT_FALSE(HostFs::CanonicalPath("D:\\x", native));
}

TEST_F(HostFsTest, TimesFollowTheZoneRulesOfTheirOwnDate) {
  TScopedTimeZone zone("CET-1CEST,M3.5.0,M10.5.0/3");
  const std::int64_t winter = LocalToUtc(2004, 1, 5, 12, 34, 56);
  const std::int64_t summer = LocalToUtc(2004, 7, 5, 12, 34, 57);
  EXPECT_EQ(HostFs::TimeZoneBiasMinutes(winter), -60);
  EXPECT_EQ(HostFs::TimeZoneBiasMinutes(summer), -120);
  THostTime t = HostFs::UtcTime(summer);
  EXPECT_EQ(t.hour, 10);
  EXPECT_EQ(t.second, 57);
  t = HostFs::LocalTime(summer);
  EXPECT_EQ(t.year, 2004);
  EXPECT_EQ(t.month, 7);
  EXPECT_EQ(t.day, 5);
  EXPECT_EQ(t.hour, 12);

  dir_.WriteFile("f");
  dir_.SetModified("f", summer);
  std::int64_t seen = 0;
  ASSERT_TRUE(HostFs::FileModTime(dir_.Drive("f"), seen));
  EXPECT_EQ(seen, summer);
  EXPECT_FALSE(HostFs::FileModTime(dir_.Drive("missing"), seen));
}

}  // namespace

TEST_F(HostFsTest, TransfersShareAFileForReadingButAWriterHasItAlone) {
  dir_.WriteFile("f", "data");
  const TOpenOptions transfer{true};
  THostFile reader1, reader2, writer;
  ASSERT_TRUE(reader1.Open(dir_.Drive("f"), THostFile::hfmRead, transfer));
  ASSERT_TRUE(reader2.Open(dir_.Drive("f"), THostFile::hfmRead, transfer));
  THostStatus busy = writer.Open(dir_.Drive("f"), THostFile::hfmCreate, transfer);
  EXPECT_TRUE(busy.Busy());
  EXPECT_EQ(busy.Message(), "File is busy");
  EXPECT_EQ(ReadAll(dir_.Drive("f")), "data") << "a refused upload empties nothing";
  reader1.Close();
  reader2 = THostFile();
  ASSERT_TRUE(writer.Open(dir_.Drive("f"), THostFile::hfmCreate, transfer));
  EXPECT_TRUE(reader1.Open(dir_.Drive("f"), THostFile::hfmRead, transfer).Busy());
  EXPECT_TRUE(THostFile().Open(dir_.Drive("f"), THostFile::hfmWrite, transfer).Busy());
  EXPECT_TRUE(reader1.Open(dir_.Drive("f"), THostFile::hfmRead)) << "not a transfer: no claim";
}

TEST_F(HostFsTest, PlacesStayBeneathTheSharedFolders) {
  for (const char* d : {"share", "share/sub", "share2", "outside"}) dir_.MakeFolder(d);
  dir_.WriteFile("share/a.txt", "a");
  dir_.WriteFile("share2/b.txt", "b");
  dir_.WriteFile("outside/secret.txt", "secret");
  dir_.MakeLink("share/abs_in", dir_.Native("share/a.txt"));
  dir_.MakeLink("share/rel_in", "sub/../a.txt");
  dir_.MakeLink("share/abs_out", dir_.Native("outside/secret.txt"));
  dir_.MakeLink("share/rel_out", "../outside/secret.txt");
  dir_.MakeLink("share/to2", "../share2/b.txt");
  dir_.MakeLink("share/loop", "loop");
  THostRoots roots({dir_.Drive("share"), dir_.Drive("share2")});
  struct Row {
    const char* path;
    bool followLast;
    const char* native;  // nullptr: refused
  } rows[] = {
      {"share\\abs_in", true, "share/a.txt"},
      {"share\\rel_in", true, "share/a.txt"},
      {"share\\to2", true, "share2/b.txt"},
      {"share\\abs_out", true, nullptr},
      {"share\\rel_out", true, nullptr},
      {"share\\loop", true, nullptr},
      {"share\\abs_out", false, "share/abs_out"},
      {"share\\sub\\..\\..\\outside\\secret.txt", true, nullptr},
      {"outside\\secret.txt", true, nullptr},
      {"share\\missing\\x.txt", true, "share/missing/x.txt"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    THostPlace place;
    ASSERT_EQ(roots.Locate(dir_.Drive(row.path), row.followLast, place), row.native != nullptr);
    if (row.native) {
      EXPECT_EQ(place.Native(), dir_.Native(row.native));
    }
  }
  THostPlace missing;
  ASSERT_TRUE(roots.Locate(dir_.Drive("share\\missing\\x.txt"), true, missing));
  EXPECT_TRUE(THostFile().Open(missing, THostFile::hfmCreate).NotFound());

  // What was located is what is acted on: a link swapped in since is not followed.
  THostPlace file, created;
  ASSERT_TRUE(roots.Locate(dir_.Drive("share\\a.txt"), true, file));
  ASSERT_TRUE(roots.Locate(dir_.Drive("share\\sub\\new"), true, created));
  ::rename(dir_.Native("share/a.txt").c_str(), dir_.Native("share/a.old").c_str());
  dir_.MakeLink("share/a.txt", dir_.Native("outside/secret.txt"));
  ::rename(dir_.Native("share/sub").c_str(), dir_.Native("share/sub.old").c_str());
  dir_.MakeLink("share/sub", dir_.Native("outside"));
  EXPECT_EQ(THostFile().Open(file, THostFile::hfmRead).Code(), ELOOP);
  EXPECT_TRUE(THostFile().Open(created, THostFile::hfmCreate));
  EXPECT_TRUE(std::filesystem::exists(dir_.Native("share/sub.old/new")));
  EXPECT_FALSE(std::filesystem::exists(dir_.Native("outside/new")));

  // A shared folder removed and made again is opened again.
  std::filesystem::remove_all(dir_.Native("share2"));
  dir_.MakeFolder("share2");
  dir_.WriteFile("share2/c.txt", "c");
  THostPlace again;
  ASSERT_TRUE(roots.Locate(dir_.Drive("share2\\c.txt"), true, again));
  EXPECT_TRUE(THostFile().Open(again, THostFile::hfmRead));
}
