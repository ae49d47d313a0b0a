// Directory navigation and the file commands, as a client sees them.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <ctime>
#include <filesystem>
#include <fstream>

#include "FtpTestSupport.h"

namespace {

class FtpFilesTest : public FtpTest {
protected:
  void SetUp() override {
    FtpTest::SetUp();
    std::filesystem::create_directories(Native("sub/x"));
    Connect();
    Reply();
    Login("ann", "secret");
  }
  std::string CwdOk(const std::string& hostDir) {
    std::string slashes = hostDir;
    for (char& c : slashes)
      if (c == '\\') c = '/';
    return "250 CWD command successful. \"" + slashes + "\" is current directory.";
  }
};

TEST_F(FtpFilesTest, PwdAndCwdFormsAgree) {
  EXPECT_EQ(Command("PWD"), "257 \"" + FtpDir() + "\" is current directory.");
  EXPECT_EQ(Command("XPWD"), "257 \"" + FtpDir() + "\" is current directory.");
  EXPECT_EQ(Command("CWD sub"), CwdOk(HostDir() + "sub\\"));
  EXPECT_EQ(Command("PWD"), "257 \"" + FtpDir() + "sub/\" is current directory.");
  EXPECT_EQ(Command("CWD " + FtpDir() + "sub/x/"), CwdOk(HostDir() + "sub\\x\\"));
  EXPECT_EQ(Command("CDUP"), CwdOk(HostDir() + "sub\\"));
  EXPECT_EQ(Command("CWD " + HostDir() + "sub\\x"), CwdOk(HostDir() + "sub\\x\\"));
  EXPECT_EQ(Command("CWD ."), CwdOk(HostDir() + "sub\\x\\"));
  EXPECT_EQ(Command("CWD C:"), CwdOk(HostDir() + "sub\\x\\"));
  EXPECT_EQ(Command("CWD /C:/"), CwdOk("C:\\"));
  EXPECT_EQ(Command("CDUP"), CwdOk("C:\\")) << "the parent of the root is the root";
  // A quote in a folder's name is doubled, or it ends the name for the client.
  std::filesystem::create_directory(Native("q\"d"));
  EXPECT_EQ(Command("CWD " + FtpDir() + "q\"d"), CwdOk(HostDir() + "q\"d\\"));
  EXPECT_EQ(Command("PWD"), "257 \"" + FtpDir() + "q\"\"d/\" is current directory.");
}

TEST_F(FtpFilesTest, LeadingSlashDriveIsTheRootSoComponentWalksArrive) {
  // curl and lftp reach /C:/tmp/x/ by one CWD per component; "/C:" once left
  // them in the current directory, so every later component went astray.
  EXPECT_EQ(Command("CWD sub"), CwdOk(HostDir() + "sub\\"));
  EXPECT_EQ(Command("CWD /C:"), CwdOk("C:\\"));
  std::string walked = "C:\\";
  std::string rest = dir_.substr(1);
  for (std::size_t slash; (slash = rest.find('/')) != std::string::npos; rest.erase(0, slash + 1)) {
    walked += rest.substr(0, slash) + "\\";
    EXPECT_EQ(Command("CWD " + rest.substr(0, slash)), CwdOk(walked));
  }
  EXPECT_EQ(walked, HostDir());
}

TEST_F(FtpFilesTest, RefusedCwdFormsKeepTheDirectory) {
  const struct {
    const char* arg;
    const char* message;
  } rows[] = {
      {"../x", "Cannot accept relative path using dot notation"},
      {"./x", "Cannot accept relative path using dot notation"},
      {"D:x", "Cannot accept path not relative to current directory"},
      {"//server/share", "Cannot accept UNC path"},
      {"\\\\server\\share", "Cannot accept UNC path"},
      {"C:\\a:b", "Invalid directory name syntax"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.arg);
    EXPECT_EQ(Command(std::string("CWD ") + row.arg), std::string("501 CWD failed. ") + row.message);
    EXPECT_EQ(Command("PWD"), "257 \"" + FtpDir() + "\" is current directory.");
  }
}

TEST_F(FtpFilesTest, ChangeDirectoryHookSeesTheNewDirectoryAndMayRefuse) {
  std::vector<std::string> seen;
  server_->OnChangeDirectory = [&](TFtpServer&, TFtpCtrlSocket&, const std::string& dir,
                                   bool& allowed) {
    seen.push_back(dir);
    allowed = dir.find("\\x\\") == std::string::npos;
  };
  EXPECT_EQ(Command("CWD sub"), CwdOk(HostDir() + "sub\\"));
  EXPECT_EQ(Command("CWD x"), "501 CWD failed. No permission");
  EXPECT_EQ(Command("PWD"), "257 \"" + FtpDir() + "sub/\" is current directory.");
  // The current directory in host form changes nothing but is still asked about.
  EXPECT_EQ(Command("CWD " + HostDir() + "sub\\"), CwdOk(HostDir() + "sub\\"));
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[1], HostDir() + "sub\\x\\");
  EXPECT_EQ(seen[2], HostDir() + "sub\\");
}

