#include "catalogue/uServers.h"

#include <cstdio>
#include <map>

#include "catalogue/ServerUi.h"
#include "net/WSocket.h"
#include "platform/EventLoop.h"
#include "platform/HostFs.h"
#include "platform/Process.h"
#include "platform/Profile.h"
#include "platform/SocketError.h"
#include "platform/Text.h"

std::deque<TServerSocket> ServerRegistry;
std::int32_t RunningServerCount = 0;

namespace {

std::map<int, TEngineMaker>& EngineMakers() {
  static std::map<int, TEngineMaker> makers;
  return makers;
}

TLocalClock& LocalClock() {
  static TLocalClock clock;
  return clock;
}

std::tm Now() {
  const auto& clock = LocalClock();
  return clock ? clock() : LocalTimeNow();
}

bool ValidIndex(int index) {
  return index >= 0 && static_cast<std::size_t>(index) < ServerRegistry.size();
}

// Only the two served types name themselves in the tray caption; a type-2 server
// shows an empty pair of parentheses there.
std::string TrayTypeText(int type) {
  return type == kTypeFtp || type == kTypeWeb ? ServerTypeName(type) : std::string();
}

bool ReadOrComplain(const std::string& fileName, TServerFile& definition) {
  if (ReadServerFile(fileName, definition)) return true;
  Ui().ShowError("Could not load server: " + fileName);
  return false;
}

// A refused low port, or one that cannot exist, is not a taken one: telling the user
// to look for another program on port 21 or 70000 sends them the wrong way.
std::string StartFailureText(int port, int socketError) {
  const std::string first = "Could not start server on port " + std::to_string(port);
  if (port < 0 || port > 65535)
    return first + "\r\nPorts go from 1 to 65535 (0 lets the system pick one).\r\n"
                   "Edit the server and choose a port in that range.";
  if (socketError == sockerr::kAccess)
    return first + "\r\nPorts below 1024 need administrator rights on this system.\r\n"
                   "Choose a port of 1024 or above.";
  return first + "\r\nMake sure the port is not already used\r\nby another server or application.";
}

// Makes and starts the engine of a served type; null when it cannot listen, with
// `socketError` the socket error it raised (0 for any other failure).
std::unique_ptr<TServerEngine> StartEngine(int index, const TServerFile& definition, int& socketError) {
  socketError = sockerr::kNone;
  auto it = EngineMakers().find(definition.Type);
  if (it == EngineMakers().end()) return nullptr;
  try {
    auto engine = it->second(index, definition);
    if (engine) engine->Start();
    return engine;
  } catch (const ESocketException& e) {
    socketError = e.Code();
    return nullptr;
  } catch (...) {
    // Whatever else the engine raised, the user sees the message about a taken port.
    return nullptr;
  }
}

// Only the flag is written: rewriting the whole definition from the copy just read
// would save it as read, with long values cut, counts without sections expanded into
// default entries and unreadable numbers as 0. A file removed meanwhile is written
// back whole from that copy.
void SaveActiveFlag(const std::string& fileName, const TServerFile& definition) {
  if (!WriteActiveFlag(fileName, definition.Active)) WriteServerFile(fileName, definition);
}

void StartFailed(const std::string& fileName, TServerFile definition, int socketError) {
  Ui().ShowError(StartFailureText(definition.Port, socketError));
  definition.Active = false;
  SaveActiveFlag(fileName, definition);
}

}  // namespace

void RegisterEngineMaker(int type, TEngineMaker maker) {
  if (maker)
    EngineMakers()[type] = std::move(maker);
  else
    EngineMakers().erase(type);
}

void SetLocalClock(TLocalClock clock) { LocalClock() = std::move(clock); }

std::string FormatLogLine(const std::tm& when, const std::string& text) {
  int hour = when.tm_hour % 12 == 0 ? 12 : when.tm_hour % 12;
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%d:%02d %s", hour, when.tm_min,
                when.tm_hour < 12 ? "AM" : "PM");
  return "[" + std::string(stamp) + "] " + text;
}

