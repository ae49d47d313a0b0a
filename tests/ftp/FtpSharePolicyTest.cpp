// The share policy as a client meets it: a type 0 definition started through the
// registry, real folders standing for the shares, raw FTP commands, and the log
// lines the user reads. Every refused escape must also leave the disk unchanged.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>

#include "FtpTestSupport.h"
#include "catalogue/uServers.h"
#include "ftp/FtpShare.h"
#include "ftp/FtpSharePolicy.h"
#include "tests/support/RecordingUi.h"
#include "tests/support/RegistryScope.h"
#include "tests/support/TempFolder.h"

namespace fs = std::filesystem;

namespace {

std::tm FixedTime() { return Dec06At(21, 7); }

constexpr const char* kDenied = "501 Permission Denied";
constexpr const char* kNoList = "550 Failed: No permission.";
constexpr const char* kNoCwd = "501 CWD failed. No permission";

// Share/ is the shared folder; share/ (its lower-case twin), Share2/ and outside/
// are not shared; links inside Share lead outside.
class FtpSharePolicyTest : public FtpTest {
protected:
  void SetUp() override {
    registry_.emplace(FixedTime());
    ui_ = &registry_->Ui();
    RegisterFtpEngine();
    for (const char* d : {"Share", "Share/sub", "Share/sub/deep", "share", "Share2", "outside"})
      files_.MakeFolder(d);
    files_.WriteFile("Share/a.txt", "shared a");
    files_.WriteFile("Share/sub/deep/f.txt", "deep f");
    files_.WriteFile("share/twin.txt", "twin");
    files_.WriteFile("Share2/x.txt", "share2 x");
    files_.WriteFile("outside/secret.txt", "secret");
    files_.MakeLink("Share/flink", files_.Native("outside/secret.txt"));
    files_.MakeLink("Share/dlink", files_.Native("outside"));
    files_.MakeLink("Share/dangling", files_.Native("outside/created.txt"));
    def_.Name = "Music";
    def_.Type = kTypeFtp;
    def_.Tray = false;
    def_.Multiple = true;
    def_.Username = "ann";
    def_.Password = "secret";
    dir_ = files_.Native("Share") + "/";  // what FtpTest's helpers and TearDown use
  }
  void TearDown() override {
    ctrls_.clear();
    registry_.reset();  // the servers end before FtpTest removes their folders
    FtpTest::TearDown();
  }

  // Shares Share with these permissions, starts the server and logs in as ann.
  void StartShare(bool read, bool write, bool recursive, bool login = true) {
    def_.Directories.push_back({files_.Drive("Share"), "", read, write, recursive});
    def_.DirectoryCount = static_cast<std::int32_t>(def_.Directories.size());
    Start();
    if (login) Login("ann", "secret");
  }
  void Start() {
    const std::string path = files_.Native("ftp.server");
    WriteServerFile(path, def_);
    ASSERT_TRUE(StartServer(path)) << (ui_->errors.empty() ? "" : ui_->errors[0]);
    auto* engine = dynamic_cast<TFtpEngine*>(ServerRegistry.back().Engine.get());
    ASSERT_NE(engine, nullptr);
    port_ = engine->Server().BoundPort();
    Connect();
    Reply();
    before_ = Snapshot();
  }

  std::string Drive(const std::string& rel) const { return files_.Drive(rel); }
  std::string Ftp(const std::string& rel) const { return "/C:" + files_.Native(rel); }
  // The newest activity line without its time stamp.
  std::string LastLog() const {
    return ui_->activity.empty() ? "<none>"
                                 : ui_->activity.back().substr(std::strlen("[9:07 PM] "));
  }
  static std::string Decision(bool allowed, const std::string& what) {
    return std::string("(127.0.0.1) ") + (allowed ? "Allow: " : "Deny: ") + what;
  }
  // A download through a passive connection: the bytes, or the refusal reply.
  std::string Retrieve(const std::string& name) {
    auto data = Passive();
    std::string reply = Command("RETR " + name);
    if (reply.rfind("150 ", 0) != 0) return reply;
    std::string bytes = data->ReadAll();
    EXPECT_EQ(Reply(), "226 File sent ok");
    return bytes;
  }
  std::string Store(const std::string& name, const std::string& bytes) {
    auto data = Passive();
    std::string reply = Command("STOR " + name);
    if (reply.rfind("150 ", 0) != 0) return reply;
    data->SendBytes(bytes);
    data->Close();
    return Reply();
  }
  std::string List(const std::string& command) {
    auto data = Passive();
    std::string reply = Command(command);
    if (reply.rfind("150 ", 0) != 0) return reply;
    std::string listing = data->ReadAll();
    EXPECT_EQ(Reply(), "226 File sent ok");
    return listing;
  }

