// The time limits of a session and the throttling of password guesses. A session
// has one timer, armed for its nearest deadline; activity only moves deadlines
// later, so the timer is re-armed when it fires rather than at every command.

#include <algorithm>
#include <optional>

#include "ftp/FtpSrv.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kLoginDeadlineCap = 60;  // seconds to log in, at most
constexpr int kDataWaitCap = 60;       // seconds for a data connection to be made
constexpr int kFailuresPerConnection = 3;
constexpr auto kFailedLoginPause = 1s;
// How long a closing session may take to let its last reply go before it is cut.
constexpr auto kCloseGrace = 10s;

bool TransferPending(const TFtpCtrlSocket& client) {
  return client.TransferKind != TFtpTransferKind::None;
}

// A data connection still negotiating TLS is not made yet either.
bool DataConnectionAwaited(const TFtpCtrlSocket& client) {
  return client.PasvWSocket->State() == wsListening ||
         client.DataWSocket->State() == wsConnecting || client.DataWSocket->TlsPending();
}

bool TransferFlowing(const TFtpCtrlSocket& client) {
  return client.DataSessionActive && TransferPending(client);
}


}  // namespace

void TFtpServer::StartLimits(TFtpCtrlSocket& client) {
  client.ConnectedAt = client.LastActivityAt = Clock::now();
  ArmLimits(client);
}

void TFtpServer::ArmLimits(TFtpCtrlSocket& client) {
  if (!Limits.TimeLimitsOn() || client.ClosingForLimit) return;
  std::optional<Clock::time_point> next;
  auto consider = [&next](Clock::time_point at) {
    if (!next || at < *next) next = at;
  };
  if (client.FtpState != ftpcReady)
    consider(client.ConnectedAt + Limits.Capped(kLoginDeadlineCap));
  else if (!TransferPending(client))
    consider(client.LastActivityAt + Limits.Idle());
  if (client.DataDraining && !TransferPending(client))
    consider(std::max(client.LastActivityAt, client.LastDataLookAt) + Limits.LookEvery());
  if (DataConnectionAwaited(client)) consider(client.DataWaitSince + Limits.Capped(kDataWaitCap));
  if (TransferFlowing(client)) {
    consider(client.LastDataAt + Limits.Idle());
    consider(std::max(client.LastDataAt, client.LastDataLookAt) + Limits.LookEvery());
  }
  if (!next) return;
  if (client.LimitTimer.Armed() && client.LimitTimerFor <= *next) return;
  client.LimitTimerFor = *next;
  auto wait = std::chrono::ceil<std::chrono::milliseconds>(*next - Clock::now());
  client.LimitTimer.Start(std::max(wait, 0ms), [this, &client] { CheckLimits(client); });
}

void TFtpServer::CheckLimits(TFtpCtrlSocket& client) {
  if (client.ClosingForLimit || !HasClient(&client)) return;
  const Clock::time_point now = Clock::now();
  if (client.FtpState != ftpcReady &&
      now >= client.ConnectedAt + Limits.Capped(kLoginDeadlineCap)) {
    CloseForLimit(client, kReplyLoginTimeout, "Login timeout");
    return;
  }
  // A finished download the client is still reading keeps its session busy; once
  // read, its connection has nothing left to wait for; a reader that stopped loses
  // what the kernel holds for it with a reset, not to an orphaned socket. It is
  // looked at every LookEvery(): looked at only when the limit runs out, a reader
  // that stops would be cut up to a whole limit late.
  if (client.DataDraining && !TransferPending(client)) {
    if (now >= std::max(client.LastActivityAt, client.LastDataLookAt) + Limits.LookEvery()) {
      if (client.DataWSocket->PeerTookSentBytes()) client.LastActivityAt = now;
      client.LastDataLookAt = now;
    }
    if (now >= client.LastActivityAt + Limits.Idle()) {
      if (client.DataWSocket->UnsentByteCount() <= 0)
        client.DataWSocket->Close();
      else
        client.DataWSocket->AbortWithReset();
    }
  }
  if (TransferFlowing(client) &&
      now >= std::max(client.LastDataAt, client.LastDataLookAt) + Limits.LookEvery()) {
    // A slow client still reading what the kernel holds is not stalled.
    if (client.DataWSocket->PeerTookSentBytes()) client.LastDataAt = now;
    client.LastDataLookAt = now;
  }
  const bool dataStalled = TransferFlowing(client) && now >= client.LastDataAt + Limits.Idle();
  if ((DataConnectionAwaited(client) && now >= client.DataWaitSince + Limits.Capped(kDataWaitCap)) ||
      dataStalled) {
    TimeOutDataSide(client);
  } else if (client.FtpState == ftpcReady && !TransferPending(client) &&
             now >= client.LastActivityAt + Limits.Idle()) {
    CloseForLimit(client, FtpFormat(kReplyIdleTimeout, Limits.IdleTimeout),
                  "Idle timeout after " + std::to_string(Limits.IdleTimeout) + " seconds");
    return;
  }
  ArmLimits(client);
}

