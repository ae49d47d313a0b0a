#include "app/Startup.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "app/Headless.h"
#include "app/prevcode.h"
#include "catalogue/ServerUi.h"
#include "catalogue/uFileFormat.h"
#include "catalogue/uServers.h"
#include "platform/EventLoop.h"
#include "platform/FileHandle.h"
#include "tests/support/LoopbackEngine.h"
#include "tests/support/RegistryScope.h"
#include "tests/support/TempFolder.h"

using namespace std::chrono_literals;

namespace {

// The headless front, writing into strings, with loopback engines for both served
// types.
class StartupTest : public ::testing::Test {
protected:
  void SetUp() override {
    previousUi_ = SetUi(std::make_unique<THeadlessUi>(out_, err_));
    ResetRegistry();
    for (int type : {kTypeFtp, kTypeWeb}) {
      RegisterEngineMaker(type, [this](int, const TServerFile& def) {
        auto engine = std::make_unique<TLoopbackEngine>(def.Port);
        engines_.push_back(engine.get());
        return engine;
      });
    }
    folder_.MakeFolder("Servers");
  }
  void TearDown() override {
    ResetRegistry();
    RegisterEngineMaker(kTypeFtp, nullptr);
    RegisterEngineMaker(kTypeWeb, nullptr);
    SetUi(std::move(previousUi_));
  }

  std::string Servers() const { return folder_.Native("Servers"); }
  std::string Define(const std::string& file, int type, bool active, int port = 0) {
    return WriteDefinition(Servers() + "/" + file, file, type, active, port);
  }

  TTempFolder folder_;
  std::ostringstream out_, err_;
  std::vector<TLoopbackEngine*> engines_;  // owned by their entries

private:
  std::unique_ptr<ServerUi> previousUi_;
};

TEST_F(StartupTest, ScanKeepsOnlyReadableDefinitionFiles) {
  std::string a = Define("a.server", kTypeVokt, false);
  std::string b = Define("B.SERVER", kTypeVokt, false);
  folder_.MakeFolder("Servers/folder.server");
  folder_.WriteFile("Servers/notes.txt", "[Info]\n");
  folder_.WriteFile("Servers/a.server.bak", "[Info]\n");
  folder_.MakeLink("Servers/dangling.server", folder_.Native("nowhere"));

  auto files = ScanServerFiles(Servers());
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{b, a}));
  EXPECT_TRUE(err_.str().empty()) << err_.str();
  EXPECT_TRUE(ScanServerFiles(folder_.Native("missing")).empty());
  // Headless, what was left out is said; the folder is not called empty.
  TStartup startup;
  EXPECT_EQ(StartupSummary(Servers(), startup),
            std::vector<std::string>{"Cannot read " + Servers() + "/dangling.server; it is left out"});
  // One started that nothing serves (no Type key) is said too.
  ASSERT_TRUE(StartServer(a));
  EXPECT_EQ(StartupSummary(Servers(), startup).back(),
            "Nothing serves a.server (Type=2; 0 is an FTP server, 1 a Web server)");
}

// In a folder others may write, a definition of theirs decided what was shared with
// this user's rights; and a folder named like a definition hid the "none found" line.
TEST_F(StartupTest, DefinitionsOfOtherUsersAndFoldersAreNoDefinitions) {
  folder_.MakeFolder("Servers/old.server");
  EXPECT_EQ(StartupSummary(Servers(), TStartup{}).front().rfind("No server definition found", 0), 0u);
  if (::geteuid() != 0) GTEST_SKIP() << "only root can make a file another user's";
  std::string planted = Define("planted.server", kTypeVokt, true);
  ASSERT_EQ(::chown(planted.c_str(), 65534, 65534), 0);
  TStartup startup = RunStartupSequence(Servers());
  EXPECT_TRUE(startup.ServerFiles.empty());
  EXPECT_EQ(StartupSummary(Servers(), startup),
            std::vector<std::string>{planted + " belongs to another user; it is left out"});
}

TEST_F(StartupTest, ListAndAutoStartFollowNamesWithoutRegardToCase) {
  // Made out of order; names made by the program are its creation times.
  std::vector<std::string> expected(5);
  expected[3] = Define("B.server", kTypeVokt, true);
  expected[1] = Define("26120611470507.server", kTypeVokt, true);
  expected[4] = Define("c.Server", kTypeVokt, true);
  expected[0] = Define("26120611470412.server", kTypeVokt, true);
  expected[2] = Define("a.SERVER", kTypeVokt, true);

  EXPECT_EQ(ScanServerFiles(Servers()), expected);
  auto startup = RunStartupSequence(Servers());
  EXPECT_EQ(startup.ServerFiles, expected);
  std::vector<std::string> started;
  for (const auto& entry : ServerRegistry) started.push_back(entry.FileName);
  EXPECT_EQ(started, expected);
}

TEST_F(StartupTest, NothingListedShowsTheWindowAndStartsNothing) {
  auto startup = RunStartupSequence(folder_.Native("missing"));
  EXPECT_TRUE(startup.ShowMainWindow);
  EXPECT_TRUE(startup.ServerFiles.empty());
  EXPECT_TRUE(ServerRegistry.empty());
}

TEST_F(StartupTest, OnlyActiveDefinitionsStartAndActivityGoesToStandardOutput) {
  std::string idle = Define("idle.server", kTypeFtp, false);
  std::string web = Define("web.server", kTypeWeb, true);
  auto startup = RunStartupSequence(Servers());
  EXPECT_FALSE(startup.ShowMainWindow);
  EXPECT_EQ(startup.ServerFiles.size(), 2u);
  EXPECT_EQ(RunningServerCount, 1);
  EXPECT_EQ(FindRunningServer(web), 0);
  EXPECT_EQ(FindRunningServer(idle), -1);
  EXPECT_FALSE(ActiveOnDisk(idle));

  std::string out = out_.str();
  EXPECT_EQ(out.find("] Web Server Started on "), out.find(']'));
  EXPECT_EQ(out.back(), '\n');
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1);
}