TEST_F(FtpFilesTest, DeleteReplies) {
  WriteFile("a.txt", "x");
  std::string path = HostDir() + "a.txt";
  EXPECT_EQ(Command("DELE a.txt"), "250 File '" + path + "' deleted.");
  EXPECT_FALSE(Exists("a.txt"));
  EXPECT_EQ(Command("DELE a.txt"), "550 '" + path + "': no such file or directory.");
  EXPECT_EQ(Command("DELE sub"), "550 '" + HostDir() + "sub': no such file or directory.");
  EXPECT_EQ(Command("DELE D:file"), "501 No current dir for 'D:'");

  std::string hookPath;
  server_->OnValidateDele = [&](TFtpServer&, TFtpCtrlSocket&, std::string& p, bool& allowed) {
    hookPath = p;
    allowed = !p.empty() && p.back() != 'n';
  };
  EXPECT_EQ(Command("DELE"), "501 Syntax error in parameter.");
  EXPECT_EQ(hookPath, HostDir()) << "an empty argument names the current directory";
  WriteFile("frozen", "x");
  EXPECT_EQ(Command("DELE frozen"), "550 Cannot delete.");
  EXPECT_TRUE(Exists("frozen"));
}

TEST_F(FtpFilesTest, PathsLongerThan255BytesAreNotCut) {
  // Cutting the hooks' paths to 255 bytes like the parameters would make DELE
  // delete whatever file is named by the first 255 bytes of the path.
  const std::string name(250, 'n');
  const std::string prefix = name.substr(0, 255 - HostDir().size());
  WriteFile(name, "long");
  WriteFile(prefix, "prefix");
  std::string seen;
  server_->OnValidateDele = [&](TFtpServer&, TFtpCtrlSocket&, std::string& p, bool&) { seen = p; };
  EXPECT_EQ(Command("DELE " + name).substr(0, 10), "250 File '");
  EXPECT_EQ(seen, HostDir() + name);
  EXPECT_FALSE(Exists(name));
  EXPECT_TRUE(Exists(prefix));
}

TEST_F(FtpFilesTest, CwdIntoAMissingFolderIsRefusedAndKeepsTheDirectory) {
  // Answering 250 for a folder that is not there sent lftp, which walks a path one
  // CWD at a time, into nowhere, and its next upload went to the wrong place.
  bool hookFired = false;
  server_->OnChangeDirectory = [&](TFtpServer&, TFtpCtrlSocket&, const std::string&, bool&) { hookFired = true; };
  EXPECT_EQ(Command("CWD nothere"), "501 CWD failed. Directory not found");
  EXPECT_EQ(Command("CWD /D:/"), "501 CWD failed. Directory not found") << "only C: names anything";
  EXPECT_TRUE(hookFired) << "judged first, so a refusal tells nothing of the disk";
  EXPECT_EQ(Command("PWD"), "257 \"" + FtpDir() + "\" is current directory.");
  EXPECT_EQ(Command("CWD sub"), CwdOk(HostDir() + "sub\\"));
}

