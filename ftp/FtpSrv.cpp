#include "ftp/FtpSrv.h"

#include <algorithm>
#include <utility>

#include "ftp/FtpSrvT.h"

namespace {

bool OpensDataConnection(const std::string& keyword) {
  static constexpr const char* kDataCommands[] = {"LIST", "NLST", "MLSD", "RETR",
                                                  "STOR", "APPE", "STOU"};
  return std::any_of(std::begin(kDataCommands), std::end(kDataCommands),
                     [&](const char* k) { return keyword == k; });
}

}  // namespace

TFtpServer::TFtpServer() : serverWSocket_(std::make_unique<TWSocket>()) {
  serverWSocket_->SetName("ServerWSocket");
  RegisterCommand("PORT", &TFtpServer::CommandPORT);
  RegisterCommand("STOR", &TFtpServer::CommandSTOR);
  RegisterCommand("RETR", &TFtpServer::CommandRETR);
  RegisterCommand("CWD", &TFtpServer::CommandCWD);
  RegisterCommand("XPWD", &TFtpServer::CommandXPWD);
  RegisterCommand("PWD", &TFtpServer::CommandPWD);
  RegisterCommand("USER", &TFtpServer::CommandUSER, false);
  RegisterCommand("PASS", &TFtpServer::CommandPASS, false);  // has its own rule
  RegisterCommand("LIST", &TFtpServer::CommandLIST);
  RegisterCommand("NLST", &TFtpServer::CommandNLST);
  RegisterCommand("TYPE", &TFtpServer::CommandTYPE);
  // SYST and FEAT answer before login: clients choose their transfer type and
  // features from them before they log in (RFC 2389 section 2).
  RegisterCommand("SYST", &TFtpServer::CommandSYST, false);
  RegisterCommand("QUIT", &TFtpServer::CommandQUIT, false);
  RegisterCommand("DELE", &TFtpServer::CommandDELE);
  RegisterCommand("SIZE", &TFtpServer::CommandSIZE);
  RegisterCommand("REST", &TFtpServer::CommandREST);
  RegisterCommand("RNFR", &TFtpServer::CommandRNFR);
  RegisterCommand("RNTO", &TFtpServer::CommandRNTO);
  RegisterCommand("MKD", &TFtpServer::CommandMKD);
  RegisterCommand("RMD", &TFtpServer::CommandRMD);
  RegisterCommand("ABOR", &TFtpServer::CommandABOR, false);
  RegisterCommand("PASV", &TFtpServer::CommandPASV);
  RegisterCommand("NOOP", &TFtpServer::CommandNOOP, false);
  RegisterCommand("CDUP", &TFtpServer::CommandCDUP);
  RegisterCommand("APPE", &TFtpServer::CommandAPPE);
  RegisterCommand("STRU", &TFtpServer::CommandSTRU, false);
  RegisterCommand("XMKD", &TFtpServer::CommandMKD);
  RegisterCommand("XRMD", &TFtpServer::CommandRMD);
  // MDTM needs a login too: before one, anyone could learn which files of the
  // disk exist and when they changed.
  RegisterCommand("MDTM", &TFtpServer::CommandMDTM);
  RegisterCommand("MODE", &TFtpServer::CommandMODE);
  RegisterCommand("OVER", &TFtpServer::CommandOVER, false);
  RegisterCommand("STOU", &TFtpServer::CommandSTOU);
  RegisterCommand("FEAT", &TFtpServer::CommandFEAT, false);
  RegisterCommand("EPSV", &TFtpServer::CommandEPSV);
  RegisterCommand("EPRT", &TFtpServer::CommandEPRT);
  RegisterCommand("MLSD", &TFtpServer::CommandMLSD);
  RegisterCommand("MLST", &TFtpServer::CommandMLST);
  RegisterCommand("MFMT", &TFtpServer::CommandMFMT);
  RegisterCommand("OPTS", &TFtpServer::CommandOPTS);
  RegisterCommand("AUTH", &TFtpServer::CommandAUTH, false);
  RegisterCommand("PBSZ", &TFtpServer::CommandPBSZ, false);
  RegisterCommand("PROT", &TFtpServer::CommandPROT, false);
  RegisterCommand("CCC", &TFtpServer::CommandCCC, false);
}

