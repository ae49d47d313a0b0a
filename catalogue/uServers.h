#pragma once
// The registry of started servers: one entry per start, holding a copy of the
// definition, the engine that serves it, its in-memory log and what the front shows
// of it. Entries are only appended; an entry's index is the server's number for every
// handler, tray icon and log window, so it never changes once given.

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "catalogue/uFileFormat.h"
#include "platform/Tls.h"

// One running protocol engine, owned by its registry entry.
class TServerEngine {
public:
  virtual ~TServerEngine() = default;
  virtual void Start() = 0;  // begins listening; throws std::exception on failure
  virtual void Stop() = 0;   // stops listening
  virtual int ClientCount() const = 0;
  virtual void DisconnectAllClients() = 0;  // the tray menu's "kick all"
  // The peer address of client `client` (0 .. ClientCount()-1), for the tray menu's
  // connection list; empty when the engine cannot tell.
  virtual std::string ClientAddress(int client) const { return {}; }
  // The port listened on, which differs from the definition's after Port=0; 0 when
  // not listening or the engine cannot tell.
  virtual int BoundPort() const { return 0; }
  // A line for the activity log right after the start's own (the certificate's
  // fingerprint); empty for none.
  virtual std::string StartNote() const { return {}; }
  // The server answers TLS (a certificate was loaded at its start).
  virtual bool OffersTls() const { return false; }
  // Why the certificate could not be loaded at its start; empty when it was.
  virtual std::string TlsError() const { return {}; }
};

// Makes a configured engine for entry `index` (Tag, Port, limits, banner, handlers).
// Returning null counts as a failure to start.
using TEngineMaker =
    std::function<std::unique_ptr<TServerEngine>(int index, const TServerFile& definition)>;
// type 0 FTP, 1 Web. A type with no maker cannot start (it fails like a taken port);
// type 2 never has an engine and starts without one. A null maker unregisters.
void RegisterEngineMaker(int type, TEngineMaker maker);

// Tray images of the main window's image list.
inline constexpr int kImageFtpIdle = 5;
inline constexpr int kImageWebIdle = 6;
inline constexpr int kImageFtpBusy = 7;
inline constexpr int kImageWebBusy = 8;
inline constexpr int kImageIdle = 9;     // nothing running; also a type-2 server's icon
inline constexpr int kImageRunning = 10;

inline constexpr std::size_t kLogMaxLines = 2000;
inline constexpr std::size_t kLogTrimLines = 1000;

struct TServerSocket {
  std::string FileName;     // names the server in every lookup
  std::string TrayCaption;  // Name + " (" + type text + ")", set when a tray icon is made
  TServerFile Definition;   // as read when the server was started
  std::unique_ptr<TServerEngine> Engine;  // none for type 2 and once stopped
  bool Running = false;
  bool HasTrayIcon = false;  // the front owns the icon itself
  std::deque<std::string> Log;  // oldest first
  bool LogWindowVisible = false;
  bool LogWindowCreated = false;
  std::int32_t ClientCount = 0;  // as counted at the last tray update
};

// A deque, so that appending never moves the entries a caller may still hold.
extern std::deque<TServerSocket> ServerRegistry;
extern std::int32_t RunningServerCount;

// The running entry for fileName (ASCII letters compared without case), searched from
// the last entry to the first; -1 when none runs.
int FindRunningServer(const std::string& fileName);

// True when the server runs afterwards. Failures are shown through the front; a
// definition that cannot be written throws EWriteError, as the callers' general error
// report expects.
bool StartServer(const std::string& fileName);
void StopServer(const std::string& fileName);
void ToggleServer(const std::string& fileName);

void AddLogLine(int index, const std::string& text);
// Entry `index` is running and its engine answers TLS (its links say ftpes:// or
// https://); false for any other index.
bool EntryOffersTls(int index);
// A definition with Port=0 listens where the system put it: while it runs, the copy
// the front shows or links to names that port; otherwise it is left as read.
void ShowListeningPort(const std::string& fileName, TServerFile& server);
// The TLS context for a start of entry `index`, from tls-cert.pem and tls-key.pem
// beside its definition (made at first need); null when they cannot be used. note:
// the activity line that says which certificate, or why there is no encryption;
// error: that reason alone, empty when a context is returned.
std::unique_ptr<TTlsContext> MakeServerTls(int index, std::string& note, std::string& error);
// Copies every server's log into fresh memory. Lines logged during a flood of
// connections lie among the flood's freed memory, about one to a page, and keep
// those pages from going back to the system; copied once it is over, they lie together.
void CompactLogs();
void LogDecision(bool allowed, int index, const std::string& who, const std::string& what);

void SetServerTrayImage(int index);
// Safe for any index: an entry that has stopped only records a count of 0.
void UpdateServerTray(int index);

// Local time as the log lines show it. Tests set a fixed clock; null restores the
// system's.
using TLocalClock = std::function<std::tm()>;
void SetLocalClock(TLocalClock clock);

// "[9:07 PM] text" and "Sun, Dec 06, 2026 at 2:05:09 PM".
std::string FormatLogLine(const std::tm& when, const std::string& text);
std::string FormatStartTime(const std::tm& when);

// Forgets every entry and destroys their engines without stopping them through
// StopServer, as the end of the program does: definitions keep their Active flags.
void ResetRegistry();
