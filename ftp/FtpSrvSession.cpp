// What every command group of TFtpServer may ask of a session: a reply, work
// posted to the next turn, and a close that waits for the last reply. The groups
// call down into this file; it calls none of them, so a notice carries its work.

#include <algorithm>

#include "ftp/FtpSrv.h"

bool TFtpServer::HasClient(const TFtpCtrlSocket* client) const {
  return std::any_of(clients_.begin(), clients_.end(),
                     [client](const auto& c) { return c.get() == client; });
}

void TFtpServer::SendAnswer(TFtpCtrlSocket& client, std::string answer) {
  auto alive = client.AliveToken();
  try {
    if (OnAnswerToClient) OnAnswerToClient(*this, client, answer);
    if (alive.expired()) return;
    client.SendLine(answer);
  } catch (...) {
    // The reply is lost; the session goes on as the next command finds it.
  }
}

// ---------------------------------------------------------------------------
// Notices: work that must not run inside the callback that asks for it

void TFtpServer::PostNotice(TFtpCtrlSocket& client, TNotice notice) {
  TFtpCtrlSocket* target = &client;
  int sessionId = client.SessionId;
  sink_.Post([this, target, sessionId, notice = std::move(notice)] {
    HandleNotice(target, sessionId, notice);
  });
}

void TFtpServer::HandleNotice(TFtpCtrlSocket* client, int sessionId, const TNotice& notice) {
  // The address alone proves nothing: a new session may live where a freed one did.
  if (!HasClient(client) || client->SessionId != sessionId) return;
  notice(*client);
}

void TFtpServer::RequestClose(TFtpCtrlSocket& client) {
  PostNotice(client, [this](TFtpCtrlSocket& c) { CloseRequest(c); });
}

void TFtpServer::CloseRequest(TFtpCtrlSocket& client) {
  // In the middle of a TLS handshake no reply can go out at all.
  if (client.AllSent() || client.TlsPending())
    client.Close();
  else
    client.CloseRequested = true;
}

void TFtpServer::ClientDataSent(TFtpCtrlSocket& client, int) {
  if (!client.CloseRequested) return;
  client.CloseRequested = false;
  RequestClose(client);
}