TEST_F(FtpFilesTest, RepliesNamingADeepFolderAreSentWhole) {
  // A PWD reply cut at 255 bytes lost its closing quote, so a client read a
  // different folder out of it.
  const std::string deep = std::string(120, 'a') + "/" + std::string(120, 'b');
  std::filesystem::create_directories(Native(deep));
  Command("CWD " + deep);
  EXPECT_EQ(Command("PWD"), "257 \"" + FtpDir() + deep + "/\" is current directory.");
}

TEST_F(FtpFilesTest, ValidationHookMayRedirectThePath) {
  WriteFile("real.txt", "12345");
  server_->OnValidateSize = [&](TFtpServer&, TFtpCtrlSocket&, std::string& p, bool&) {
    p = HostDir() + "real.txt";
  };
  EXPECT_EQ(Command("SIZE alias.txt"), "213 5");
}

TEST_F(FtpFilesTest, SizeReplies) {
  WriteFile("five", "12345");
  EXPECT_EQ(Command("SIZE five"), "213 5");
  EXPECT_EQ(Command("SIZE sub"), "550 Command failed: File not found.");
  EXPECT_EQ(Command("SIZE none"), "550 Command failed: File not found.");
  EXPECT_EQ(Command("SIZE"), "501 Syntax error in parameter.");
  server_->OnValidateSize = [](TFtpServer&, TFtpCtrlSocket&, std::string&, bool& allowed) {
    allowed = false;
  };
  EXPECT_EQ(Command("SIZE five"), "501 Permission Denied");
}

