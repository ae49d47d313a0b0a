#include "platform/OutputPipe.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "platform/EventLoop.h"

using namespace std::chrono_literals;

namespace {

struct TOutputKind {
  const char* description;
  bool socket;
};

// An output nobody reads must neither hold the writer up nor fill its memory, and
// what it was given must come out whole and in order once it is read.
TEST(OutputPipe, UnreadOutputRefusesWithoutBlockingAndDrainsInOrder) {
  for (const TOutputKind kind : {TOutputKind{"pipe", false}, TOutputKind{"socket", true}}) {
    SCOPED_TRACE(kind.description);
    int ends[2];
    ASSERT_EQ(kind.socket ? ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends)
                          : ::pipe2(ends, O_CLOEXEC),
              0);
    FileHandle reader(ends[0]), writer(ends[1]);
    const int flagsBefore = ::fcntl(writer.Get(), F_GETFL);

    TOutputPipe out(writer.Get(), 8192);
    int drained = 0;
    out.OnDrained = [&] { ++drained; };
    const std::string line(100, 'x');
    std::string accepted;
    for (int i = 0; i < 100000 && out.Write(std::to_string(i) + line + "\n"); ++i)
      accepted += std::to_string(i) + line + "\n";
    EXPECT_LE(out.Pending(), 8192u);
    EXPECT_GT(out.Pending(), 8000u);
    EXPECT_EQ(::fcntl(writer.Get(), F_GETFL), flagsBefore) << "the shared flags changed";

    ::fcntl(reader.Get(), F_SETFL, O_NONBLOCK);
    std::string read;
    char buffer[65536];
    EXPECT_TRUE(EventLoop::Instance().WaitFor([&] {
      for (ssize_t n; (n = ::read(reader.Get(), buffer, sizeof buffer)) > 0;)
        read.append(buffer, static_cast<std::size_t>(n));
      return drained == 1 && read.size() == accepted.size();
    }, 5s));
    EXPECT_TRUE(read == accepted) << "output differs from what was accepted";
    // A drained output takes the next line as the loop's turn ends.
    EXPECT_TRUE(out.Write("after\n"));
    EXPECT_TRUE(EventLoop::Instance().WaitFor([&] { return out.Pending() == 0; }, 5s));
    EXPECT_EQ(::read(reader.Get(), buffer, sizeof buffer), 6);
  }
}

// At the end of the program a slow reader still gets every line, none of them cut.
TEST(OutputPipe, EndingWaitsBrieflyForASlowReader) {
  int ends[2];
  ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
  FileHandle reader(ends[0]), writer(ends[1]);
  std::string written;
  for (int i = 0; i < 10000; ++i) written += "line " + std::to_string(i) + " of the end\n";
  std::string read;
  std::thread slow([&] {
    std::this_thread::sleep_for(300ms);  // the pipe is full by now
    char buffer[4096];
    for (ssize_t n; (n = ::read(reader.Get(), buffer, sizeof buffer)) > 0;)
      read.append(buffer, static_cast<std::size_t>(n));
  });
  {
    TOutputPipe out(writer.Get(), written.size());
    EXPECT_TRUE(out.Write(written));
    out.Flush();
    EXPECT_GT(out.Pending(), 0u) << "the pipe took everything; nothing to wait for";
  }
  writer.Reset();
  slow.join();
  EXPECT_TRUE(read == written) << read.size() << " of " << written.size() << " bytes";
}

}  // namespace