  // Every name under the temporary folder with its content or link target; links
  // are not followed.
  std::map<std::string, std::string> Snapshot() const {
    std::map<std::string, std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(files_.Native())) {
      const auto st = e.symlink_status();
      std::string& v = out[e.path().string()];
      if (fs::is_symlink(st)) {
        v = "-> " + fs::read_symlink(e.path()).string();
      } else if (fs::is_regular_file(st)) {
        std::ifstream in(e.path(), std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        v = ss.str();
      }
    }
    return out;
  }
  void ExpectDiskUnchanged() { EXPECT_EQ(Snapshot(), before_); }

  TTempFolder files_;
  TServerFile def_;
  std::optional<TRegistryScope> registry_;
  TRecordingUi* ui_ = nullptr;
  std::map<std::string, std::string> before_;
};

// ---------------------------------------------------------------------------
// The permissions of a shared folder

TEST_F(FtpSharePolicyTest, ReadOnlyShareServesFilesAtAnyDepthAndLogsThem) {
  StartShare(true, false, false);
  EXPECT_EQ(LastLog(), Decision(true, "User login - 127.0.0.1 (ann:secret)"));
  EXPECT_EQ(Command("PWD"), "257 \"" + Ftp("Share") + "/\" is current directory.");
  EXPECT_EQ(Retrieve("sub/deep/f.txt"), "deep f");
  EXPECT_EQ(ui_->activity.back(),
            "[9:07 PM] " + Decision(true, "Download " + Drive("Share/sub/deep/f.txt")));
  EXPECT_EQ(Command("SIZE sub/deep/f.txt"), "213 6");
  EXPECT_EQ(Command("MDTM a.txt").substr(0, 4), "213 ");
  EXPECT_NE(List("LIST").find(" a.txt\r\n"), std::string::npos);
  EXPECT_EQ(LastLog(), Decision(true, "Download " + Drive("Share/sub/deep/f.txt")))
      << "SIZE, MDTM and listings are not logged";
}

TEST_F(FtpSharePolicyTest, NonRecursiveShareIsEnteredOnlyAsItself) {
  StartShare(true, false, false);
  EXPECT_EQ(Command("CWD sub"), kNoCwd);
  EXPECT_EQ(LastLog(), Decision(false, "Change Directory to " + Drive("Share/sub") + "\\"));
  EXPECT_EQ(List("LIST sub/*"), kNoList);
  EXPECT_EQ(Command("CDUP"), kNoCwd);
  EXPECT_EQ(Command("CWD " + Ftp("Share")).substr(0, 4), "250 ");
  EXPECT_EQ(LastLog(), Decision(true, "Change Directory to " + Drive("Share") + "\\"));
}

// MLST's permission facts claim what the commands they describe would allow.
TEST_F(FtpSharePolicyTest, PermissionFactsFollowTheShare) {
  files_.MakeFolder("Share2/in");
  def_.Directories.push_back({files_.Drive("Share2"), "", true, true, true});
  StartShare(true, false, false);  // Share: read only, not its subfolders
  EXPECT_NE(Command("MLST " + Ftp("Share") + "/a.txt").find(";perm=r; "), std::string::npos);
  EXPECT_EQ(Command("CWD " + Ftp("Share")).substr(0, 4), "250 ");
  EXPECT_NE(List("MLSD").find(";perm=; sub\r\n"), std::string::npos);
  EXPECT_NE(Command("MLST " + Ftp("Share2") + "/x.txt").find(";perm=rw; "), std::string::npos);
  EXPECT_NE(Command("MLST " + Ftp("Share2") + "/in").find(";perm=elcm; "), std::string::npos);
}

TEST_F(FtpSharePolicyTest, RecursiveShareIsEnteredAtAnyDepth) {
  StartShare(true, false, true);
  EXPECT_EQ(Command("CWD sub/deep").substr(0, 4), "250 ");
  EXPECT_NE(List("NLST").find("f.txt\r\n"), std::string::npos);
  EXPECT_EQ(Command("CDUP").substr(0, 4), "250 ");
  EXPECT_EQ(Command("CDUP").substr(0, 4), "250 ");
  EXPECT_EQ(Command("CDUP"), kNoCwd) << "above the share";
}

TEST_F(FtpSharePolicyTest, ReadOnlyShareRefusesEveryWrite) {
  StartShare(true, false, true);
  EXPECT_EQ(Store("new.txt", "x"), kDenied);
  EXPECT_EQ(LastLog(), Decision(false, "Upload " + Drive("Share/new.txt")));
  EXPECT_EQ(Command("APPE a.txt"), "500 Cannot APPE.");
  EXPECT_EQ(Command("STOU"), kDenied) << "and the unique name it reserved is gone again";
  EXPECT_EQ(Command("MKD new"), "550 '" + Drive("Share/new") + "': can't create directory.");
  EXPECT_EQ(LastLog(), Decision(false, "Create Directory " + Drive("Share/new")));
  EXPECT_EQ(Command("RNFR a.txt"), "500 Cannot RNFR.");
  EXPECT_EQ(LastLog(), Decision(false, "Rename from " + Drive("Share/a.txt")));
  ExpectDiskUnchanged();
}

TEST_F(FtpSharePolicyTest, WritableShareTakesUploadsFoldersAndRenames) {
  StartShare(true, true, false);
  EXPECT_EQ(Store("new.txt", "uploaded"), "226 File received ok");
  EXPECT_EQ(LastLog(), Decision(true, "Upload " + Drive("Share/new.txt")));
  EXPECT_EQ(Store("sub/deep/g.txt", "deeper"), "226 File received ok") << "any depth";
  EXPECT_EQ(Command("MKD made"), "257 '" + Drive("Share/made") + "': directory created.");
  EXPECT_EQ(LastLog(), Decision(true, "Create Directory " + Drive("Share/made")));
  EXPECT_EQ(Command("RNFR new.txt"), "350 File exists, ready for destination name.");
  EXPECT_EQ(LastLog(), Decision(true, "Rename from " + Drive("Share/new.txt")));
  EXPECT_EQ(Command("RNTO made/n.txt").substr(0, 4), "250 ");
  EXPECT_EQ(LastLog(), Decision(true, "Rename to " + Drive("Share/made/n.txt")));
  std::ifstream in(files_.Native("Share/made/n.txt"));
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "uploaded");
  EXPECT_TRUE(fs::exists(files_.Native("Share/sub/deep/g.txt")));
}

