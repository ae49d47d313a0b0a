#pragma once
// TFtpServer: the FTP protocol engine behind every FTP server definition. It owns
// the listening socket and one TFtpCtrlSocket per client, reads command lines,
// runs the built-in commands and asks its owner through the hooks below. The
// owner (the registry) sets Port, MaxClients, Banner and the hooks, then calls
// Start. Everything runs on the event loop's thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ftp/FtpSrvC.h"
#include "ftp/FtpSrvParse.h"
#include "ftp/FtpSrvReplies.h"
#include "ftp/FtpSrvT.h"
#include "ftp/PasvPortTable.h"
#include "net/ClientLimits.h"
#include "net/WSocket.h"
#include "platform/EventLoop.h"

class TFtpServer;

// Hook types. Sender is always the server, Client the session; a decision argument
// arrives holding its default and is read back after the call.
using TFtpSrvNotifyEvent = std::function<void(TFtpServer& sender)>;
using TFtpSrvClientConnectEvent =
    std::function<void(TFtpServer& sender, TFtpCtrlSocket& client, int error)>;
using TFtpSrvClientCommandEvent = std::function<void(TFtpServer& sender, TFtpCtrlSocket& client,
                                                     std::string& keyword, std::string& params,
                                                     std::string& answer)>;
using TFtpSrvAnswerToClientEvent =
    std::function<void(TFtpServer& sender, TFtpCtrlSocket& client, std::string& answer)>;
using TFtpSrvAuthenticateEvent =
    std::function<void(TFtpServer& sender, TFtpCtrlSocket& client, const std::string& userName,
                       const std::string& password, bool& authenticated)>;
using TFtpSrvChangeDirectoryEvent = std::function<void(
    TFtpServer& sender, TFtpCtrlSocket& client, const std::string& directory, bool& allowed)>;
using TFtpSrvValidateXferEvent = std::function<void(TFtpServer& sender, TFtpCtrlSocket& client,
                                                    std::string& filePath, bool& allowed)>;
using TFtpSrvBuildFilePathEvent =
    std::function<void(TFtpServer& sender, TFtpCtrlSocket& client, const std::string& directory,
                       const std::string& fileName, std::string& newFileName)>;
using TFtpSrvBuildDirectoryEvent = std::function<void(
    TFtpServer& sender, TFtpCtrlSocket& client, std::string& directory, bool detailed)>;
using TFtpSrvDataSessionConnectedEvent =
    std::function<void(TFtpServer& sender, TFtpCtrlSocket& client, TWSocket& data, int error)>;
using TFtpSrvDataAvailableEvent =
    std::function<void(TFtpServer& sender, TFtpCtrlSocket& client, TWSocket& data,
                       const char* buf, int len, int error)>;
using TFtpSrvRetrDataSentEvent =
    std::function<void(TFtpServer& sender, TFtpCtrlSocket& client, TWSocket& data, int error)>;
using TFtpSrvGetUniqueFileNameEvent =
    std::function<void(TFtpServer& sender, TFtpCtrlSocket& client, std::string& fileName)>;
// What the session may do in folder (drive form, ending in "\"); asked once per
// MLSD or MLST, and free of side effects (nothing is logged).
using TFtpSrvFolderRightsEvent = std::function<void(
    TFtpServer& sender, TFtpCtrlSocket& client, const std::string& folder, TFtpFolderRights& rights)>;
// A time limit, block or refusal hit a client; text is what the owner's log says
// of it, without the client's address.
using TFtpSrvLimitEvent = std::function<void(TFtpServer& sender, TFtpCtrlSocket& client,
                                             const std::string& text)>;
// An allowed upload's file is open: the upload goes ahead. Fired only for a file the
// engine opens itself, not for a stream an OnStorSessionConnected handler set.
using TFtpSrvStorFileEvent = std::function<void(TFtpServer& sender, TFtpCtrlSocket& client)>;
using TFtpSrvGetProcessingEvent =
    std::function<void(TFtpServer& sender, TFtpCtrlSocket& client, bool& delayedSend)>;

