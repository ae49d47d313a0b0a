#include "platform/Profile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace fs = std::filesystem;

namespace {

class ProfileTest : public ::testing::Test {
protected:
  void SetUp() override {
    char pattern[] = "/tmp/profile-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add);
    fs::remove_all(dir_);
  }

  std::string PathOf(const std::string& name) const { return (dir_ / name).string(); }
  void Put(const std::string& name, const std::string& bytes) const {
    std::ofstream(PathOf(name), std::ios::binary) << bytes;
  }
  std::string Get(const std::string& name) const {
    std::ifstream in(PathOf(name), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  std::size_t EntriesInFolder() const {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir_), {}));
  }

  fs::path dir_;
};

struct ReadRow {
  const char* description;
  const char* text;
  const char* section;
  const char* key;
  const char* expected;  // read with the default "dflt"
};

TEST(ProfileRead, Dialect) {
  const ReadRow rows[] = {
      {"names ignore ASCII case", "[iNFo]\nnAME=x\n", "Info", "Name", "x"},
      {"blanks around the value go", "[s]\nk = \t v a \t\n", "s", "k", "v a"},
      {"blanks around names go", "  [ s ]  \n  k  =v\n", "s", "k", "v"},
      {"double quotes go", "[s]\nk=\" a b \"\n", "s", "k", " a b "},
      {"mismatched quotes stay", "[s]\nk=\"a'\n", "s", "k", "\"a'"},
      {"a lone quote stays", "[s]\nk=\"\n", "s", "k", "\""},
      {"only outer quotes go", "[s]\nk=\"a\"b\"\n", "s", "k", "a\"b"},
      {"CR LF line ends", "[s]\r\nk=v\r\n[t]\r\nk=w\r\n", "t", "k", "w"},
      {"an empty value is not the default", "[s]\nk=\n", "s", "k", ""},
      {"a bare name is an empty key", "[s]\nk\n", "s", "k", ""},
      {"missing key", "[s]\nother=v\n", "s", "k", "dflt"},
      {"a key in another section", "[s]\n[t]\nk=v\n", "s", "k", "dflt"},
      {"first of two keys wins", "[s]\nk=1\nK=2\n", "s", "k", "1"},
      {"first of two sections wins", "[s]\nk=1\n[S]\nk=2\n", "s", "k", "1"},
      {"comments are not keys", "[s]\n;k=1\n", "s", "k", "dflt"},
      {"keys before any section belong to none", "k=1\n[s]\n", "s", "k", "dflt"},
      {"a header without ']' is not a section", "[s\nk=1\n", "s", "k", "dflt"},
  };
  for (const ReadRow& row : rows) {
    SCOPED_TRACE(row.description);
    EXPECT_EQ(TProfile(row.text).ReadString(row.section, row.key, "dflt"), row.expected);
  }
}

TEST(ProfileRead, LongValueIsCutAt2047) {
  const std::string longValue(3000, 'v');
  TProfile profile("[s]\nk=" + longValue + "\nq=\"" + longValue + "\"\n");
  EXPECT_EQ(profile.ReadString("s", "k", ""), longValue.substr(0, 2047));
  // The quotes go before the cut, as the reader's buffer only saw the inner text.
  EXPECT_EQ(profile.ReadString("s", "q", ""), longValue.substr(0, 2047));
  EXPECT_EQ(TProfile("[s]\nk=" + longValue.substr(0, 2047) + "\n").ReadString("s", "k", ""),
            longValue.substr(0, 2047));
}

TEST(ProfileWrite, ReplacesInPlaceAndAppendsWhereTheFileEnds) {
  TProfile profile(
      "; kept\n"
      "[Info]\n"
      "Port = 21\n"
      "NAME=old\n"
      "junk line without meaning =\n"
      "\n"
      "[Other]\n"
      "x=1\n");
  profile.WriteString("info", "name", "new");
  profile.WriteString("INFO", "Tray", "1");
  profile.WriteString("Fresh", "k", "v");
  profile.WriteString("Info", "port", "80");
  EXPECT_EQ(profile.Text(),
            "; kept\n"
            "[Info]\n"
            "Port=80\n"
            "NAME=new\n"
            "junk line without meaning =\n"
            "Tray=1\n"
            "\n"
            "[Other]\n"
            "x=1\n"
            "[Fresh]\n"
            "k=v\n");
}

TEST_F(ProfileTest, LoadTellsMissingFromPresent) {
  TProfile profile;
  EXPECT_EQ(profile.Load(PathOf("none.ini")), TProfile::TLoadResult::kMissing);
  EXPECT_EQ(profile.Load(PathOf("none/deeper.ini")), TProfile::TLoadResult::kMissing);
  fs::create_directory(dir_ / "folder.ini");
  EXPECT_EQ(profile.Load(PathOf("folder.ini")), TProfile::TLoadResult::kMissing);
  Put("a.ini", "[s]\r\nk=v\r\n");
  ASSERT_EQ(profile.Load(PathOf("a.ini")), TProfile::TLoadResult::kLoaded);
  EXPECT_EQ(profile.ReadString("s", "k", ""), "v");
}