TEST_F(FtpSharePolicyTest, DeleteAndRemoveAreAlwaysRefused) {
  StartShare(true, true, true);
  EXPECT_EQ(Command("DELE a.txt"), "550 Cannot delete.");
  EXPECT_EQ(LastLog(), Decision(false, "Delete " + Drive("Share/a.txt")));
  EXPECT_EQ(Command("RMD sub/deep"), "500 Cannot remove directory.");
  EXPECT_EQ(LastLog(), Decision(false, "Remove " + Drive("Share/sub/deep")));
  ExpectDiskUnchanged();
}

TEST_F(FtpSharePolicyTest, SiblingWithTheShareAsPrefixIsNeverMatched) {
  StartShare(true, true, true);
  EXPECT_EQ(Retrieve(Ftp("Share2/x.txt")), "500 Cannot RETR.");
  EXPECT_EQ(Command("CWD " + Ftp("Share2")), kNoCwd);
  EXPECT_EQ(List("NLST " + Ftp("Share2") + "/*"), kNoList);
  EXPECT_EQ(Store(Ftp("Share2/y.txt"), "y"), kDenied);
  ExpectDiskUnchanged();
}

// ---------------------------------------------------------------------------
// Login

TEST_F(FtpSharePolicyTest, WithoutCredentialsAnyNameLogsInAndStartsInTheShare) {
  def_.Username.clear();
  def_.Password.clear();
  StartShare(true, false, false, false);
  Login("anyone", "whatever");
  EXPECT_EQ(LastLog(), Decision(true, "User login - 127.0.0.1 (anyone:whatever)"));
  EXPECT_EQ(Command("PWD"), "257 \"" + Ftp("Share") + "/\" is current directory.");
  EXPECT_EQ(ServerRegistry[0].ClientCount, 1);
  EXPECT_EQ(Command("QUIT"), "221 Goodbye.");
  EXPECT_TRUE(WaitFor([] { return ServerRegistry[0].ClientCount == 0; }))
      << "a disconnection refreshes the client count";
}