class TFtpServer {
public:
  // A command handler sets answer; keyword and params arrive as parsed.
  using TCommandProc = void (TFtpServer::*)(TFtpCtrlSocket& client, std::string& keyword,
                                            std::string& params, std::string& answer);
  static constexpr std::size_t kCommandTableSize = 43;

  TFtpServer();
  ~TFtpServer();
  TFtpServer(const TFtpServer&) = delete;
  TFtpServer& operator=(const TFtpServer&) = delete;

  // Properties, read when Start runs (Pasv* when PASV runs).
  std::string Addr = "0.0.0.0";
  std::string Port = "ftp";
  std::string Banner = kDefaultBanner;
  int MaxClients = 0;  // 0 or less: no limit
  int UserData = 0;
  int Tag = 0;         // the registry's entry index
  std::string PasvIpAddr;  // announced by PASV to clients that are not on loopback
  TLimitSettings Limits;    // read as sessions come and go
  // The shared folders, opened at start: the owner's checks locate every path a
  // session acts on beneath them. None where no owner judges paths.
  THostRoots ShareRoots;
  // Offers AUTH TLS when set (the owner keeps it alive while the server runs);
  // RequireTls refuses USER on a connection still in clear.
  TTlsContext* Tls = nullptr;
  bool RequireTls = false;
  // Failed logins per address, shared by every session of this server.
  TAddressGuard& Guard() { return guard_; }

  int PasvPortRangeStart() const { return pasvPorts_.Start(); }
  int PasvPortRangeSize() const { return pasvPorts_.Size(); }
  // Throw FtpServerException for values outside 0..65535 or ports in use.
  void SetPasvPortRangeStart(int start) { pasvPorts_.SetStart(start); }
  void SetPasvPortRangeSize(int size) { pasvPorts_.SetSize(size); }

  // Begins listening; throws when the port cannot be had. Nothing when listening.
  void Start();
  // Stops listening; sessions stay.
  void Stop();
  bool Listening() const;
  // The port actually bound (useful after Port "0").
  int BoundPort() const;
  void DisconnectAllClients();
  int ClientCount() const { return static_cast<int>(clients_.size()); }
  TFtpCtrlSocket* Client(int index) const;

  // Throws FtpServerException "Too many command" past kCommandTableSize entries.
  void RegisterCommand(const std::string& keyword, TCommandProc proc, bool needsLogin = true);

  // The reply path: OnAnswerToClient, then the text and CR LF. Failures are
  // swallowed; the reply is then lost.
  void SendAnswer(TFtpCtrlSocket& client, std::string answer);
  // Starts a RETR whose OnGetProcessing handler asked to delay it.
  void StartSendingFile(TFtpCtrlSocket& client);

