#include "catalogue/uServers.h"

#include <gtest/gtest.h>

#include <filesystem>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "catalogue/ServerUi.h"
#include "catalogue/uFileFormat.h"
#include "net/WSocket.h"
#include "platform/SocketError.h"
#include "tests/support/LoopbackEngine.h"
#include "tests/support/RecordingUi.h"
#include "tests/support/RegistryScope.h"
#include "tests/support/TempFolder.h"

namespace {

// Sun, Dec 06, 2026 at 2:05:09 PM
std::tm FixedTime() { return Dec06At(14, 5, 9); }

class RegistryTest : public ::testing::Test {
protected:
  void SetUp() override {
    for (int type : {kTypeFtp, kTypeWeb}) {
      RegisterEngineMaker(type, [this](int index, const TServerFile& def) {
        auto engine = std::make_unique<TLoopbackEngine>(def.Port);
        engines_.push_back(engine.get());
        return engine;
      });
    }
  }
  // A definition file of `type` on `port` (0: any free port), written as the program
  // writes them.
  std::string Define(const std::string& name, int type, int port = 0, bool tray = true) {
    return WriteDefinition(folder_.Native(name + ".server"), name, type, false, port, tray);
  }

  TTempFolder folder_;
  TRegistryScope registry_{FixedTime()};
  TRecordingUi* ui_ = &registry_.Ui();
  std::vector<TLoopbackEngine*> engines_;  // owned by their entries
};

TEST(LogFormat, LinesAndStartTimesReadAsTheUserSeesThem) {
  std::tm t = FixedTime();
  EXPECT_EQ(FormatStartTime(t), "Sun, Dec 06, 2026 at 2:05:09 PM");
  EXPECT_EQ(FormatLogLine(t, "x"), "[2:05 PM] x");
  t.tm_hour = 0;
  EXPECT_EQ(FormatLogLine(t, "midnight"), "[12:05 AM] midnight");
  t.tm_hour = 12;
  t.tm_min = 0;
  EXPECT_EQ(FormatLogLine(t, "noon"), "[12:00 PM] noon");
  t.tm_hour = 9;
  t.tm_wday = 6;
  t.tm_mon = 0;
  t.tm_mday = 31;
  EXPECT_EQ(FormatStartTime(t), "Sat, Jan 31, 2026 at 9:00:09 AM");
}

TEST_F(RegistryTest, StartStopAndStartAgainLeavesTwoEntries) {
  std::string path = Define("Music", kTypeFtp);
  ASSERT_TRUE(StartServer(path));
  EXPECT_EQ(RunningServerCount, 1);
  EXPECT_TRUE(ActiveOnDisk(path));
  EXPECT_EQ(ui_->activity.back(), "[2:05 PM] FTP Server Started on Sun, Dec 06, 2026 at 2:05:09 PM");
  EXPECT_EQ(ui_->mainTray.back(), 1);

  StopServer(path);
  EXPECT_EQ(RunningServerCount, 0);
  EXPECT_FALSE(ActiveOnDisk(path));
  EXPECT_EQ(ui_->activity.back(), "[2:05 PM] FTP Server Stopped on Sun, Dec 06, 2026 at 2:05:09 PM");
  EXPECT_TRUE(ServerRegistry[0].Log.empty());
  EXPECT_EQ(ui_->mainTray.back(), 0);

  ASSERT_TRUE(StartServer(path));
  ASSERT_EQ(ServerRegistry.size(), 2u);
  EXPECT_FALSE(ServerRegistry[0].Running);
  EXPECT_TRUE(ServerRegistry[1].Running);
  EXPECT_EQ(FindRunningServer(path), 1);
  EXPECT_TRUE(ui_->errors.empty());
}

TEST_F(RegistryTest, StartOnTakenPortShowsThreeLinesAndClearsActive) {
  THeldPort held;
  std::string path = Define("Photos", kTypeWeb, held.port);
  TServerFile def;
  ReadServerFile(path, def);
  def.Active = true;
  WriteServerFile(path, def);

  EXPECT_FALSE(StartServer(path));
  ASSERT_EQ(ui_->errors.size(), 1u);
  EXPECT_EQ(ui_->errors[0], "Could not start server on port " + std::to_string(held.port) +
                                "\r\nMake sure the port is not already used\r\n"
                                "by another server or application.");
  EXPECT_FALSE(ActiveOnDisk(path));
  EXPECT_EQ(RunningServerCount, 0);
  ASSERT_EQ(ServerRegistry.size(), 1u);
  EXPECT_FALSE(ServerRegistry[0].Running);
  EXPECT_EQ(ServerRegistry[0].Engine, nullptr);
  EXPECT_TRUE(ui_->trays.empty());
  EXPECT_TRUE(ui_->activity.empty());
}

// Listens through the real socket layer, so its failures are raised as the FTP and web
// engines raise them; `refused` stands in for a bind the system refuses to a user
// without rights, which a test running as root cannot provoke.
class TSocketEngine : public TServerEngine {
public:
  TSocketEngine(int port, bool refused) : port_(port), refused_(refused) {}
  void Start() override {
    if (refused_)
      throw ESocketException("Error " + std::to_string(sockerr::kAccess) + " in function Bind\r\n" +
                                 SocketErrorText(sockerr::kAccess),
                             sockerr::kAccess);
    socket_.SetAddr("127.0.0.1");
    socket_.SetPort(std::to_string(port_));
    socket_.SetProto("tcp");
    socket_.Listen();
  }
  void Stop() override { socket_.Close(); }
  int ClientCount() const override { return 0; }
  void DisconnectAllClients() override {}

private:
  int port_;
  bool refused_;
  TWSocket socket_;
};

TEST_F(RegistryTest, RefusedLowPortSaysWhyAndATakenPortKeepsTheThreeLines) {
  THeldPort held;
  struct Row {
    int port;
    bool refused;
    std::string secondAndThird;
  } rows[] = {
      {21, true, "Ports below 1024 need administrator rights on this system.\r\nChoose a port of 1024 or above."},
      {held.port, false, "Make sure the port is not already used\r\nby another server or application."},
      {70000, false, "Ports go from 1 to 65535 (0 lets the system pick one).\r\n"
                     "Edit the server and choose a port in that range."},
  };
  for (const Row& row : rows) {
    RegisterEngineMaker(kTypeFtp, [&row](int, const TServerFile& def) {
      return std::make_unique<TSocketEngine>(def.Port, row.refused);
    });
    std::string path = Define("Low" + std::to_string(row.port), kTypeFtp, row.port);
    TServerFile def;
    ReadServerFile(path, def);
    def.Active = true;
    WriteServerFile(path, def);
    ui_->errors.clear();

    EXPECT_FALSE(StartServer(path));
    ASSERT_EQ(ui_->errors.size(), 1u);
    EXPECT_EQ(ui_->errors[0], "Could not start server on port " + std::to_string(row.port) + "\r\n" +
                                  row.secondAndThird);
    EXPECT_FALSE(ActiveOnDisk(path)) << row.port;
    EXPECT_EQ(RunningServerCount, 0);
  }
}

TEST_F(RegistryTest, TypeWithoutEngineMakerFailsLikeATakenPort) {
  RegisterEngineMaker(kTypeFtp, nullptr);
  std::string path = Define("Orphan", kTypeFtp, 2121);
  EXPECT_FALSE(StartServer(path));
  ASSERT_EQ(ui_->errors.size(), 1u);
  EXPECT_EQ(ui_->errors[0].rfind("Could not start server on port 2121\r\n", 0), 0u);
  EXPECT_EQ(RunningServerCount, 0);
}

TEST_F(RegistryTest, MissingDefinitionIsReportedAndNothingIsAppended) {
  std::string path = folder_.Native("gone.server");
  EXPECT_FALSE(StartServer(path));
  ToggleServer(path);
  StopServer(path);
  ASSERT_FALSE(ui_->errors.empty());
  EXPECT_EQ(ui_->errors.back(), "Could not load server: " + path);
  EXPECT_TRUE(ServerRegistry.empty());
}

TEST_F(RegistryTest, VoktServerRunsWithoutEngineBehindAnEmptyCaption) {
  std::string path = Define("Vault", kTypeVokt);
  ASSERT_TRUE(StartServer(path));
  const auto& entry = ServerRegistry[0];
  EXPECT_TRUE(entry.Running);
  EXPECT_EQ(entry.Engine, nullptr);
  EXPECT_EQ(entry.TrayCaption, "Vault ()");
  EXPECT_EQ(ui_->lastHint, "Vault ()\r\nClients Connected: 0\r\n(Right-click for more options)");
  EXPECT_TRUE(ui_->activity.empty());
  EXPECT_TRUE(ActiveOnDisk(path));

  StopServer(path);
  EXPECT_TRUE(ui_->activity.empty());
  EXPECT_EQ(ui_->trays, (std::vector<std::string>{"create 0", "set 0 9", "remove 0"}));
}

TEST_F(RegistryTest, TrayShowsClientsAndStoppedEntryIsLeftAlone) {
  std::string path = Define("Share", kTypeWeb);
  ASSERT_TRUE(StartServer(path));
  EXPECT_EQ(ui_->trays, (std::vector<std::string>{"create 0", "set 0 6"}));
  engines_[0]->clients = 3;
  UpdateServerTray(0);
  EXPECT_EQ(ui_->trays.back(), "set 0 8");
  EXPECT_EQ(ui_->lastHint, "Share (Web Server)\r\nClients Connected: 3\r\n(Right-click for more options)");
  EXPECT_EQ(ServerRegistry[0].ClientCount, 3);

  StopServer(path);
  ui_->trays.clear();
  UpdateServerTray(0);  // a delayed refresh arriving after the stop
  UpdateServerTray(7);
  EXPECT_TRUE(ui_->trays.empty());
  EXPECT_EQ(ServerRegistry[0].ClientCount, 0);
}

TEST_F(RegistryTest, ServerWithoutTrayStillCountsClients) {
  std::string path = Define("Quiet", kTypeFtp, 0, false);
  ASSERT_TRUE(StartServer(path));
  engines_[0]->clients = 2;
  UpdateServerTray(0);
  EXPECT_EQ(ServerRegistry[0].ClientCount, 2);
  EXPECT_TRUE(ui_->trays.empty());
  StopServer(path);
  EXPECT_TRUE(ui_->trays.empty());
}

TEST_F(RegistryTest, LookupFoldsAsciiCaseAndPrefersTheLatestEntry) {
  std::string path = Define("Docs", kTypeVokt);
  ASSERT_TRUE(StartServer(path));
  std::string upper = path;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_EQ(FindRunningServer(upper), 0);
  EXPECT_EQ(FindRunningServer(path + " "), -1);

  ServerRegistry.emplace_back();  // a later running entry for the same file wins
  ServerRegistry.back().FileName = upper;
  ServerRegistry.back().Running = true;
  EXPECT_EQ(FindRunningServer(path), 1);
}

TEST_F(RegistryTest, ToggleStartsThenStops) {
  std::string path = Define("Flip", kTypeFtp);
  ToggleServer(path);
  EXPECT_EQ(RunningServerCount, 1);
  ToggleServer(path);
  EXPECT_EQ(RunningServerCount, 0);
  EXPECT_FALSE(ActiveOnDisk(path));
  StopServer(path);  // nothing runs: silent
  EXPECT_TRUE(ui_->errors.empty());
  EXPECT_EQ(RunningServerCount, 0);
}

TEST_F(RegistryTest, LogKeepsTheNewest1001AfterPassing2000) {
  std::string path = Define("Busy", kTypeVokt);
  ASSERT_TRUE(StartServer(path));
  for (int i = 1; i <= 2000; ++i) AddLogLine(0, std::to_string(i));
  ASSERT_EQ(ServerRegistry[0].Log.size(), 2000u);
  EXPECT_EQ(ServerRegistry[0].Log.front(), "[2:05 PM] 1");
  AddLogLine(0, "2001");
  ASSERT_EQ(ServerRegistry[0].Log.size(), 1001u);
  EXPECT_EQ(ServerRegistry[0].Log.front(), "[2:05 PM] 1001");
  EXPECT_EQ(ServerRegistry[0].Log.back(), "[2:05 PM] 2001");
  EXPECT_EQ(ui_->activity.size(), 2001u);
}

TEST_F(RegistryTest, DecisionsAndOpenLogWindowGetTheLine) {
  std::string path = Define("Policy", kTypeVokt);
  ASSERT_TRUE(StartServer(path));
  LogDecision(true, 0, "10.0.0.5", "C:\\Pub\\a.txt");
  ServerRegistry[0].LogWindowVisible = true;
  ServerRegistry[0].LogWindowCreated = true;
  LogDecision(false, 0, "10.0.0.5", "C:\\etc");
  // A line end from a client (a user name) would forge a line of its own.
  LogDecision(false, 0, "10.0.0.5", "x)\n[1:00 PM] (10.0.0.9) Allow: (admin");
  EXPECT_EQ(ui_->activity, (std::vector<std::string>{
                               "[2:05 PM] (10.0.0.5) Allow: C:\\Pub\\a.txt", "[2:05 PM] (10.0.0.5) Deny: C:\\etc",
                               "[2:05 PM] (10.0.0.5) Deny: x)\\x0A[1:00 PM] (10.0.0.9) Allow: (admin"}));
  EXPECT_EQ(ui_->logWindow.front(), "[2:05 PM] (10.0.0.5) Deny: C:\\etc");
  StopServer(path);
  EXPECT_FALSE(ServerRegistry[0].LogWindowVisible);
  EXPECT_NE(std::find(ui_->trays.begin(), ui_->trays.end(), "close log 0"), ui_->trays.end());
}

// A definition whose type was edited by hand while its server ran: the stop must still
// end the engine that listens, or the port stays taken with nothing left to stop it.
TEST_F(RegistryTest, StopEndsTheRunningEngineEvenIfTheFileChangedType) {
  std::string path = Define("Morph", kTypeFtp);
  ASSERT_TRUE(StartServer(path));
  TServerFile def;
  ReadServerFile(path, def);
  def.Type = kTypeWeb;
  def.Tray = false;
  WriteServerFile(path, def);

  StopServer(path);
  EXPECT_EQ(ServerRegistry[0].Engine, nullptr);
  EXPECT_EQ(ui_->activity.back(), "[2:05 PM] FTP Server Stopped on Sun, Dec 06, 2026 at 2:05:09 PM");
  EXPECT_EQ(ui_->trays.back(), "remove 0");
  EXPECT_EQ(RunningServerCount, 0);

  // A running server whose file was removed by hand still shared its folders, and
  // neither the grid nor its tray menu could stop it.
  ASSERT_TRUE(StartServer(path));
  std::filesystem::remove(path);
  ui_->errors.clear();
  ToggleServer(path);
  EXPECT_EQ(FindRunningServer(path), -1);
  EXPECT_EQ(ServerRegistry.back().Engine, nullptr);
  EXPECT_EQ(RunningServerCount, 0);
  EXPECT_TRUE(ui_->errors.empty()) << ui_->errors.front();
  EXPECT_FALSE(std::filesystem::exists(path)) << "a removed definition came back";
}

// Each start and stop wrote the whole definition back as it had been read: a value
// longer than 2047 bytes was saved cut, Files=65536 without sections grew the file
// to 2 MB of default entries, and Port=abc was saved as Port=0.
TEST_F(RegistryTest, StartAndStopRewriteOnlyTheActiveLine) {
  const std::string path = folder_.Native("hand.server");
  const std::string info = "Banner=" + std::string(3000, 'b') + "\nFiles=65536\nPort=abc\nTray=0\n";
  const std::string rest = "\n[Extra]\nkept = as is\n";
  auto put = [&](const std::string& text) { std::ofstream(path, std::ios::binary) << text; };
  auto contents = [&] {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
  };

  put("; by hand\n[Info]\nName=Big\nType=2\nActive=0\n" + info + rest);
  ASSERT_TRUE(StartServer(path));
  EXPECT_EQ(contents(), "; by hand\n[Info]\nName=Big\nType=2\nActive=1\n" + info + rest);
  StopServer(path);
  EXPECT_EQ(contents(), "; by hand\n[Info]\nName=Big\nType=2\nActive=0\n" + info + rest);

  // A failed start, on a file with no Active line: the key joins the end of [Info].
  RegisterEngineMaker(kTypeFtp, nullptr);
  put("[Info]\nType=0\n" + info + rest);
  EXPECT_FALSE(StartServer(path));
  EXPECT_EQ(contents(), "[Info]\nType=0\n" + info + "Active=0\n" + rest);
}

}  // namespace