TEST_F(FtpSharePolicyTest, WrongPasswordIsLoggedAndMayBeRetried) {
  StartShare(true, false, false, false);
  Command("USER ann");
  EXPECT_EQ(Command("PASS Secret"), "530 Login incorrect.");
  EXPECT_EQ(LastLog(), Decision(false, "User login - 127.0.0.1 (ann:Secret)"));
  Command("USER Ann");
  EXPECT_EQ(Command("PASS secret"), "530 Login incorrect.");
  Login("ann", "secret");
}

TEST_F(FtpSharePolicyTest, SharesThatNameNoFolderGrantNothing) {
  def_.Directories.push_back({"", "", true, true, true});
  def_.Directories.push_back({Drive("missing"), "", true, true, true});
  def_.DirectoryCount = 2;
  Start();
  Login("ann", "secret");
  EXPECT_EQ(Command("PWD"), "257 \"/C:/TEMP/\" is current directory.");
  EXPECT_EQ(Retrieve(Ftp("outside/secret.txt")), "500 Cannot RETR.");
  EXPECT_EQ(Command("CWD /"), kNoCwd);
  EXPECT_EQ(Command("MKD " + Ftp("missing")),
            "550 '" + Drive("missing") + "': can't create directory.");
  ExpectDiskUnchanged();
}

// ---------------------------------------------------------------------------
// Escapes

TEST_F(FtpSharePolicyTest, LetterCaseTwinIsAnotherFolder) {
  StartShare(true, true, true);
  EXPECT_EQ(Command("CWD " + Ftp("share")), kNoCwd);
  EXPECT_EQ(Command("CWD " + Ftp("SHARE")), kNoCwd) << "missing, and outside: not told apart";
  EXPECT_EQ(Retrieve(Ftp("share/twin.txt")), "500 Cannot RETR.");
  EXPECT_EQ(Store(Ftp("share/new.txt"), "x"), kDenied);
  EXPECT_EQ(Command("MKD " + Ftp("share/new")).substr(0, 4), "550 ");
  EXPECT_EQ(List("LIST " + Ftp("share") + "/*"), kNoList);
  ExpectDiskUnchanged();
}

TEST_F(FtpSharePolicyTest, DotDotLeadsNowhereOutside) {
  StartShare(true, true, true);
  EXPECT_EQ(Command("CWD " + Ftp("Share") + "/.."), kNoCwd);
  EXPECT_EQ(Command("CWD " + Ftp("Share/sub") + "/../../outside").substr(0, 15), "501 CWD failed.");
  EXPECT_EQ(Retrieve("../outside/secret.txt"), "500 Cannot RETR.");
  EXPECT_EQ(LastLog(), Decision(false, "Download " + Drive("Share") + "\\..\\outside\\secret.txt"))
      << "the path as the command produced it";
  EXPECT_EQ(Retrieve("sub/../../outside/secret.txt"), "500 Cannot RETR.");
  EXPECT_EQ(Store("../outside/new.txt", "x"), kDenied);
  EXPECT_EQ(Command("MKD ../newdir").substr(0, 4), "550 ");
  EXPECT_EQ(Command("RNFR ../outside/secret.txt"), "500 Cannot RNFR.");
  EXPECT_EQ(List("LIST ../outside/*"), kNoList);
  EXPECT_EQ(List("NLST sub/../../outside/*.*"), kNoList);
  EXPECT_EQ(List("LIST ../outside"), kNoList);
  EXPECT_EQ(Command("SIZE ../outside/secret.txt"), kDenied);
  EXPECT_EQ(Command("MDTM ../outside/secret.txt"),
            "550 '" + Drive("Share") + "\\..\\outside\\secret.txt': no such file or directory.");
  ExpectDiskUnchanged();
}

TEST_F(FtpSharePolicyTest, ListingsDoNotTellWhetherAPathOutsideExists) {
  // A name of nothing lists the current folder; when only the final listing was
  // judged, NLST of a missing outside file listed the share while an existing one
  // was refused, which told the client which files exist outside.
  StartShare(true, true, true);
  EXPECT_EQ(List("NLST " + Ftp("outside/secret.txt")), kNoList);
  EXPECT_EQ(List("NLST " + Ftp("outside/nothere.txt")), kNoList);
  EXPECT_EQ(List("LIST " + Ftp("nothere/x")), kNoList);
  EXPECT_NE(List("NLST nothere.txt").find("a.txt"), std::string::npos)
      << "a name of nothing inside the share still lists the current folder";
  // Refusals are lines; a listing allowed is not, as a client browses all the time.
  EXPECT_EQ(LastLog(), Decision(false, "List " + Drive("nothere\\x")));
  EXPECT_EQ(Command("SIZE " + Ftp("outside/secret.txt")), "501 Permission Denied");
  EXPECT_EQ(LastLog(), Decision(false, "Size of " + Drive("outside\\secret.txt")));
}