  // Hooks; unset ones are skipped.
  TFtpSrvNotifyEvent OnStart;
  TFtpSrvNotifyEvent OnStop;
  TFtpSrvClientConnectEvent OnClientConnect;     // before the limit check and greeting
  TFtpSrvClientConnectEvent OnClientDisconnect;  // client already out of the list
  TFtpSrvClientCommandEvent OnClientCommand;     // a non-empty answer replaces the command
  TFtpSrvAnswerToClientEvent OnAnswerToClient;
  TFtpSrvAuthenticateEvent OnAuthenticate;       // may set client.StartDirectory
  TFtpSrvChangeDirectoryEvent OnChangeDirectory;  // CWD, CDUP
  TFtpSrvChangeDirectoryEvent OnMakeDirectory;    // MKD, XMKD
  TFtpSrvValidateXferEvent OnValidatePut;   // STOR, APPE, STOU
  TFtpSrvValidateXferEvent OnValidateGet;   // RETR
  TFtpSrvValidateXferEvent OnValidateDele;  // DELE
  TFtpSrvValidateXferEvent OnValidateRmd;   // RMD, XRMD
  TFtpSrvValidateXferEvent OnValidateRnFr;  // RNFR
  TFtpSrvValidateXferEvent OnValidateRnTo;  // RNTO
  TFtpSrvValidateXferEvent OnValidateSize;  // SIZE
  TFtpSrvValidateXferEvent OnValidateMdtm;  // MDTM; refused answers as a missing file
  TFtpSrvValidateXferEvent OnValidateMfmt;  // MFMT: setting a file's time
  // LIST, NLST: filePath is the pattern to be listed (C:\Share\sub\*.*); refused
  // answers "451 Failed: No permission.".
  TFtpSrvValidateXferEvent OnValidateList;
  TFtpSrvFolderRightsEvent OnFolderRights;  // the perm facts of MLSD and MLST
  TFtpSrvBuildFilePathEvent OnBuildFilePath;
  TFtpSrvBuildDirectoryEvent OnBuildDirectory;  // may supply client.TransferStream
  TFtpSrvBuildDirectoryEvent OnAlterDirectory;  // may change the built listing
  TFtpSrvDataSessionConnectedEvent OnStorSessionConnected;
  TFtpSrvDataSessionConnectedEvent OnStorSessionClosed;
  TFtpSrvStorFileEvent OnStorFileOpened;
  TFtpSrvDataSessionConnectedEvent OnRetrSessionConnected;  // RETR, LIST, NLST
  TFtpSrvDataSessionConnectedEvent OnRetrSessionClosed;
  TFtpSrvDataAvailableEvent OnStorDataAvailable;
  TFtpSrvRetrDataSentEvent OnRetrDataSent;
  TFtpSrvGetUniqueFileNameEvent OnGetUniqueFileName;
  TFtpSrvGetProcessingEvent OnGetProcessing;  // RETR; set delayedSend to start it later
  TFtpSrvLimitEvent OnLimit;

  // The host path of a client's file argument, relative to directory (the
  // client's current one); fires OnBuildFilePath. Throws FtpServerException.
  std::string BuildFilePath(TFtpCtrlSocket& client, const std::string& directory,
                            const std::string& fileName);

private:
  struct TCommandItem {
    std::string keyword;
    TCommandProc proc;
    bool needsLogin;
  };
  // Work posted to a session, run on the next turn if the session still exists.
  using TNotice = std::function<void(TFtpCtrlSocket& client)>;

  // Accepting and the session's life.
  void ServerSessionAvailable(int error);
  void ServerChangeState(int newState);
  void ClientCommand(TFtpCtrlSocket& client, const char* buf, int len);
  void ClientSessionClosed(TFtpCtrlSocket& client, int error);
  void ClientClosed(TFtpCtrlSocket& client);
  int ClientsFrom(const std::string& addr) const;

  // What every command group may ask of a session (FtpSrvSession.cpp); nothing
  // there calls back into the groups.
  void PostNotice(TFtpCtrlSocket& client, TNotice notice);
  void HandleNotice(TFtpCtrlSocket* client, int sessionId, const TNotice& notice);
  bool HasClient(const TFtpCtrlSocket* client) const;
  // Closes once every queued reply has gone, on the next turn.
  void RequestClose(TFtpCtrlSocket& client);
  void CloseRequest(TFtpCtrlSocket& client);
  void ClientDataSent(TFtpCtrlSocket& client, int error);

  // Time limits and login throttling (FtpSrvLimits.cpp).
  void StartLimits(TFtpCtrlSocket& client);
  void ArmLimits(TFtpCtrlSocket& client);
  void CheckLimits(TFtpCtrlSocket& client);
  void FireLimit(TFtpCtrlSocket& client, const std::string& text);
  void CloseForLimit(TFtpCtrlSocket& client, const std::string& reply, const std::string& text);
  void TimeOutDataSide(TFtpCtrlSocket& client);
  void RefuseLogin(TFtpCtrlSocket& client);
  const char* RefusalBanner(TFtpCtrlSocket& client);
  bool TakeSlotFor(TFtpCtrlSocket& newcomer);

