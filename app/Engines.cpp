#include "app/Engines.h"

#include <memory>

#include "catalogue/uServers.h"
#include "ftp/FtpShare.h"
#include "net/ConnectionTally.h"
#include "platform/EventLoop.h"
#include "platform/HeapTrim.h"
#include "web/WebShare.h"

// The FTP (type 0) and web (type 1) engines register their makers here with
// RegisterEngineMaker as they are built. Until a type has one, its definitions fail to
// start with the port message, like any engine that cannot listen.
void RegisterEngines() {
  RegisterFtpEngine();
  RegisterWebEngine();
  // On a later turn: the count falls while a connection is being freed. The logs are
  // copied first, or their lines from the flood would keep its pages.
  static const auto kAlways = std::make_shared<bool>(true);
  TConnectionTally::Instance().SetRelease([] {
    EventLoop::Instance().Post(kAlways, [] {
      CompactLogs();
      ReleaseFreeHeapMemory();
    });
  });
}