TEST_F(FtpFilesTest, SizeOfAFileBeyondFourGigabytesIsExact) {
  // Sizes are 64-bit: a 32-bit count would wrap here.
  {
    std::ofstream(Native("big"));
  }
  std::filesystem::resize_file(Native("big"), 5'000'000'123LL);  // sparse
  EXPECT_EQ(Command("SIZE big"), "213 5000000123");
}

TEST_F(FtpFilesTest, RenameReplies) {
  WriteFile("a", "1");
  WriteFile("b", "2");
  EXPECT_EQ(Command("RNFR"), "501 Syntax error is parameter.");
  EXPECT_EQ(Command("RNTO c"), "550 '': no such file or directory.") << "no RNFR yet";
  EXPECT_EQ(Command("RNFR sub"), "550 '" + HostDir() + "sub': no such file or directory.");
  EXPECT_EQ(Command("RNFR a"), "350 File exists, ready for destination name.");
  EXPECT_EQ(Command("RNTO b"), "553 '" + HostDir() + "b': file already exists.");
  EXPECT_EQ(Command("RNTO c"),
            "250 File '" + HostDir() + "a' renamed to '" + HostDir() + "c'.");
  EXPECT_EQ(ReadFile("c"), "1");
  EXPECT_EQ(Command("RNTO d"), "550 '" + HostDir() + "a': no such file or directory.");
  server_->OnValidateRnFr = [](TFtpServer&, TFtpCtrlSocket&, std::string&, bool& allowed) {
    allowed = false;
  };
  server_->OnValidateRnTo = server_->OnValidateRnFr;
  EXPECT_EQ(Command("RNFR c"), "500 Cannot RNFR.");
  EXPECT_EQ(Command("RNTO e"), "500 Cannot RNTO.");
}

TEST_F(FtpFilesTest, MakeAndRemoveDirectoryReplies) {
  std::string nd = HostDir() + "nd";
  EXPECT_EQ(Command("MKD nd"), "257 '" + nd + "': directory created.");
  EXPECT_TRUE(std::filesystem::is_directory(Native("nd")));
  EXPECT_EQ(Command("XMKD nd"), "550 '" + nd + "': can't create directory.");
  WriteFile("f", "");
  EXPECT_EQ(Command("MKD f"), "550 '" + HostDir() + "f': file or directory already exists.");
  EXPECT_EQ(Command("MKD"), "501 Syntax error in parameter.");
  EXPECT_EQ(Command("MKD D:x"), "550 'No current dir for 'D:'': can't create directory.");
  EXPECT_EQ(Command("RMD sub"), "550 '" + HostDir() + "sub': can't remove directory.")
      << "not empty";
  EXPECT_EQ(Command("XRMD nd"), "250 '" + nd + "': directory removed.");
  EXPECT_EQ(Command("RMD nd"), "550 '" + nd + "': no such directory.");
  EXPECT_EQ(Command("RMD"), "501 Syntax error in parameter.");

  server_->OnMakeDirectory = [](TFtpServer&, TFtpCtrlSocket&, const std::string&, bool& allowed) {
    allowed = false;
  };
  server_->OnValidateRmd = [](TFtpServer&, TFtpCtrlSocket&, std::string&, bool& allowed) {
    allowed = false;
  };
  EXPECT_EQ(Command("MKD no"), "550 '" + HostDir() + "no': can't create directory.");
  EXPECT_FALSE(Exists("no"));
  EXPECT_EQ(Command("RMD sub/x"), "500 Cannot remove directory.");
}

TEST_F(FtpFilesTest, MdtmGivesTheExactUtcSecondWhateverTheSeason) {
  // Two files of opposite daylight-saving seasons in a zone that has them; an
  // odd second must survive (the reply once lost it, and the season's hour).
  setenv("TZ", "Europe/Berlin", 1);
  tzset();
  WriteFile("winter", "");
  WriteFile("summer", "");
  utimbuf winter{1'072'915'201, 1'072'915'201};  // 2004-01-01 00:00:01 UTC
  utimbuf summer{1'088'640'123, 1'088'640'123};  // 2004-07-01 00:02:03 UTC
  ::utime(Native("winter").c_str(), &winter);
  ::utime(Native("summer").c_str(), &summer);
  EXPECT_EQ(Command("MDTM winter"), "213 20040101000001.000");
  EXPECT_EQ(Command("MDTM summer"), "213 20040701000203.000");
  EXPECT_EQ(Command("MDTM"), "501 Syntax error in MDTM parameter.");
  EXPECT_EQ(Command("MDTM sub"), "550 '" + HostDir() + "sub': no such file or directory.");
  unsetenv("TZ");
  tzset();
}

TEST_F(FtpFilesTest, SettingsCommands) {
  EXPECT_EQ(Command("TYPE a"), "200 Type set to a.");
  EXPECT_EQ(Command("TYPE I"), "200 Type set to I.");
  EXPECT_EQ(Command("TYPE a n"), "200 Type set to a n.");
  EXPECT_EQ(Command("TYPE E"), "500 'TYPE E': command not understood.");
  EXPECT_EQ(Command("MODE"), "501 Missing argument for MODE");
  EXPECT_EQ(Command("MODE s"), "200 MODE Ok");
  EXPECT_EQ(Command("MODE B"), "502 MODE other than S not supported");
  EXPECT_EQ(Command("SYST"), "215 UNIX Type: L8 Ornavel");
  // Everything the server does is listed, between the original lines.
  EXPECT_EQ(Command("FEAT"), "211-Extensions supported:\n  SIZE\n  MDTM\n  REST STREAM\n  TVFS\n  EPSV\n  EPRT\n"
            "  MLST type*;size*;modify*;perm*;\n  MFMT\n  UTF8\n211 END");
}

TEST_F(FtpFilesTest, BuildFilePathHookResultIsUsed) {
  WriteFile("target", "abc");
  server_->OnBuildFilePath = [&](TFtpServer&, TFtpCtrlSocket&, const std::string& dir,
                                 const std::string& name, std::string& result) {
    if (name == "alias") result = dir + "target";
  };
  EXPECT_EQ(Command("SIZE alias"), "213 3");
}

}  // namespace