TFtpServer::~TFtpServer() {
  destroying_ = true;
  // Sessions go first, while everything their handlers point back at still exists.
  clients_.clear();
  serverWSocket_.reset();
}

void TFtpServer::RegisterCommand(const std::string& keyword, TCommandProc proc, bool needsLogin) {
  if (commandTable_.size() >= kCommandTableSize) throw FtpServerException("Too many command");
  commandTable_.push_back({keyword, proc, needsLogin});
}

// ---------------------------------------------------------------------------
// Listening and accepting

void TFtpServer::Start() {
  if (serverWSocket_->State() == wsListening) return;
  serverWSocket_->SetPort(Port);
  serverWSocket_->SetAddr(Addr);
  serverWSocket_->SetProto("tcp");
  serverWSocket_->OnSessionAvailable = [this](TCustomWSocket&, int error) {
    ServerSessionAvailable(error);
  };
  serverWSocket_->OnChangeState = [this](TCustomWSocket&, TSocketState, TSocketState newState) {
    ServerChangeState(newState);
  };
  serverWSocket_->SetComponentOptions({wsoNoReceiveLoop, wsoTcpNoDelay});
  serverWSocket_->Listen();
}

void TFtpServer::Stop() { serverWSocket_->Close(); }

bool TFtpServer::Listening() const { return serverWSocket_->State() == wsListening; }

int TFtpServer::BoundPort() const { return std::atoi(serverWSocket_->LocalBoundPort().c_str()); }

void TFtpServer::ServerChangeState(int newState) {
  if (destroying_) return;
  if (newState == wsListening && OnStart) OnStart(*this);
  if (newState == wsClosed && OnStop) OnStop(*this);
}

void TFtpServer::ServerSessionAvailable(int error) {
  if (error != 0) throw FtpServerException("Session available error #" + std::to_string(error));
  // Taken before a session exists: a connection that vanished before it could be
  // accepted must not leave a dead session that counts against MaxClients.
  int handle = serverWSocket_->Accept();
  if (handle < 0) return;
  ++clientCounter_;
  clients_.push_back(std::make_unique<TFtpCtrlSocket>());
  TFtpCtrlSocket& client = *clients_.back();
  client.SetName("ClientWSocket" + std::to_string(clientCounter_));
  client.DataWSocket->SetName("DataWSocket" + std::to_string(clientCounter_));
  client.SessionId = clientCounter_;
  client.Banner = Banner;
  client.SetSocketHandle(handle);
  client.OnCommand = [this](TFtpCtrlSocket& c, const char* line, int len) {
    ClientCommand(c, line, len);
  };
  client.OnSessionClosed = [this, &client](TCustomWSocket&, int err) {
    ClientSessionClosed(client, err);
  };
  client.OnDataSent = [this, &client](TCustomWSocket&, int err) { ClientDataSent(client, err); };

  auto alive = client.AliveToken();
  if (OnClientConnect) OnClientConnect(*this, client, error);
  if (alive.expired() || !HasClient(&client) || client.State() != wsConnected) return;
  const char* refusal = RefusalBanner(client);
  // Closing a session to make room fires hooks, which may have dropped this one too.
  if (alive.expired() || !HasClient(&client)) return;
  if (refusal) {
    client.Banner = refusal;
    client.StartSession();
    client.Close();
  } else {
    client.StartSession();
    StartLimits(client);
  }
}