std::string FormatStartTime(const std::tm& when) {
  int hour = when.tm_hour % 12 == 0 ? 12 : when.tm_hour % 12;
  char text[64];
  std::snprintf(text, sizeof text, "%s, %s %02d, %04d at %d:%02d:%02d %s",
                kDayNames[(when.tm_wday % 7 + 7) % 7], kMonthNames[(when.tm_mon % 12 + 12) % 12],
                when.tm_mday, when.tm_year + 1900, hour, when.tm_min, when.tm_sec,
                when.tm_hour < 12 ? "AM" : "PM");
  return text;
}

int FindRunningServer(const std::string& fileName) {
  std::string wanted = AsciiLower(fileName);
  for (int i = static_cast<int>(ServerRegistry.size()) - 1; i >= 0; --i) {
    const auto& entry = ServerRegistry[i];
    if (entry.Running && AsciiLower(entry.FileName) == wanted) return i;
  }
  return -1;
}

bool StartServer(const std::string& fileName) {
  TServerFile definition;
  if (!ReadOrComplain(fileName, definition)) return false;

  const int n = static_cast<int>(ServerRegistry.size());
  ServerRegistry.emplace_back();
  ServerRegistry[n].FileName = fileName;
  ServerRegistry[n].Definition = definition;

  if (definition.Type == kTypeFtp || definition.Type == kTypeWeb) {
    int socketError = sockerr::kNone;
    auto engine = StartEngine(n, definition, socketError);
    if (!engine) {
      StartFailed(fileName, definition, socketError);
      return false;
    }
    const std::string note = engine->StartNote();
    if (definition.Port == 0) ServerRegistry[n].Definition.Port = engine->BoundPort();
    ServerRegistry[n].Engine = std::move(engine);
    AddLogLine(n, ServerTypeName(definition.Type) + " Started on " + FormatStartTime(Now()));
    if (!note.empty()) AddLogLine(n, note);
  }

  if (definition.Tray) {
    ServerRegistry[n].HasTrayIcon = true;
    ServerRegistry[n].TrayCaption = definition.Name + " (" + TrayTypeText(definition.Type) + ")";
    Ui().CreateServerTray(n);
    UpdateServerTray(n);
  }

  ++RunningServerCount;
  ServerRegistry[n].Running = true;
  definition.Active = true;

  // Handlers of other servers, and of this one, may run here; the entry is complete.
  EventLoop::Instance().pump();
  SaveActiveFlag(fileName, definition);
  EventLoop::Instance().pump();
  Ui().UpdateTrayIcon(RunningServerCount);
  return true;
}

void StopServer(const std::string& fileName) {
  TServerFile definition;
  const int i = FindRunningServer(fileName);
  // A running server whose file went (removed, renamed or made unreadable by hand)
  // still shares its folders, and no list shows it any more: it stops all the same,
  // from the copy taken at its start, and nothing is written in the file's place.
  TProfile probe;
  const bool fileGone = i >= 0 && probe.Load(fileName) != TProfile::TLoadResult::kLoaded;
  if (fileGone)
    definition = ServerRegistry[i].Definition;
  else if (!ReadOrComplain(fileName, definition))
    return;
  if (i < 0) return;

  // The entry's own engine is stopped, whatever type the file names now: a type
  // edited by hand while the server ran must not leave the old engine listening.
  if (auto engine = std::move(ServerRegistry[i].Engine)) {
    engine->Stop();
    engine.reset();
    AddLogLine(i, ServerTypeName(ServerRegistry[i].Definition.Type) + " Stopped on " +
                      FormatStartTime(Now()));
  }

  auto& entry = ServerRegistry[i];
  entry.Running = false;
  entry.Log.clear();
  if (entry.LogWindowVisible || entry.LogWindowCreated) Ui().CloseLogWindow(i);
  entry.LogWindowVisible = false;
  entry.LogWindowCreated = false;
  // Likewise the icon goes with the entry even if Tray was cleared by hand meanwhile.
  if (entry.HasTrayIcon) {
    entry.HasTrayIcon = false;
    Ui().RemoveServerTray(i);
  }
  entry.ClientCount = 0;

  definition.Active = false;
  --RunningServerCount;
  if (!fileGone) SaveActiveFlag(fileName, definition);
  Ui().UpdateTrayIcon(RunningServerCount);
}

