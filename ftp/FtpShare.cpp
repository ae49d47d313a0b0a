#include "ftp/FtpShare.h"

#include <string>

#include "catalogue/Product.h"
#include "ftp/FtpSharePolicy.h"
#include "platform/HostFs.h"

void RegisterFtpEngine() {
  RegisterEngineMaker(0, [](int index, const TServerFile& definition) {
    auto server = std::make_unique<TFtpServer>();
    server->Tag = index;
    server->Port = std::to_string(definition.Port);
    server->MaxClients = definition.Multiple ? 100 : 1;
    server->Limits = {definition.IdleTimeout, definition.MaxPerAddress};
    server->RequireTls = definition.RequireTls;
    server->Banner = std::string("220 Dravik Server FTP (") + kMakerAddress + ")";
    InstallFtpSharePolicy(*server);
    std::vector<std::string> folders;
    for (std::int32_t i = 0; i < definition.DirectoryCount &&
                             i < static_cast<std::int32_t>(definition.Directories.size());
         ++i)
      folders.push_back(definition.Directories[static_cast<std::size_t>(i)].Path);
    return std::unique_ptr<TServerEngine>(
        std::make_unique<TFtpEngine>(std::move(server), std::move(folders)));
  });
}

void TFtpEngine::Start() {
  server_->ShareRoots = THostRoots(folders_);
  server_->Start();
  tls_ = MakeServerTls(server_->Tag, startNote_, tlsError_);
  server_->Tls = tls_.get();
  for (const std::string& folder : folders_)
    if (!HostFs::DirectoryExists(folder))
      AddLogLine(server_->Tag, "Shared folder not found: " + folder);
}