// The greeting that turns a new client away, or null to welcome it; a full server
// may make room for it first. A blocked address is not logged again: its block
// was, once.
const char* TFtpServer::RefusalBanner(TFtpCtrlSocket& client) {
  const std::string addr = client.PeerAddr();
  if (guard_.Blocked(addr)) return kReplyAddressBlocked;
  if (Limits.OverAddressCap(ClientsFrom(addr))) {
    FireLimit(client, std::string("Deny: ") + kMsgTooManyFromAddress);
    return kReplyTooManyFromAddress;
  }
  if (MaxClients > 0 && !TakeSlotFor(client)) {
    FireLimit(client, "Deny: " + FtpFormat(kMsgTooManyUsers, MaxClients));
    return kReplyTooManyUsers;
  }
  return nullptr;
}

// True when the newcomer has a slot: a free one, or one a silent connection gives
// up to it (which is then closed as its login deadline would close it).
bool TFtpServer::TakeSlotFor(TFtpCtrlSocket& newcomer) {
  std::vector<TSlotHolder> holders;
  std::vector<TFtpCtrlSocket*> sessions;
  for (const auto& c : clients_) {
    if (c.get() == &newcomer || c->SlotGivenAway) continue;
    holders.push_back({SlotKey(c->PeerAddr()), c->FtpState == ftpcReady, c->ConnectedAt,
                       c->ClosingForLimit || c->CloseRequested || c->State() != wsConnected});
    sessions.push_back(c.get());
  }
  if (static_cast<int>(holders.size()) < MaxClients) return true;
  const int taken = ChooseSlotToTake(holders, SlotKey(newcomer.PeerAddr()), MaxClients,
                                     std::chrono::steady_clock::now());
  if (taken < 0) return false;
  TFtpCtrlSocket& victim = *sessions[static_cast<std::size_t>(taken)];
  victim.SlotGivenAway = true;
  CloseForLimit(victim, kReplyLoginTimeout, kMsgSlotGiven);
  return true;
}

int TFtpServer::ClientsFrom(const std::string& addr) const {
  const std::string key = SlotKey(addr);
  return static_cast<int>(std::count_if(clients_.begin(), clients_.end(), [&](const auto& c) {
    return SlotKey(c->PeerAddr()) == key;
  }));
}

TFtpCtrlSocket* TFtpServer::Client(int index) const {
  if (index < 0 || index >= ClientCount()) return nullptr;
  return clients_[static_cast<std::size_t>(index)].get();
}

void TFtpServer::DisconnectAllClients() {
  while (!clients_.empty()) ClientClosed(*clients_.front());
}

// ---------------------------------------------------------------------------
// Command lines and replies

void TFtpServer::ClientCommand(TFtpCtrlSocket& client, const char* buf, int len) {
  std::string answer;
  // A hook or handler may drop every session (DisconnectAllClients), this one
  // included; then there is nobody left to answer.
  auto alive = client.AliveToken();
  client.LastActivityAt = std::chrono::steady_clock::now();
  try {
    auto cmd = ParseCommandLine(std::string_view(buf, static_cast<std::size_t>(len)));
    std::string keyword = std::move(cmd.Keyword);
    std::string params = std::move(TakesOnePath(keyword) ? cmd.Name : cmd.Params);
    if (OnClientCommand) OnClientCommand(*this, client, keyword, params, answer);
    if (alive.expired()) return;
    if (!answer.empty()) {
      SendAnswer(client, answer);
      return;
    }
    if (keyword.empty()) {
      SendAnswer(client, FtpFormat(kReplyNotUnderstood, params.c_str()));
      return;
    }
    auto item = std::find_if(commandTable_.begin(), commandTable_.end(),
                             [&](const TCommandItem& i) { return i.keyword == keyword; });
    if (item == commandTable_.end()) {
      SendAnswer(client, FtpFormat(kReplyNotUnderstood, keyword.c_str()));
      return;
    }
    if (item->needsLogin && client.FtpState != ftpcReady) {
      answer = kReplyPleaseLogin;
    } else if (RequireTls && !client.ProtPrivate && OpensDataConnection(keyword)) {
      // Where encryption is required, files and listings do not travel in clear.
      answer = kReplyProtRequired;
      FireLimit(client, "Deny: " + FtpFormat(kMsgDataInClear, keyword.c_str()));
    } else {
      replyDeferred_ = false;
      (this->*(item->proc))(client, keyword, params, answer);
    }
    if (alive.expired()) return;
    ArmLimits(client);
    if (std::exchange(replyDeferred_, false)) return;
    SendAnswer(client, answer);
  } catch (const std::exception& e) {
    // Whatever a handler or hook lets out is the client's problem to read about;
    // the session goes on.
    if (!alive.expired()) SendAnswer(client, FtpSingleLine(std::string("501 ") + e.what()));
  }
}