TEST_F(FtpSharePolicyTest, LinksInsideTheShareAreJudgedByWhereTheyLead) {
  StartShare(true, true, true);
  EXPECT_EQ(Retrieve("flink"), "500 Cannot RETR.");
  EXPECT_EQ(Retrieve("dlink/secret.txt"), "500 Cannot RETR.");
  EXPECT_EQ(Command("CWD dlink"), kNoCwd);
  EXPECT_EQ(List("LIST dlink/*.*"), kNoList);
  // A folder named bare lists its content, so the link itself must be judged too.
  EXPECT_EQ(List("LIST dlink"), kNoList);
  EXPECT_EQ(List("NLST dlink/"), kNoList);
  EXPECT_EQ(Command("SIZE flink"), kDenied);
  EXPECT_EQ(Command("SIZE fl*"), kDenied) << "a wildcard measures the link's target";
  EXPECT_EQ(Command("MDTM flink").substr(0, 4), "550 ");
  EXPECT_EQ(Store("dlink/new.txt", "x"), kDenied);
  EXPECT_EQ(Store("dangling", "x"), kDenied) << "opening it would create the file outside";
  EXPECT_EQ(Command("MKD dlink/newdir").substr(0, 4), "550 ");
  EXPECT_EQ(Command("RNFR flink"), "500 Cannot RNFR.");
  ExpectDiskUnchanged();
}

TEST_F(FtpSharePolicyTest, RenamesCannotCrossTheShareBoundary) {
  StartShare(true, true, true);
  EXPECT_EQ(Command("RNFR " + Ftp("outside/secret.txt")), "500 Cannot RNFR.");
  EXPECT_EQ(LastLog(), Decision(false, "Rename from " + Drive("outside/secret.txt")));
  EXPECT_NE(Command("RNTO stolen.txt").substr(0, 4), "250 ") << "no source was accepted";
  EXPECT_EQ(Command("RNFR a.txt"), "350 File exists, ready for destination name.");
  EXPECT_EQ(Command("RNTO ../outside/a.txt"), "500 Cannot RNTO.");
  EXPECT_EQ(LastLog(), Decision(false, "Rename to " + Drive("Share") + "\\..\\outside\\a.txt"));
  EXPECT_EQ(Command("RNTO dlink/a.txt"), "500 Cannot RNTO.");
  ExpectDiskUnchanged();
}

// A drop box (write without read) let anyone move what others dropped into a
// readable share and fetch it there; and CWD told a refused client which folders
// exist outside the shares.
TEST_F(FtpSharePolicyTest, DropBoxKeepsItsFilesAndOutsideFoldersStayUnknown) {
  def_.Directories.push_back({files_.Drive("Share"), "", false, true, true});
  def_.Directories.push_back({files_.Drive("Share2"), "", true, true, true});
  def_.DirectoryCount = 2;
  Start();
  Login("ann", "secret");
  EXPECT_EQ(Command("RNFR a.txt"), "350 File exists, ready for destination name.");
  EXPECT_EQ(Command("RNTO " + Ftp("Share2/a.txt")), "500 Cannot RNTO.");
  EXPECT_EQ(Command("RNTO dropped.txt").substr(0, 4), "250 ") << "within the drop box";
  EXPECT_EQ(Command("RNFR " + Ftp("Share2/x.txt")), "350 File exists, ready for destination name.");
  EXPECT_EQ(Command("RNTO " + Ftp("Share2/y.txt")).substr(0, 4), "250 ");
  for (const char* folder : {"outside", "no-such-folder"})
    EXPECT_EQ(Command("CWD " + Ftp(folder)), "501 CWD failed. No permission") << folder;
}

