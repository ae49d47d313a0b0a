// Costs of the event loop itself: posted notifications (in bulk and as a chain,
// the pattern of a transfer driven by OnDataSent), timers when thousands are
// pending, and pump() with many watched but idle descriptors. Prints nanoseconds
// per operation and the system calls the chain pattern makes per turn.
//
//   bench_EventLoopBench [scale]   (default 1; 0.1 for a quick look)

#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <vector>

#include "platform/EventLoop.h"

namespace {

using Clock = std::chrono::steady_clock;

double NsPer(Clock::time_point start, double count) {
  return std::chrono::duration<double, std::nano>(Clock::now() - start).count() / count;
}

long ContextSwitchesAndCalls() {
  rusage ru{};
  ::getrusage(RUSAGE_SELF, &ru);
  return ru.ru_nvcsw + ru.ru_nivcsw;
}

void Drain(EventLoop& loop) {
  while (loop.pump()) {
  }
}

void BulkPosts(EventLoop& loop, int total) {
  TEndpoint target;
  int ran = 0;
  auto start = Clock::now();
  for (int done = 0; done < total; done += 1000) {
    for (int i = 0; i < 1000; ++i) target.Post([&ran] { ++ran; });
    Drain(loop);
  }
  std::printf("posted, 1000 per turn   %8.1f ns per notification (%d run)\n", NsPer(start, total), ran);
}

// Each notification posts the next one, so every turn of the loop runs exactly one:
// what a single download costs per block besides its own send and read.
void ChainedPosts(EventLoop& loop, int total) {
  TEndpoint target;
  int left = total;
  std::function<void()> step = [&] {
    if (--left > 0) target.Post(step);
  };
  target.Post(step);
  auto start = Clock::now();
  while (left > 0) loop.pump();
  std::printf("posted, one per turn    %8.1f ns per turn\n", NsPer(start, total));
}

void Timers(EventLoop& loop, int total) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> delay(1000, 60000);
  std::vector<EventLoop::TimerId> ids;
  ids.reserve(static_cast<std::size_t>(total));
  auto start = Clock::now();
  for (int i = 0; i < total; ++i) ids.push_back(loop.AddTimer(std::chrono::milliseconds(delay(rng)), [] {}));
  std::printf("AddTimer, %6d pending  %8.1f ns per timer\n", total, NsPer(start, total));
  start = Clock::now();
  for (int i = 0; i < 1000; ++i) loop.pump();
  std::printf("pump() with them        %8.1f ns per pump\n", NsPer(start, 1000));
  start = Clock::now();
  for (std::size_t i = 0; i < ids.size(); i += 2) loop.CancelTimer(ids[i]);
  std::printf("CancelTimer             %8.1f ns per timer\n", NsPer(start, total / 2.0));
  start = Clock::now();
  for (std::size_t i = 1; i < ids.size(); i += 2) loop.CancelTimer(ids[i]);
  std::printf("CancelTimer, the rest   %8.1f ns per timer\n", NsPer(start, total / 2.0));

  int fired = 0;
  start = Clock::now();
  for (int i = 0; i < total; ++i) loop.AddTimer(std::chrono::milliseconds(0), [&fired] { ++fired; });
  loop.WaitFor([&] { return fired == total; }, std::chrono::seconds(30));
  std::printf("due timers fired        %8.1f ns per timer (add included, %d fired)\n", NsPer(start, total), fired);
}

void IdleDescriptors(EventLoop& loop, int pairs) {
  std::vector<FileHandle> ends;
  for (int i = 0; i < pairs; ++i) {
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv) != 0) {
      std::printf("socketpair failed after %d pairs\n", i);
      break;
    }
    ends.emplace_back(sv[0]);
    ends.emplace_back(sv[1]);
    loop.Watch(sv[0], EPOLLIN | EPOLLRDHUP, [](std::uint32_t) {});
  }
  Drain(loop);
  auto start = Clock::now();
  for (int i = 0; i < 10000; ++i) loop.pump();
  std::printf("pump(), %4d idle fds    %8.1f ns per pump\n", pairs, NsPer(start, 10000));

  // One descriptor stays readable: what every turn costs while others are idle.
  char c = 'x';
  [[maybe_unused]] auto w = ::write(ends[1].Get(), &c, 1);
  start = Clock::now();
  for (int i = 0; i < 10000; ++i) loop.pump();
  std::printf("pump(), one fd ready    %8.1f ns per pump\n", NsPer(start, 10000));

  start = Clock::now();
  for (std::size_t i = 0; i < ends.size(); i += 2) loop.Unwatch(ends[i].Get());
  for (std::size_t i = 0; i < ends.size(); i += 2) loop.Watch(ends[i].Get(), EPOLLIN, [](std::uint32_t) {});
  std::printf("Unwatch + Watch         %8.1f ns per descriptor\n", NsPer(start, pairs));
  for (std::size_t i = 0; i < ends.size(); i += 2) loop.Unwatch(ends[i].Get());
}

}  // namespace

int main(int argc, char** argv) {
  double scale = argc > 1 ? std::atof(argv[1]) : 1.0;
  auto n = [scale](int base) { return std::max(1000, static_cast<int>(base * scale)); };
  rlimit lim{};
  ::getrlimit(RLIMIT_NOFILE, &lim);
  lim.rlim_cur = lim.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &lim);

  auto& loop = EventLoop::Instance();
  long switches = ContextSwitchesAndCalls();
  BulkPosts(loop, n(1000000));
  ChainedPosts(loop, n(300000));
  Timers(loop, n(100000));
  IdleDescriptors(loop, 1000);
  std::printf("context switches        %ld\n", ContextSwitchesAndCalls() - switches);
  return 0;
}