void ToggleServer(const std::string& fileName) {
  if (FindRunningServer(fileName) >= 0) {
    StopServer(fileName);
    return;
  }
  TServerFile definition;
  if (ReadOrComplain(fileName, definition)) StartServer(fileName);
}

bool EntryOffersTls(int index) {
  if (index < 0 || static_cast<std::size_t>(index) >= ServerRegistry.size()) return false;
  const TServerSocket& entry = ServerRegistry[static_cast<std::size_t>(index)];
  return entry.Running && entry.Engine && entry.Engine->OffersTls();
}

void ShowListeningPort(const std::string& fileName, TServerFile& server) {
  if (server.Port != 0) return;
  if (const int i = FindRunningServer(fileName); i >= 0) server.Port = ServerRegistry[static_cast<std::size_t>(i)].Definition.Port;
}

std::unique_ptr<TTlsContext> MakeServerTls(int index, std::string& note, std::string& error) {
  std::string native = ServerRegistry[static_cast<std::size_t>(index)].FileName;
  std::string converted;
  if (HostFs::ToNative(native, converted)) native = converted;
  const std::size_t slash = native.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : native.substr(0, slash);
  const TTlsCertificate certificate = EnsureTlsCertificate(folder);
  error = certificate.error;
  std::unique_ptr<TTlsContext> context;
  if (certificate.Ok()) context = TTlsContext::Create(certificate, error);
  note = context ? "TLS certificate SHA-256 fingerprint: " + context->Fingerprint()
                 : error + " (no encryption until it is mended)";
  return context;
}

void AddLogLine(int index, const std::string& text) {
  // Names, paths and user names in a line come from clients: a line end among them
  // would forge a line of its own in the desktop's log.
  std::string line = FormatLogLine(Now(), EscapeControls(text));
  Ui().AddActivityLine(line);
  if (!ValidIndex(index)) return;
  auto& log = ServerRegistry[index].Log;
  log.push_back(line);
  if (log.size() > kLogMaxLines) log.erase(log.begin(), log.begin() + kLogTrimLines);
  if (ServerRegistry[index].LogWindowVisible) Ui().AppendLogLine(index, line);
}

void CompactLogs() {
  for (auto& entry : ServerRegistry) {
    std::deque<std::string> fresh;
    for (const std::string& line : entry.Log) fresh.emplace_back(line);  // a copy, not a move
    entry.Log.swap(fresh);
  }
}

void LogDecision(bool allowed, int index, const std::string& who, const std::string& what) {
  AddLogLine(index, "(" + who + ") " + (allowed ? "Allow: " : "Deny: ") + what);
}

void SetServerTrayImage(int index) {
  if (!ValidIndex(index) || !ServerRegistry[index].HasTrayIcon) return;
  const auto& entry = ServerRegistry[index];
  bool busy = entry.ClientCount > 0;
  int image = kImageIdle;
  if (entry.Definition.Type == kTypeFtp) image = busy ? kImageFtpBusy : kImageFtpIdle;
  if (entry.Definition.Type == kTypeWeb) image = busy ? kImageWebBusy : kImageWebIdle;
  std::string hint = entry.TrayCaption + "\r\nClients Connected: " +
                     std::to_string(entry.ClientCount) + "\r\n(Right-click for more options)";
  Ui().SetServerTray(index, image, hint);
}

void UpdateServerTray(int index) {
  if (!ValidIndex(index)) return;
  auto& entry = ServerRegistry[index];
  entry.ClientCount = entry.Engine ? entry.Engine->ClientCount() : 0;
  SetServerTrayImage(index);
}

void ResetRegistry() {
  ServerRegistry.clear();
  RunningServerCount = 0;
}
