// Pushes a large stream through the socket layer over loopback: a server session
// sends, driven by OnDataSent, and a client socket reads. Prints throughput and the
// processor time the whole process spent per gigabyte.
//
//   bench_SocketBench [megabytes] [bytes per Send]

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "net/WSocketS.h"

namespace {

class TStreamer : public TWSocketClient {
public:
  static inline std::int64_t total = 0;
  static inline std::int32_t chunk = 65536;

  TStreamer() : block_(static_cast<std::size_t>(chunk), 'x') {
    OnDataSent = [this](TCustomWSocket&, std::uint16_t) { Next(); };
  }
  void Next() {
    if (sent_ >= total) {
      if (!finished_) {
        finished_ = true;
        Shutdown(1);
        CloseLater();
      }
      return;
    }
    auto n = static_cast<std::int32_t>(std::min<std::int64_t>(chunk, total - sent_));
    Send(block_.data(), n);
    sent_ += n;
  }

private:
  std::string block_;
  std::int64_t sent_ = 0;
  bool finished_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  std::int64_t megabytes = argc > 1 ? std::atoll(argv[1]) : 1024;
  TStreamer::chunk = argc > 2 ? std::atoi(argv[2]) : 65536;
  TStreamer::total = megabytes * 1024 * 1024;

  TWSocketServer server;
  server.SetBanner("");
  server.SetClientClass<TStreamer>();
  server.OnClientConnect = [](TCustomWSocketServer&, TWSocketClient& c, std::uint16_t) {
    static_cast<TStreamer&>(c).Next();
  };
  server.SetAddr("127.0.0.1");
  server.SetPort("0");
  server.Listen();

  TWSocket reader;
  std::int64_t received = 0;
  bool closed = false;
  std::vector<char> buf(256 * 1024);
  reader.OnDataAvailable = [&](TCustomWSocket& s, std::uint16_t) {
    int n = s.Receive(buf.data(), static_cast<std::int32_t>(buf.size()));
    if (n > 0) received += n;
  };
  reader.OnSessionClosed = [&](TCustomWSocket&, std::uint16_t) { closed = true; };
  reader.SetAddr("127.0.0.1");
  reader.SetPort(server.LocalBoundPort());

  auto wallStart = std::chrono::steady_clock::now();
  std::clock_t cpuStart = std::clock();
  reader.Connect();
  EventLoop::Instance().WaitFor([&] { return closed; }, std::chrono::minutes(10));
  double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
  double cpu = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;

  double mb = static_cast<double>(received) / (1024.0 * 1024.0);
  std::printf("bytes received   %lld of %lld%s\n", static_cast<long long>(received),
              static_cast<long long>(TStreamer::total), received == TStreamer::total ? "" : "  (INCOMPLETE)");
  std::printf("bytes per Send   %d\n", TStreamer::chunk);
  std::printf("wall time        %.3f s\n", wall);
  std::printf("throughput       %.1f MB/s\n", wall > 0 ? mb / wall : 0.0);
  std::printf("cpu per GB       %.3f s\n", mb > 0 ? cpu / (mb / 1024.0) : 0.0);
  return received == TStreamer::total ? 0 : 1;
}