// A NUL byte ends the path for the kernel, so a check that reads past it would
// judge .../outside/secret.txt<NUL>/../../Share/a.txt as a file of the share.
TEST_F(FtpSharePolicyTest, NulInsideAPathIsRefused) {
  StartShare(true, true, true);
  EXPECT_EQ(Retrieve(Ftp("outside/secret.txt") + std::string(1, '\0') + "/../../Share/a.txt"),
            "500 Cannot RETR.");
  EXPECT_EQ(Store(Ftp("outside/nul.txt") + std::string(1, '\0') + "/../../Share/n.txt", "x"),
            kDenied);
  ExpectDiskUnchanged();
}

TEST_F(FtpSharePolicyTest, NothingIsReachableBeforeLogin) {
  StartShare(true, true, true, false);
  for (const std::string cmd : {"RETR a.txt", "STOR n.txt", "APPE a.txt", "STOU", "CWD sub",
                                "CDUP", "LIST", "NLST", "SIZE a.txt", "MDTM a.txt",
                                "RNFR a.txt", "RNTO b.txt", "MKD n", "DELE a.txt", "RMD sub"}) {
    SCOPED_TRACE(cmd);
    EXPECT_EQ(Command(cmd), "530 Please login with USER and PASS.");
  }
  Command("USER ann");
  EXPECT_EQ(Command("PASS wrong"), "530 Login incorrect.");
  EXPECT_EQ(Command("MDTM a.txt"), "530 Please login with USER and PASS.");

  // The handlers themselves refuse a session that is not logged in, whatever
  // lets them be called.
  TFtpServer& server = dynamic_cast<TFtpEngine&>(*ServerRegistry.back().Engine).Server();
  TFtpCtrlSocket stranger;
  std::string path = Drive("Share/a.txt");
  bool allowed = true;
  FtpValidateGet(server, stranger, path, allowed);
  EXPECT_FALSE(allowed);
  allowed = true;
  FtpChangeDirectory(server, stranger, Drive("Share") + "\\", allowed);
  EXPECT_FALSE(allowed);
  ExpectDiskUnchanged();
}

}  // namespace

TEST_F(FtpSharePolicyTest, InterruptedUploadIsLoggedAsIncomplete) {
  // A client killed mid-upload left its partial file under the final name, and
  // nothing told the owner it was not the whole file.
  StartShare(true, true, false);
  auto data = Passive();
  EXPECT_EQ(Command("STOR part.bin"), "150 Opening data connection for part.bin.");
  data->SendBytes("12345");
  ASSERT_TRUE(WaitFor([&] { return fs::exists(files_.Native("Share/part.bin")) &&
                                   fs::file_size(files_.Native("Share/part.bin")) == 5; }));
  data->Reset();
  EXPECT_EQ(Reply().substr(0, 26), "426 Connection closed; tra");
  EXPECT_EQ(LastLog(), "Upload incomplete: " + Drive("Share/part.bin") + " (5 bytes)");
  EXPECT_EQ(Store("whole.bin", "abc"), "226 File received ok");
  EXPECT_EQ(LastLog(), Decision(true, "Upload " + Drive("Share/whole.bin")));
}

TEST_F(FtpSharePolicyTest, UploadOverABusyFileIsOneRefusalAndTouchesNothing) {
  // Turned away because a download held the file, an upload was logged as allowed
  // and then as incomplete, though it had never begun.
  StartShare(true, true, false);
  THostFile download;
  ASSERT_TRUE(download.Open(Drive("Share/a.txt"), THostFile::hfmRead, TOpenOptions{true}));
  const std::size_t lines = ui_->activity.size();
  EXPECT_EQ(Store("a.txt", "overwritten"),
            "426 Connection closed; Cannot create file \"" + Drive("Share/a.txt") +
                "\". File is busy.");
  EXPECT_EQ(ui_->activity.size(), lines + 1);
  EXPECT_EQ(LastLog(), Decision(false, "Upload " + Drive("Share/a.txt") + " (file is busy)"));
  ExpectDiskUnchanged();
  download.Close();
  EXPECT_EQ(Store("a.txt", "overwritten"), "226 File received ok");
  EXPECT_EQ(LastLog(), Decision(true, "Upload " + Drive("Share/a.txt")));
}