void TFtpServer::FireLimit(TFtpCtrlSocket& client, const std::string& text) {
  try {
    if (OnLimit) OnLimit(*this, client, text);
  } catch (...) {
    // The log line is lost; the limit holds all the same.
  }
}

void TFtpServer::CloseForLimit(TFtpCtrlSocket& client, const std::string& reply,
                               const std::string& text) {
  client.ClosingForLimit = true;
  client.LimitTimer.Cancel();
  if (!text.empty()) FireLimit(client, text);
  SendAnswer(client, reply);
  RequestClose(client);
  // A client that reads nothing would keep its last reply, and the session, queued
  // for ever.
  client.LimitTimer.Start(kCloseGrace, [&client] { client.AbortWithReset(); });
}

// A data connection that was never made, or on which nothing moved for too long.
// A transfer waiting on it ends with its 426 reply; an upload keeps what arrived.
void TFtpServer::TimeOutDataSide(TFtpCtrlSocket& client) {
  const bool wasWaiting = DataConnectionAwaited(client);
  const int seconds = wasWaiting ? static_cast<int>(Limits.Capped(kDataWaitCap).count() / 1000)
                                 : Limits.IdleTimeout;
  const std::string message = FtpFormat(kMsgDataTimeout, seconds);
  const TFtpTransferKind kind = client.TransferKind;
  DetachDataHandlers(client);
  ClosePassiveListener(client);
  client.PassiveArmed = false;
  // Closed in the ordinary way, the connection of a reader that stopped would leave
  // what the kernel holds for it (megabytes) to an orphaned socket, unbounded by any
  // limit; the upload of a writer that stopped keeps what arrived either way.
  if (IsStoreKind(kind))
    client.DataWSocket->Close();
  else
    client.DataWSocket->AbortWithReset();
  if (kind == TFtpTransferKind::None) {
    FireLimit(client, "Passive data connection not made within " + std::to_string(seconds) +
                          " seconds");
    return;
  }
  FireLimit(client, message + ": " +
                        (client.HostFilePath.empty() ? std::string("listing")
                                                     : client.HostFilePath));
  client.TransferAborted = true;
  client.TransferMessage = message;
  if (IsStoreKind(kind)) {
    StoreClosed(client, 0);
    return;
  }
  ResetDataSession(client);
  SendAnswer(client, FtpFormat(kReplyClosedBecause, message.c_str()));
  if (OnRetrSessionClosed)
    OnRetrSessionClosed(*this, client, *client.DataWSocket, sockerr::kTimedOut);
}

// A wrong password: the reply waits a second, during which the session reads
// nothing, so one connection guesses at most once a second; the third failure ends
// it. Every failure also counts against the address, whatever connection it used.
void TFtpServer::RefuseLogin(TFtpCtrlSocket& client) {
  ++client.FailedLogins;
  if (guard_.NoteFailure(client.PeerAddr()))
    FireLimit(client, std::string("Deny: ") + kMsgAddressBlocked);
  const bool last = client.FailedLogins >= kFailuresPerConnection;
  if (!Limits.TimeLimitsOn() && !last) return;
  replyDeferred_ = true;
  client.PauseCommands();
  auto finish = [this, &client, last] {
    client.Resume();  // the socket writes again; commands stay held when closing
    SendAnswer(client, kReplyLoginIncorrect);
    if (!last) {
      client.ResumeCommands();
      return;
    }
    CloseForLimit(client, kReplyTooManyFailures,
                  "Disconnected after " + std::to_string(kFailuresPerConnection) +
                      " failed logins");
  };
  if (Limits.TimeLimitsOn())
    client.ReplyTimer.Start(kFailedLoginPause, finish);
  else
    finish();
}