  // Paths shared by the file commands.
  void ChangeDirectory(TFtpCtrlSocket& client, std::string& params, std::string& answer);
  bool Validate(const TFtpSrvValidateXferEvent& hook, TFtpCtrlSocket& client, std::string& path);

  // Data connections (FtpSrvData.cpp).
  void AttachStoreHandlers(TFtpCtrlSocket& client);
  void AttachSendHandlers(TFtpCtrlSocket& client);
  void DetachDataHandlers(TFtpCtrlSocket& client);
  void OpenActiveConnection(TFtpCtrlSocket& client, bool bindLocally);
  void StartDataSide(TFtpCtrlSocket& client, bool store, bool bindLocally);
  void PassiveSessionAvailable(TFtpCtrlSocket& client, int error);
  void WatchIdlePassiveConnection(TFtpCtrlSocket& client);
  void ClosePassiveListener(TFtpCtrlSocket& client);
  void ReleasePasvPort(TFtpCtrlSocket& client);
  void ResetDataSession(TFtpCtrlSocket& client);
  void StoreConnected(TFtpCtrlSocket& client, int error);
  void StoreDataAvailable(TFtpCtrlSocket& client, int error);
  bool SpliceStoreData(TFtpCtrlSocket& client);
  TFtpFolderRights FolderRights(TFtpCtrlSocket& client, const std::string& pattern);
  void StoreClosed(TFtpCtrlSocket& client, int error);
  void OpenStoreFile(TFtpCtrlSocket& client);
  void SendConnected(TFtpCtrlSocket& client, int error);
  void SendNextBlock(TFtpCtrlSocket& client);
  void FinishSend(TFtpCtrlSocket& client);
  void SendDataSent(TFtpCtrlSocket& client, int error);
  void SendClosed(TFtpCtrlSocket& client, int error);
  void StartSend(TFtpCtrlSocket& client);
  void FailTransfer(TFtpCtrlSocket& client, const std::string& message);
  void AbortDataConnection(TFtpCtrlSocket& client);
  void FireDataSessionClosed(TFtpCtrlSocket& client, int error);
  // reserve: make the (new) file as soon as the upload is judged allowed.
  void StartStore(TFtpCtrlSocket& client, const std::string& params, std::string& answer,
                  TFtpTransferKind kind, bool reserve = false);

