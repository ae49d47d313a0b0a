#include "app/Engines.h"

#include "catalogue/uServers.h"
#include "ftp/FtpShare.h"
#include "web/WebShare.h"

// The FTP (type 0) and web (type 1) engines register their makers here with
// RegisterEngineMaker as they are built. Until a type has one, its definitions fail to
// start with the port message, like any engine that cannot listen.
void RegisterEngines() {
  RegisterFtpEngine();
  RegisterWebEngine();
}
