#include "web/WebShare.h"

#include <algorithm>
#include <chrono>
#include <string>

#include "catalogue/ServerUi.h"
#include "platform/Text.h"
#include "web/WebSharePage.h"
#include "web/WebShareRequest.h"

namespace {

constexpr std::string_view kAuthorizationPrefix = "authorization: basic";
constexpr std::chrono::seconds kFailedLoginPause{1};

// The entry of the server that raised an event; none when the Tag names no entry.
TServerSocket* EntryOf(const THttpServer& sender) {
  auto index = sender.Tag();
  if (index < 0 || std::size_t(index) >= ServerRegistry.size()) return nullptr;
  return &ServerRegistry[std::size_t(index)];
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
        TrimControls(std::string_view(line).substr(kAuthorizationPrefix.size()));
    client.SetAuthorized(BasicAuthDecoder.Decode(encoded) == expected);
  }
}

void SendUnavailable(THttpConnection& client, bool withBody) {
  client.SendAnswerText(UnavailableAnswer(client.RequestVersion()), withBody);
}

// The user name a Basic Authorization line gave (the password is not logged); empty
// when there is none.
std::string AuthorizationUser(const TClient& client) {
  for (const std::string& line : client.HeaderLines()) {
    if (!StartsWithText(line, kAuthorizationPrefix, false)) continue;
    const std::string decoded =
        BasicAuthDecoder.Decode(TrimControls(std::string_view(line).substr(kAuthorizationPrefix.size())));
    return decoded.substr(0, decoded.find(':'));
  }
  return {};
}

bool HasAuthorizationLine(const TClient& client) {
  return std::any_of(client.HeaderLines().begin(), client.HeaderLines().end(),
                     [](const std::string& line) {
                       return StartsWithText(line, "authorization:", false);
                     });
}

// The value of the request's first header line of that name ("range:"), trimmed;
// empty when there is none.
std::string HeaderValue(const THttpConnection& client, std::string_view nameWithColon) {
  for (const std::string& line : client.HeaderLines())
    if (StartsWithText(line, nameWithColon, false))
      return std::string(TrimControls(std::string_view(line).substr(nameWithColon.size())));
  return {};
}

void SendListingPage(int index, const TServerFile& def, THttpConnection& client,
                     THttpGetFlag& flags, bool withBody) {
  std::string page;
  try {
    page = BuildListingPage(def);
  } catch (const EShareFileError& e) {
    if (!e.Temporary()) {
      // One missing file takes the whole page with it; the owner learns which.
      AddLogLine(index, "(" + client.PeerAddr() + ") Page not sent: " + e.what());
      flags = hg404;
      return;
    }
    flags = hgWillSendMySelf;
    SendUnavailable(client, withBody);
    return;
  }
  flags = hgWillSendMySelf;
  // File names on Linux are UTF-8 bytes; without a character set browsers read the
  // page as windows-1252, show "Ã©" for "é" and follow links to names that do not exist.
  client.SendDocumentAnswer(std::make_unique<THttpMemoryStream>(std::move(page)),
                            "text/html; charset=utf-8", nullptr, withBody);
}

// A shared file: whole (200), one byte range of it (206), or no byte at all (416),
// as the request's Range and If-Range ask (RFC 9110 sections 13.1.5 and 14).
void SendSharedFileAnswer(THttpConnection& client, std::unique_ptr<THttpFileStream> stream,
                          const std::string& local, bool withBody) {
  THttpAnswerHead head;
  head.ContentType = MimeTypeOf(local);
  head.ContentLength = stream->Size();
  head.AcceptRanges = true;
  // The file that is sent, not whatever the name leads to by now.
  const std::int64_t modified = stream->ModTime();
  head.LastModified = modified;
  const std::string range = HeaderValue(client, "range:");
  const std::string ifRange = HeaderValue(client, "if-range:");
  // A range of a file that changed since the client's copy would splice two files.
  const bool rangeStands = ifRange.empty() ||
                           (head.LastModified && ifRange == HttpDate(modified) + " GMT");
  TByteRange part;
  const std::int64_t size = stream->Size();
  switch (range.empty() || !rangeStands ? TRangeAnswer::kWhole
                                        : ParseRange(range, size, part)) {
    case TRangeAnswer::kWhole:
      break;
    case TRangeAnswer::kPart:
      if (!stream->Restrict(part.First, part.Last - part.First + 1)) break;
      head.Status = 206;
      head.ContentLength = part.Last - part.First + 1;
      head.ContentRange = "bytes " + std::to_string(part.First) + "-" +
                          std::to_string(part.Last) + "/" + std::to_string(size);
      break;
    case TRangeAnswer::kUnsatisfiable:
      stream->Restrict(0, 0);
      head.Status = 416;
      head.ContentType.clear();
      head.ContentLength = 0;
      head.ContentRange = "bytes */" + std::to_string(size);
      break;
  }
  client.SendAnswer(head, std::move(stream), withBody);
}

