#include "ftp/FtpShare.h"

#include <string>

#include "catalogue/Product.h"
#include "ftp/FtpSharePolicy.h"

void RegisterFtpEngine() {
  RegisterEngineMaker(0, [](int index, const TServerFile& definition) {
    auto server = std::make_unique<TFtpServer>();
    server->Tag = index;
    server->Port = std::to_string(definition.Port);
    server->MaxClients = definition.Multiple ? 100 : 1;
    server->Limits = {definition.IdleTimeout, definition.MaxPerAddress};
    server->Banner = std::string("220 Dravik Server FTP (") + kMakerAddress + ")";
    InstallFtpSharePolicy(*server);
    return std::unique_ptr<TServerEngine>(std::make_unique<TFtpEngine>(std::move(server)));
  });
}
