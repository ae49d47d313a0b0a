#include "web/WebShare.h"

#include <algorithm>
#include <chrono>
#include <string>

#include "catalogue/ServerUi.h"
#include "web/WebSharePage.h"

namespace {

constexpr std::string_view kAuthorizationPrefix = "authorization: basic";
constexpr std::chrono::seconds kFailedLoginPause{1};

// The entry of the server that raised an event; none when the Tag names no entry.
TServerSocket* EntryOf(const THttpServer& sender) {
  auto index = sender.Tag();
  if (index < 0 || std::size_t(index) >= ServerRegistry.size()) return nullptr;
  return &ServerRegistry[std::size_t(index)];
}

std::string_view TrimControl(std::string_view s) {
  while (!s.empty() && static_cast<unsigned char>(s.front()) <= ' ') s.remove_prefix(1);
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ') s.remove_suffix(1);
  return s;
}

void CheckAuthorization(const TServerFile& def, TClient& client) {
  if (def.Username.empty() && def.Password.empty()) {
    client.SetAuthorized(true);
    return;
  }
  const std::string expected = def.Username + ":" + def.Password;
  for (const std::string& line : client.HeaderLines()) {
    if (!StartsWithText(line, kAuthorizationPrefix, false)) continue;
    std::string_view encoded =
        TrimControl(std::string_view(line).substr(kAuthorizationPrefix.size()));
    client.SetAuthorized(BasicAuthDecoder.Decode(encoded) == expected);
  }
}

void SendUnavailable(THttpConnection& client) {
  client.DocumentStream =
      std::make_unique<THttpMemoryStream>(UnavailableAnswer(client.RequestVersion()));
  client.SendDocumentStream();
}

bool HasAuthorizationLine(const TClient& client) {
  return std::any_of(client.HeaderLines().begin(), client.HeaderLines().end(),
                     [](const std::string& line) {
                       return StartsWithText(line, "authorization:", false);
                     });
}

void SendListingPage(const TServerFile& def, THttpConnection& client, THttpGetFlag& flags) {
  std::string page;
  try {
    page = BuildListingPage(def);
  } catch (const EShareFileError& e) {
    if (!e.Temporary()) {
      flags = hg404;
      return;
    }
    flags = hgWillSendMySelf;
    SendUnavailable(client);
    return;
  }
  flags = hgWillSendMySelf;
  client.SendDocumentAnswer(std::make_unique<THttpMemoryStream>(std::move(page)), "text/html",
                            nullptr);
}

// True when the path named a shared file (answered or refused through flags).
bool SendSharedFile(const TServerFile& def, THttpConnection& client, THttpGetFlag& flags) {
  auto local = LocalPathOfRequest(client.Path());
  if (!local) return false;
  for (std::int32_t i = 0; i < def.FileCount && i < std::int32_t(def.Files.size()); ++i) {
    if (def.Files[i].Path != *local) continue;
    THostStatus status;
    auto stream = THttpFileStream::Open(*local, &status);
    if (!stream) {
      if (status.Temporary()) {
        flags = hgWillSendMySelf;
        SendUnavailable(client);
      } else {
        flags = hg404;
      }
      return true;
    }
    std::int64_t modified = 0;
    bool known = HostFs::FileModTime(*local, modified);
    flags = hgWillSendMySelf;
    client.SendDocumentAnswer(std::move(stream), MimeTypeOf(*local), known ? &modified : nullptr);
    return true;
  }
  return false;
}

}  // namespace

void WebClientConnect(THttpServer& sender, THttpConnection& client, std::uint16_t) {
  if (!EntryOf(sender)) return;
  const int index = int(sender.Tag());
  AddLogLine(index, "(" + client.PeerAddr() + ") Client connected");
  UpdateServerTray(index);
}

void WebClientDisconnect(THttpServer& sender, THttpConnection& client, std::uint16_t) {
  if (!EntryOf(sender)) return;
  const int index = int(sender.Tag());
  AddLogLine(index, "(" + client.PeerAddr() + ") Client disconnected");
  Ui().StartGlitchTimer(index);
}

void WebLimit(THttpServer& sender, THttpConnection& client, const std::string& text) {
  if (!EntryOf(sender)) return;
  AddLogLine(int(sender.Tag()), "(" + client.PeerAddr() + ") " + text);
}

void WebGetDocument(THttpServer& sender, THttpConnection& connection, THttpGetFlag& flags) {
  TServerSocket* entry = EntryOf(sender);
  if (!entry) return;
  const TServerFile& def = entry->Definition;
  auto& client = static_cast<TClient&>(connection);
  AddLogLine(int(sender.Tag()), "(" + client.PeerAddr() + ") GET " + client.Path());

  CheckAuthorization(def, client);
  if (!client.Authorized()) {
    flags = hgWillSendMySelf;
    // A browser's first try carries no credentials and is no guess; a wrong one
    // waits a second and counts against the address.
    if (!HasAuthorizationLine(client)) {
      SendUnauthorized(client);
      return;
    }
    if (sender.Guard().NoteFailure(client.PeerAddr()))
      LogDecision(false, int(sender.Tag()), client.PeerAddr(), kMsgAddressBlocked);
    client.DelayAnswer(kFailedLoginPause, [&client] { SendUnauthorized(client); });
    return;
  }
  if (client.Path() == "/") {
    SendListingPage(def, client, flags);
    return;
  }
  if (client.Path().find("..") != std::string::npos) {
    flags = hg404;
    return;
  }
  if (client.Path().find('%') != std::string::npos) {
    std::string decoded = DecodeRequestPath(client.Path());
    client.SetPath(decoded.substr(0, decoded.find('\0')));
  }
  SendSharedFile(def, client, flags);
}

void SendUnauthorized(THttpConnection& client) {
  client.DocumentStream = std::make_unique<THttpMemoryStream>(
      UnauthorizedAnswer(client.RequestVersion(), client.Path()));
  client.SendDocumentStream();
}

TWebEngine::TWebEngine(int index, const TServerFile& definition) {
  server_.SetTag(index);
  server_.SetPort(std::to_string(definition.Port));
  server_.SetClientClass<TClient>();
  server_.OnClientConnect = WebClientConnect;
  server_.OnClientDisconnect = WebClientDisconnect;
  server_.OnGetDocument = WebGetDocument;
  server_.OnLimit = WebLimit;
  server_.Limits = {definition.IdleTimeout, definition.MaxPerAddress};
}

void TWebEngine::DisconnectAllClients() {
  for (int i = server_.ClientCount() - 1; i >= 0; --i) {
    try {
      if (THttpConnection* c = server_.Client(i)) c->Abort();
    } catch (const std::exception&) {
      // freed with the server at the latest
    }
  }
}

void RegisterWebEngine() {
  RegisterEngineMaker(kTypeWeb, [](int index, const TServerFile& definition) {
    return std::make_unique<TWebEngine>(index, definition);
  });
}
