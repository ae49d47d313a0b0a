// Explicit TLS (RFC 4217): AUTH TLS turns the control connection into a TLS one,
// PROT P does the same for every data connection after it.
#include "ftp/FtpSrv.h"
#include "platform/Text.h"

void TFtpServer::CommandFEAT(TFtpCtrlSocket&, std::string&, std::string&, std::string& answer) {
  answer = kReplyFeat;
  if (Tls) answer.insert(answer.rfind("211 END"), kFeatTlsLines);
}

void TFtpServer::CommandAUTH(TFtpCtrlSocket& client, std::string&, std::string& params,
                             std::string& answer) {
  const std::string mechanism = AsciiUpper(FtpTrim(params));
  if (mechanism != "TLS" && mechanism != "TLS-C" && mechanism != "SSL") {
    answer = FtpFormat(kReplyAuthUnknown, mechanism.c_str());
  } else if (!Tls) {
    answer = kReplyAuthUnavailable;
  } else if (client.TlsActive() || client.TlsPending()) {
    answer = kReplyAuthAgain;
  } else {
    answer = kReplyAuthTls;
    // A login begun in clear does not carry over (RFC 4217 section 4); the new one
    // gets the whole time a login has.
    client.FtpState = ftpcWaitingUserCode;
    client.UserName.clear();
    client.ConnectedAt = std::chrono::steady_clock::now();
    client.DropHeldInput();
    client.OnTlsDone = [this](TCustomWSocket& socket, const std::string& error) {
      if (!error.empty())
        FireLimit(static_cast<TFtpCtrlSocket&>(socket), "TLS handshake failed: " + error);
    };
    // Begins once the answer above has left, in clear.
    client.StartTls(*Tls);
  }
}

void TFtpServer::CommandPBSZ(TFtpCtrlSocket& client, std::string&, std::string&,
                             std::string& answer) {
  answer = client.TlsActive() ? kReplyPbsz : FtpFormat(kReplyTlsFirst, "PBSZ");
}

void TFtpServer::CommandPROT(TFtpCtrlSocket& client, std::string&, std::string& params,
                             std::string& answer) {
  const std::string level = AsciiUpper(FtpTrim(params));
  if (!client.TlsActive()) {
    answer = FtpFormat(kReplyTlsFirst, "PROT");
  } else if (level == "C" && RequireTls) {
    answer = kReplyProtClearRefused;
    FireLimit(client, std::string("Deny: ") + kMsgProtClearRefused);
  } else if (level == "P" || level == "C") {
    client.ProtPrivate = level == "P";
    answer = client.ProtPrivate ? kReplyProtPrivate : kReplyProtClear;
  } else if (level == "S" || level == "E") {
    answer = FtpFormat(kReplyProtUnsupported, level.c_str());
  } else {
    answer = FtpFormat(kReplyProtUnknown, level.c_str());
  }
}

void TFtpServer::CommandCCC(TFtpCtrlSocket&, std::string&, std::string&, std::string& answer) {
  answer = kReplyCccRefused;
}

// Only the control connection's client holds its session: a data connection that
// does not resume it may be anyone who raced for the passive port, so it gets no
// byte. The data session sends no tickets of its own (see TTlsSession).
void TFtpServer::SecureDataConnection(TFtpCtrlSocket& client,
                                      std::function<void(TFtpCtrlSocket&)> connected) {
  if (!Tls || !client.ProtPrivate || !client.TlsActive()) return connected(client);
  TWSocket& data = *client.DataWSocket;
  const int sessionId = client.SessionId;
  // The handshake gets the time a data connection has to be made, no more.
  client.DataWaitSince = std::chrono::steady_clock::now();
  data.OnTlsDone = [this, &client, sessionId, connected](TCustomWSocket& socket,
                                                         const std::string& error) {
    if (!HasClient(&client) || client.SessionId != sessionId) return;
    const TTlsSession* control = client.TlsSession();
    if (error.empty() && control && socket.TlsSession()->ResumesSessionOf(*control)) {
      connected(client);
      return;
    }
    const std::string why = error.empty() ? std::string(kMsgDataTlsNotResumed)
                                          : FtpFormat(kMsgDataTlsFailed, error.c_str());
    FireLimit(client, error.empty() ? "Deny: " + why : why);
    if (client.TransferKind != TFtpTransferKind::None) {
      FailTransfer(client, why);
    } else {
      // Nothing waits for it yet: it goes now, with the passive port it took. Were
      // the close left for a later turn, a transfer asked for meanwhile would start
      // on it and report the refused connection's end as a finished upload.
      socket.Shutdown(2);
      socket.Close();
    }
  };
  data.StartTls(*Tls, true);
  ArmLimits(client);
}