void TFtpServer::ClientSessionClosed(TFtpCtrlSocket& client, int) {
  PostNotice(client, [this](TFtpCtrlSocket& c) { ClientClosed(c); });
}

void TFtpServer::ClientClosed(TFtpCtrlSocket& client) {
  // A transfer still running ends with its failure reply and hooks, as if its
  // data connection had dropped with "socket not connected".
  if (client.DataSessionActive && client.TransferKind != TFtpTransferKind::None)
    FireDataSessionClosed(client, sockerr::kNotConn);
  // A STOU whose data connection never came leaves no empty file behind.
  DropReservedFile(client);
  auto it = std::find_if(clients_.begin(), clients_.end(),
                         [&](const auto& c) { return c.get() == &client; });
  if (it == clients_.end()) return;
  std::unique_ptr<TFtpCtrlSocket> owned = std::move(*it);
  clients_.erase(it);
  ReleasePasvPort(*owned);
  try {
    if (OnClientDisconnect) OnClientDisconnect(*this, *owned, 0);
  } catch (...) {
    // The session is freed all the same; nothing else could be done for it.
  }
}

// ---------------------------------------------------------------------------
// Login and session end

void TFtpServer::CommandUSER(TFtpCtrlSocket& client, std::string&, std::string& params,
                             std::string& answer) {
  if (RequireTls && !client.TlsActive()) {
    answer = kReplyTlsRequired;
    FireLimit(client, std::string("Deny: ") + kMsgLoginInClear);
    return;
  }
  client.UserName = FtpTrim(params);
  // A session that logs in again gets the time to do so afresh: counted from its
  // connection, a right password after a minute of use would meet "Login timeout".
  if (client.FtpState == ftpcReady) client.ConnectedAt = std::chrono::steady_clock::now();
  client.FtpState = ftpcWaitingPassword;
  answer = FtpFormat(kReplyPasswordRequired, client.UserName.c_str());
}

void TFtpServer::CommandPASS(TFtpCtrlSocket& client, std::string&, std::string& params,
                             std::string& answer) {
  if (client.FtpState != ftpcWaitingPassword) {
    answer = kReplyUserFirst;
    return;
  }
  // A session opened before its address was blocked gets no further than a new one
  // would; the block itself was logged once, when it began.
  if (guard_.Blocked(client.PeerAddr())) {
    CloseForLimit(client, kReplyAddressBlocked, {});
    replyDeferred_ = true;
    return;
  }
  client.PassWord = FtpTrim(params);
  bool authenticated = true;
  if (OnAuthenticate) OnAuthenticate(*this, client, client.UserName, client.PassWord, authenticated);
  if (!authenticated) {
    client.FtpState = ftpcWaitingUserCode;
    answer = kReplyLoginIncorrect;
    RefuseLogin(client);
    return;
  }
  client.FtpState = ftpcReady;
  ResolveDirectory(client.CurrentDirectory, client.StartDirectory);
  answer = FtpFormat(kReplyLoggedIn, client.UserName.c_str());
}

void TFtpServer::CommandQUIT(TFtpCtrlSocket& client, std::string&, std::string&,
                             std::string& answer) {
  answer = kReplyGoodbye;
  RequestClose(client);
}

void TFtpServer::CommandOVER(TFtpCtrlSocket& client, std::string&, std::string&,
                             std::string& answer) {
  client.Shutdown(0);
  char discard[1024];
  while (client.Receive(discard, sizeof discard) > 0) {
  }
  answer = kReplyCommandTooLong;
  RequestClose(client);
}