// True when the path named a shared file (answered or refused through flags).
bool SendSharedFile(const TServerFile& def, TWebEngine* engine, THttpConnection& client,
                    THttpGetFlag& flags, bool withBody) {
  auto local = LocalPathOfRequest(client.Path());
  if (!local) return false;
  for (std::int32_t i = 0; i < def.FileCount && i < std::int32_t(def.Files.size()); ++i) {
    if (def.Files[i].Path != *local) continue;
    THostStatus status;
    auto stream = THttpFileStream::Open(
        engine ? engine->PlaceOfFile(std::size_t(i)) : THostPlace::Named(*local), &status);
    if (!stream) {
      if (status.Temporary()) {
        flags = hgWillSendMySelf;
        SendUnavailable(client, withBody);
      } else {
        flags = hg404;
      }
      return true;
    }
    flags = hgWillSendMySelf;
    SendSharedFileAnswer(client, std::move(stream), *local, withBody);
    return true;
  }
  return false;
}

// GET and HEAD alike: the same authorization and lookup, and the same status line
// and head; HEAD just leaves the body out.
void ServeDocument(THttpServer& sender, THttpConnection& connection, THttpGetFlag& flags,
                   bool withBody) {
  TServerSocket* entry = EntryOf(sender);
  if (!entry) return;
  const TServerFile& def = entry->Definition;
  auto& client = static_cast<TClient&>(connection);
  AddLogLine(int(sender.Tag()),
             "(" + client.PeerAddr() + ") " + (withBody ? "GET " : "HEAD ") + client.Path());

  // A connection opened before its address was blocked gets no further than a new
  // one would: it is closed unanswered.
  if (sender.Guard().Blocked(client.PeerAddr())) {
    flags = hgWillSendMySelf;
    client.CloseLater();
    return;
  }
  CheckAuthorization(def, client);
  if (!client.Authorized()) {
    flags = hgWillSendMySelf;
    // A browser's first try carries no credentials and is no guess; a wrong one
    // waits a second and counts against the address.
    if (!HasAuthorizationLine(client)) {
      SendUnauthorized(client, withBody);
      return;
    }
    LogDecision(false, int(sender.Tag()), client.PeerAddr(),
                "User login - " + client.PeerAddr() + " (" + AuthorizationUser(client) + ")");
    if (sender.Guard().NoteFailure(client.PeerAddr()))
      LogDecision(false, int(sender.Tag()), client.PeerAddr(), kMsgAddressBlocked);
    client.DelayAnswer(kFailedLoginPause,
                       [&client, withBody] { SendUnauthorized(client, withBody); });
    return;
  }
  if (client.Path() == "/") {
    SendListingPage(int(sender.Tag()), def, client, flags, withBody);
    return;
  }
  if (client.Path().find('%') != std::string::npos) {
    std::string decoded = DecodeRequestPath(client.Path());
    client.SetPath(decoded.substr(0, decoded.find('\0')));
  }
  // A ".." folder step leads nowhere, encoded or not; ".." inside a name ("v1..2.txt")
  // is just part of it, and its link on the page must work.
  if (!DocumentStaysInside(client.Path())) {
    flags = hg404;
    return;
  }
  SendSharedFile(def, dynamic_cast<TWebEngine*>(entry->Engine.get()), client, flags, withBody);
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
  ServeDocument(sender, connection, flags, true);
}

void WebHeadDocument(THttpServer& sender, THttpConnection& connection, THttpGetFlag& flags) {
  ServeDocument(sender, connection, flags, false);
}

void SendUnauthorized(THttpConnection& client, bool withBody) {
  client.SendAnswerText(UnauthorizedAnswer(client.RequestVersion(), client.Path()), withBody);
}

TWebEngine::TWebEngine(int index, const TServerFile& definition) {
  server_.SetTag(index);
  server_.SetPort(std::to_string(definition.Port));
  server_.SetClientClass<TClient>();
  server_.OnClientConnect = WebClientConnect;
  server_.OnClientDisconnect = WebClientDisconnect;
  server_.OnGetDocument = WebGetDocument;
  server_.OnHeadDocument = WebHeadDocument;
  for (std::int32_t i = 0; i < definition.FileCount && i < std::int32_t(definition.Files.size());
       ++i)
    files_.push_back(definition.Files[std::size_t(i)].Path);
  server_.OnLimit = WebLimit;
  server_.Limits = {definition.IdleTimeout, definition.MaxPerAddress};
  server_.RequireTls = definition.RequireTls;
}

void TWebEngine::Start() {
  server_.Start();
  tls_ = MakeServerTls(int(server_.Tag()), startNote_, tlsError_);
  server_.Tls = tls_.get();
  std::vector<std::string> folders;
  canonical_.clear();
  for (const std::string& path : files_) {
    THostFile file;
    if (!file.Open(path, THostFile::hfmRead))
      AddLogLine(int(server_.Tag()), "Shared file not found: " + path);
    std::string canonical;
    if (!HostFs::CanonicalPath(path, canonical)) canonical.clear();
    canonical_.push_back(canonical);
    folders.push_back(canonical.empty() ? canonical
                                        : HostFs::FromNative(canonical.substr(0, canonical.rfind('/') + 1)));
  }
  roots_ = THostRoots(folders);
}

THostPlace TWebEngine::PlaceOfFile(std::size_t i) {
  THostPlace place;
  if (i < canonical_.size() && !canonical_[i].empty() &&
      roots_.Locate(HostFs::FromNative(canonical_[i]), true, place) &&
      place.Native() == canonical_[i])
    return place;
  return THostPlace();
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