TEST_F(FtpSharePolicyTest, LinkSwappedInAfterTheDecisionIsNotFollowed) {
  // Someone who may write in a share swapped a link in between the policy's
  // decision and the engine's open: downloads returned a file from outside the
  // share and uploads wrote outside it.
  files_.WriteFile("Share/swap.txt", "inside");
  files_.MakeFolder("Share/dir");
  StartShare(true, true, false);
  auto pasvPort = [&] {
    unsigned a, b, c, d, p1, p2;
    std::sscanf(Command("PASV").c_str(), "227 Entering Passive Mode (%u,%u,%u,%u,%u,%u).", &a,
                &b, &c, &d, &p1, &p2);
    return int(p1 * 256 + p2);
  };

  int port = pasvPort();
  EXPECT_EQ(Command("RETR swap.txt"), "150 Opening data connection for swap.txt.");
  fs::remove(files_.Native("Share/swap.txt"));
  files_.MakeLink("Share/swap.txt", files_.Native("outside/secret.txt"));
  RawConn download("127.0.0.1", port);
  EXPECT_EQ(download.ReadAll(), "");
  EXPECT_EQ(Reply().rfind("501 Cannot RETR. Cannot open file", 0), 0u);

  port = pasvPort();
  EXPECT_EQ(Command("STOR dir/new.txt"), "150 Opening data connection for dir/new.txt.");
  fs::remove(files_.Native("Share/dir"));
  files_.MakeLink("Share/dir", files_.Native("outside"));
  RawConn upload("127.0.0.1", port);
  upload.SendBytes("planted");
  upload.Close();
  EXPECT_EQ(Reply().rfind("426 Connection closed; Cannot create file", 0), 0u);
  EXPECT_FALSE(fs::exists(files_.Native("outside/new.txt")));
}

TEST_F(FtpSharePolicyTest, FolderSwappedForALinkBetweenRnfrAndRntoBringsNothingIn) {
  // RNFR judged dir/secret.txt inside the share; a folder swapped for a link to
  // outside before RNTO would move an outside file into the share. The rename acts
  // on the file RNFR found, wherever its folder was moved since.
  files_.MakeFolder("Share/dir");
  files_.WriteFile("Share/dir/secret.txt", "inside");
  // Write-only, so the rename is not refused as a way out of a drop box first.
  StartShare(false, true, false);
  EXPECT_EQ(Command("RNFR dir/secret.txt"), "350 File exists, ready for destination name.");
  fs::rename(files_.Native("Share/dir"), files_.Native("Share/olddir"));
  files_.MakeLink("Share/dir", files_.Native("outside"));
  EXPECT_EQ(Command("RNTO kept.txt").substr(0, 4), "250 ");
  EXPECT_EQ(ReadFile("../outside/secret.txt"), "secret");
  EXPECT_EQ(ReadFile("kept.txt"), "inside");
}

TEST_F(FtpSharePolicyTest, MissingSharedFolderIsToldAtStart) {
  def_.Directories.push_back({files_.Drive("gone"), "", true, false, false});
  StartShare(true, false, false);
  EXPECT_NE(std::find(ui_->activity.begin(), ui_->activity.end(),
                      "[9:07 PM] Shared folder not found: " + files_.Drive("gone")),
            ui_->activity.end());
}

TEST_F(FtpSharePolicyTest, CommandsReachTheirOwnRepliesInAShare) {
  // A path ending in "\" was judged by the folder above it, a shared folder named
  // without its final slash could not be listed, "-a" was taken for a name, and a
  // refused RNFR left the previous source for the next RNTO.
  StartShare(true, true, true);
  struct Row {
    std::string command;
    std::string reply;
  };
  const Row rows[] = {
      {"SIZE", "501 Syntax error in parameter."},
      {"RNFR", "501 Syntax error is parameter."},
      {"RNFR a.txt", "350 File exists, ready for destination name."},
      {"RNFR " + Ftp("outside/secret.txt"), "500 Cannot RNFR."},
      {"RNTO b.txt", "550 '': no such file or directory."},
      {"MFMT 20200102030405 a.txt", "213 Modify=20200102030405; a.txt"},
      {"MDTM a.txt", "213 20200102030405.000"},
      {"MFMT 20200102030405 " + Ftp("outside/secret.txt"),
       "550 '" + Drive("outside/secret.txt") + "': cannot set the time."},
      {"MFMT 2020 a.txt", "501 Syntax error in MFMT parameter."},
  };
  for (const Row& row : rows) EXPECT_EQ(Command(row.command), row.reply) << row.command;
  EXPECT_NE(List("LIST " + Ftp("Share")).find(" a.txt\r\n"), std::string::npos);
  EXPECT_NE(List("LIST -a sub").find(" deep\r\n"), std::string::npos);
  EXPECT_EQ(List("NLST -la"), List("NLST"));
}