  // Commands, in the order of the command table's handlers.
  void CommandUSER(TFtpCtrlSocket&, std::string&, std::string&, std::string&);
  void CommandPASS(TFtpCtrlSocket&, std::string&, std::string&, std::string&);
  void CommandQUIT(TFtpCtrlSocket&, std::string&, std::string&, std::string&);
  void CommandNOOP(TFtpCtrlSocket&, std::string&, std::string&, std::string&);
  void CommandLIST(TFtpCtrlSocket&, std::string&, std::string&, std::string&);
  void CommandNLST(TFtpCtrlSocket&, std::string&, std::string&, std::string&);
  void CommandDELE(TFtpCtrlSocket&, std::string&, std::string&, std::string&);
  void CommandSIZE(TFtpCtrlSocket&, std::string&, std::string&, std::string&);
  void CommandREST(TFtpCtrlSocket&, std::string&, std::string&, std::string&);
  void CommandRNFR(TFtpCtrlSocket&, std::string&, std::string&, std::string&);
  void CommandRNTO(TFtpCtrlSocket&, std::string&, std::string&, std::string&);
  void CommandPORT(TFtpCtrlSocket&, std::string&, std::string&, std::string&);
  void CommandSTOR(TFtpCtrlSocket&, std::string&, std::string&, std::string&);
  void CommandRETR(TFtpCtrlSocket&, std::string&, std::string&, std::string&);
  void CommandTYPE(TFtpCtrlSocket&, std::string&, std::string&, std::string&);
  void CommandCWD(TFtpCtrlSocket&, std::string&, std::string&, std::string&);
  void CommandMKD(TFtpCtrlSocket&, std::string&, std::string&, std::string&);
  void CommandRMD(TFtpCtrlSocket&, std::string&, std::string&, std::string&);
  void CommandCDUP(TFtpCtrlSocket&, std::string&, std::string&, std::string&);
  void CommandXPWD(TFtpCtrlSocket&, std::string&, std::string&, std::string&);
  void CommandPWD(TFtpCtrlSocket&, std::string&, std::string&, std::string&);
  void CommandSYST(TFtpCtrlSocket&, std::string&, std::string&, std::string&);
  void CommandABOR(TFtpCtrlSocket&, std::string&, std::string&, std::string&);
  void CommandPASV(TFtpCtrlSocket&, std::string&, std::string&, std::string&);
  void CommandAPPE(TFtpCtrlSocket&, std::string&, std::string&, std::string&);
  void CommandSTRU(TFtpCtrlSocket&, std::string&, std::string&, std::string&);
  void CommandMDTM(TFtpCtrlSocket&, std::string&, std::string&, std::string&);
  void CommandMODE(TFtpCtrlSocket&, std::string&, std::string&, std::string&);
  void CommandOVER(TFtpCtrlSocket&, std::string&, std::string&, std::string&);
  void CommandSTOU(TFtpCtrlSocket&, std::string&, std::string&, std::string&);
  void CommandFEAT(TFtpCtrlSocket&, std::string&, std::string&, std::string&);
  void CommandAUTH(TFtpCtrlSocket&, std::string&, std::string&, std::string&);
  void CommandPBSZ(TFtpCtrlSocket&, std::string&, std::string&, std::string&);
  void CommandPROT(TFtpCtrlSocket&, std::string&, std::string&, std::string&);
  void CommandCCC(TFtpCtrlSocket&, std::string&, std::string&, std::string&);
  // Runs connected for a data socket just connected: at once in clear, or once the
  // TLS handshake PROT P asks for is done (FtpSrvTls.cpp).
  void SecureDataConnection(TFtpCtrlSocket& client, std::function<void(TFtpCtrlSocket&)> connected);
  void CommandEPSV(TFtpCtrlSocket&, std::string&, std::string&, std::string&);
  void CommandEPRT(TFtpCtrlSocket&, std::string&, std::string&, std::string&);
  void CommandMLSD(TFtpCtrlSocket&, std::string&, std::string&, std::string&);
  void CommandMLST(TFtpCtrlSocket&, std::string&, std::string&, std::string&);
  void CommandMFMT(TFtpCtrlSocket&, std::string&, std::string&, std::string&);
  void CommandOPTS(TFtpCtrlSocket&, std::string&, std::string&, std::string&);
  // PASV and EPSV: a listening socket for the client's data connection; its port.
  int OpenPassive(TFtpCtrlSocket& client);
  void ArmPassive(TFtpCtrlSocket& client);
  void DropPassive(TFtpCtrlSocket& client);
  // STOU's reserved file, when the upload ended without data: removed again.
  void DropReservedFile(TFtpCtrlSocket& client);
  void ListCommand(TFtpCtrlSocket& client, std::string& params, std::string& answer,
                   TFtpListFormat format);
  bool ListingAllowed(TFtpCtrlSocket& client, const std::string& params);
  bool MlsdNamesNoFolder(TFtpCtrlSocket& client, const std::string& params, std::string& answer);
  void OpenListing(TFtpCtrlSocket& client, std::string& params, TFtpListFormat format,
                   bool withHidden);
  // OnBuildFilePath, as the path helpers take it.
  TBuildFilePathHook PathHook(TFtpCtrlSocket& client);

  std::unique_ptr<TWSocket> serverWSocket_;
  std::vector<std::unique_ptr<TFtpCtrlSocket>> clients_;
  int clientCounter_ = 0;
  std::vector<TCommandItem> commandTable_;
  TPasvPortTable pasvPorts_;
  TEndpoint sink_;
  bool destroying_ = false;
  bool replyDeferred_ = false;  // the running handler will send its reply later
  TAddressGuard guard_;
};