// A definition saved by an editor that starts UTF-8 files with a byte order mark lost
// its whole [Info] section: the mark hid the first header.
TEST_F(ProfileTest, ByteOrderMarkIsReadAsIfAbsentAndNotSavedBack) {
  Put("bom.ini", "\xEF\xBB\xBF[Info]\r\nName=Caf\xC3\xA9\r\n");
  TProfile profile;
  ASSERT_EQ(profile.Load(PathOf("bom.ini")), TProfile::TLoadResult::kLoaded);
  EXPECT_EQ(profile.ReadString("Info", "Name", ""), "Caf\xC3\xA9");
  profile.WriteString("Info", "Port", "21");
  ASSERT_TRUE(profile.SaveAtomically(PathOf("bom.ini")));
  EXPECT_EQ(Get("bom.ini"), "[Info]\nName=Caf\xC3\xA9\nPort=21\n");
  // Only a leading mark is one; elsewhere the bytes are text.
  EXPECT_EQ(TProfile("[s]\nk=\xEF\xBB\xBFv\n").ReadString("s", "k", ""), "\xEF\xBB\xBFv");
}

TEST_F(ProfileTest, SaveWritesTheTextInLfAndLeavesNothingElse) {
  Put("a.ini", "[s]\r\nk=v\r\n;note\r\n");
  TProfile profile;
  ASSERT_EQ(profile.Load(PathOf("a.ini")), TProfile::TLoadResult::kLoaded);
  profile.WriteString("s", "n", "1");
  ASSERT_TRUE(profile.SaveAtomically(PathOf("a.ini")));
  EXPECT_EQ(Get("a.ini"), "[s]\nk=v\n;note\nn=1\n");
  EXPECT_EQ(EntriesInFolder(), 1u);
}

TEST_F(ProfileTest, SavedFilesAreReadableByTheOwnerOnly) {
  // Definitions hold passwords in clear, yet were written readable by every user
  // of the machine; a file that existed was left as open as it was.
  const auto ownerOnly = fs::perms::owner_read | fs::perms::owner_write;
  TProfile profile("[s]\nk=v\n");
  Put("old.ini", "");
  fs::permissions(PathOf("old.ini"), ownerOnly | fs::perms::group_read | fs::perms::others_read);
  ASSERT_TRUE(profile.SaveAtomically(PathOf("old.ini")));
  EXPECT_EQ(fs::status(PathOf("old.ini")).permissions() & fs::perms::all, ownerOnly);
  ASSERT_TRUE(profile.SaveAtomically(PathOf("new.ini")));
  EXPECT_EQ(fs::status(PathOf("new.ini")).permissions() & fs::perms::all, ownerOnly);

  ASSERT_TRUE(CreatePrivateFolder(PathOf("Servers")));
  EXPECT_EQ(fs::status(PathOf("Servers")).permissions() & fs::perms::all, fs::perms::owner_all);
}

TEST_F(ProfileTest, SaveThroughALinkReplacesTheLinkedFile) {
  Put("real.ini", "[s]\nk=old\n");
  fs::create_symlink(dir_ / "real.ini", dir_ / "link.ini");
  ASSERT_TRUE(TProfile("[s]\nk=new\n").SaveAtomically(PathOf("link.ini")));
  EXPECT_TRUE(fs::is_symlink(dir_ / "link.ini"));
  EXPECT_EQ(Get("real.ini"), "[s]\nk=new\n");
}

TEST_F(ProfileTest, SaveRefusesWhatCannotBeWritten) {
  EXPECT_FALSE(TProfile("[s]\n").SaveAtomically(PathOf("missing/a.ini")));
  fs::create_directory(dir_ / "folder.ini");
  EXPECT_FALSE(TProfile("[s]\n").SaveAtomically(PathOf("folder.ini")));
  EXPECT_TRUE(fs::is_directory(dir_ / "folder.ini"));
}

TEST_F(ProfileTest, ReadOnlyFileOrFolderIsLeftAlone) {
  if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
  Put("ro.ini", "[s]\nk=old\n");
  fs::permissions(PathOf("ro.ini"), fs::perms::owner_read);
  EXPECT_FALSE(TProfile("[s]\nk=new\n").SaveAtomically(PathOf("ro.ini")));
  EXPECT_EQ(Get("ro.ini"), "[s]\nk=old\n");

  Put("a.ini", "[s]\nk=old\n");
  fs::permissions(dir_, fs::perms::owner_read | fs::perms::owner_exec);
  EXPECT_FALSE(TProfile("[s]\nk=new\n").SaveAtomically(PathOf("a.ini")));
  EXPECT_EQ(Get("a.ini"), "[s]\nk=old\n");
  EXPECT_EQ(EntriesInFolder(), 2u);
}

}  // namespace