TEST_F(StartupTest, ActivityLinesCannotDriveTheTerminal) {
  // A client's bytes are logged as received; an escape sequence in a user name
  // reached the operator's terminal raw.
  THeadlessUi ui(out_, err_);
  ui.AddActivityLine("[9:07 PM] (10.0.0.5) Deny: User login - 10.0.0.5 (\x1b[2J\x7f:p\xc3\xa9)");
  EXPECT_EQ(out_.str(), "[9:07 PM] (10.0.0.5) Deny: User login - 10.0.0.5 (\\x1B[2J\\x7F:p\xc3\xa9)\n");
}

TEST_F(StartupTest, SecondDefinitionOnTheSamePortFailsAndIsClearedForNextTime) {
  int port = 0;
  {
    THeldPort probe;  // a port nobody uses, free again when the servers start
    port = probe.port;
  }
  Define("1.server", kTypeFtp, true, port);
  Define("2.server", kTypeFtp, true, port);
  auto files = ScanServerFiles(Servers());
  ASSERT_EQ(files.size(), 2u);
  RunStartupSequence(Servers());

  EXPECT_EQ(RunningServerCount, 1);
  EXPECT_GE(FindRunningServer(files[0]), 0) << "the first in scan order starts";
  EXPECT_EQ(FindRunningServer(files[1]), -1);
  EXPECT_TRUE(ActiveOnDisk(files[0]));
  EXPECT_FALSE(ActiveOnDisk(files[1]));
  EXPECT_EQ(err_.str(), "Could not start server on port " + std::to_string(port) +
                            "\nMake sure the port is not already used\n"
                            "by another server or application.\n");
}

TEST_F(StartupTest, GlitchTimerRefreshesEveryNamedEntryAfterHalfASecond) {
  std::string a = Define("a.server", kTypeWeb, true);
  std::string b = Define("b.server", kTypeWeb, true);
  RunStartupSequence(Servers());
  ASSERT_EQ(engines_.size(), 2u);
  engines_[0]->clients = 2;
  engines_[1]->clients = 5;

  auto begin = std::chrono::steady_clock::now();
  Ui().StartGlitchTimer(0);
  Ui().StartGlitchTimer(1);  // within the 500 ms: both, at the first one's time
  auto& loop = EventLoop::Instance();
  ASSERT_TRUE(loop.WaitFor([] { return ServerRegistry[1].ClientCount == 5; }, 3s));
  EXPECT_GE(std::chrono::steady_clock::now() - begin, 450ms);
  EXPECT_EQ(ServerRegistry[0].ClientCount, 2);
}

TEST_F(StartupTest, GlitchTimerForAStoppedServerTouchesNoEngine) {
  std::string a = Define("a.server", kTypeWeb, true);
  RunStartupSequence(Servers());
  Ui().StartGlitchTimer(0);
  StopServer(a);  // the engine is gone before the timer fires
  bool fired = false;
  EventLoop::Instance().AddTimer(600ms, [&] { fired = true; });
  ASSERT_TRUE(EventLoop::Instance().WaitFor([&] { return fired; }, 3s));
  EXPECT_EQ(ServerRegistry[0].ClientCount, 0);
}

TEST(InstanceGuard, SecondCheckFindsTheFirstAndAsksItToShow) {
  std::string name = "[Dravik Server test " + std::to_string(::getpid()) + "]";
  int shown = 0;
  OnShowRequest = [&] { ++shown; };
  EXPECT_FALSE(CheckPreviousInstance("Dravik Server version 1.0", name));
  EXPECT_TRUE(CheckPreviousInstance("Dravik Server version 1.0", name));
  EXPECT_TRUE(EventLoop::Instance().WaitFor([&] { return shown == 1; }, 3s));
  ReleaseInstanceGuard();
  EXPECT_FALSE(CheckPreviousInstance("Dravik Server version 1.0", name));
  ReleaseInstanceGuard();
  OnShowRequest = nullptr;
}

// A launch that found the lock held but got no answer ran beside the holder; its
// starts then failed on the holder's ports and cleared their active flags on disk.
TEST(InstanceGuard, HolderThatDoesNotAnswerIsNotJoined) {
  TTempFolder runtime;
  ::chmod(runtime.Native().c_str(), 0700);
  const char* before = std::getenv("XDG_RUNTIME_DIR");
  const std::string saved = before ? before : "";
  ::setenv("XDG_RUNTIME_DIR", runtime.Native().c_str(), 1);
  // Holds the lock file the way an instance does before it listens.
  FileHandle held(::open(runtime.Native("dravik-server-mute.lock").c_str(),
                         O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  ASSERT_EQ(::flock(held.Get(), LOCK_EX | LOCK_NB), 0);

  std::ostringstream err;
  auto* previous = std::cerr.rdbuf(err.rdbuf());
  const bool ended = CheckPreviousInstance("Dravik Server version 1.0", "[Dravik Server mute]");
  std::cerr.rdbuf(previous);
  ReleaseInstanceGuard();
  if (before) ::setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
  else ::unsetenv("XDG_RUNTIME_DIR");

  EXPECT_TRUE(ended);
  EXPECT_EQ(err.str(), "already running, but it did not answer the request to show its window\n");
}

}  // namespace
