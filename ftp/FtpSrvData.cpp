// Data connections and transfers: PORT and PASV, the upload and download commands,
// LIST and NLST, REST and ABOR, and the handlers that move the bytes.

#include <charconv>
#include <utility>
#include <cstdio>
#include <vector>

#include "ftp/FtpSrv.h"
#include "ftp/FtpSrvList.h"
#include "ftp/FtpSrvT.h"
#include "platform/NativeSocket.h"
#include "platform/SocketError.h"

namespace {

// A name prefix + digits that nothing in directory has yet. It is only judged
// here; the file is made once the upload is allowed.
std::string UnusedFileName(const std::string& directory, const std::string& prefix) {
  static std::uint32_t counter = 0;
  std::uint32_t seed = static_cast<std::uint32_t>(HostFs::NowUtc()) * 2654435761u;
  for (int attempt = 0; attempt < 10000; ++attempt) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%06u", (seed + ++counter) % 1000000u);
    std::string name = prefix + digits;
    if (!HostFs::FileExists(directory + name) && !HostFs::DirectoryExists(directory + name))
      return name;
  }
  throw FtpServerException("No unique file name left in " + directory);
}

// A transfer command that goes no further than its reply has used up any REST before
// it (RFC 959: REST restarts the transfer command that follows it). Kept, it
// restarted a later, unrelated transfer, and the client was told that had worked.
void DropTransfer(TFtpCtrlSocket& client) {
  client.TransferKind = TFtpTransferKind::None;
  client.RestartOffset = 0;
}

}  // namespace

// A passive connection that arrives before its transfer command may be dropped by
// the client before the command comes. A transfer started on that dead socket
// would never end and never answer, so the session forgets the connection (and
// frees its range port) as soon as it closes; a later transfer then fails at once
// unless the client asks for a new one. A transfer command replaces this handler.
void TFtpServer::WatchIdlePassiveConnection(TFtpCtrlSocket& client) {
  DetachDataHandlers(client);
  client.DataWSocket->OnSessionClosed = [this, &client](TCustomWSocket&, int) {
    ReleasePasvPort(client);
    client.PassiveArmed = client.PassiveAccepted = client.PassiveWaiting = false;
  };
}

// ---------------------------------------------------------------------------
// Wiring the data socket

void TFtpServer::AttachStoreHandlers(TFtpCtrlSocket& client) {
  TWSocket& data = *client.DataWSocket;
  data.OnSessionConnected = [this, &client](TCustomWSocket&, int e) {
    if (e != 0) return StoreConnected(client, e);
    SecureDataConnection(client, [this](TFtpCtrlSocket& c) { StoreConnected(c, 0); });
  };
  data.OnSessionClosed = [this, &client](TCustomWSocket&, int e) { StoreClosed(client, e); };
  data.OnDataAvailable = [this, &client](TCustomWSocket&, int e) { StoreDataAvailable(client, e); };
  data.OnDataSent = nullptr;
  data.OnSendData = nullptr;
}

void TFtpServer::AttachSendHandlers(TFtpCtrlSocket& client) {
  TWSocket& data = *client.DataWSocket;
  data.OnSessionConnected = [this, &client](TCustomWSocket&, int e) {
    if (e != 0) return SendConnected(client, e);
    SecureDataConnection(client, [this](TFtpCtrlSocket& c) { SendConnected(c, 0); });
  };
  data.OnSessionClosed = [this, &client](TCustomWSocket&, int e) { SendClosed(client, e); };
  data.OnDataSent = [this, &client](TCustomWSocket&, int e) { SendDataSent(client, e); };
  // A file range goes out in large steps with no OnDataSent between them; each step
  // is progress all the same, or a long download would look stalled.
  data.OnSendData = [&client](TCustomWSocket&, std::int32_t) {
    client.LastDataAt = std::chrono::steady_clock::now();
  };
  data.OnDataAvailable = nullptr;
}

void TFtpServer::DetachDataHandlers(TFtpCtrlSocket& client) {
  TWSocket& data = *client.DataWSocket;
  data.OnSessionConnected = nullptr;
  data.OnSessionClosed = nullptr;
  data.OnDataAvailable = nullptr;
  data.OnDataSent = nullptr;
  data.OnSendData = nullptr;
}

void TFtpServer::OpenActiveConnection(TFtpCtrlSocket& client, bool bindLocally) {
  TWSocket& data = *client.DataWSocket;
  data.SetProto("tcp");
  data.SetAddr(client.ActiveDataAddr);
  data.SetPort(client.ActiveDataPort);
  data.SetLingerOnOff(wsLingerOff);
  data.SetLingerTimeout(0);
  if (bindLocally) {
    // Leave from the control connection's address, but from a port the system
    // picks: only root may bind port 20, and concurrent sessions would fight
    // over it anyway.
    data.SetLocalAddr(client.LocalBoundAddr());
    data.SetLocalPort("0");
  }
  data.SetComponentOptions({wsoNoReceiveLoop});
  client.DataWaitSince = std::chrono::steady_clock::now();
  data.Connect();
  ArmLimits(client);
}

void TFtpServer::StartDataSide(TFtpCtrlSocket& client, bool store, bool bindLocally) {
  // A finished download's connection, still being read, gives way to this transfer:
  // left connected, an active upload could not connect, and its handlers took the old
  // connection's end for an empty upload.
  if (std::exchange(client.DataDraining, false)) client.DataWSocket->Close();
  if (client.PassiveArmed) {
    store ? AttachStoreHandlers(client) : AttachSendHandlers(client);
    if (client.PassiveAccepted && !client.DataWSocket->TlsPending())
      store ? StoreConnected(client, 0) : SendConnected(client, 0);
    else
      client.PassiveWaiting = true;
    return;
  }
  if (!store) client.DataWSocket->Close();
  store ? AttachStoreHandlers(client) : AttachSendHandlers(client);
  OpenActiveConnection(client, bindLocally);
}

void TFtpServer::ReleasePasvPort(TFtpCtrlSocket& client) {
  if (client.PasvPort == 0) return;
  pasvPorts_.Release(client.PasvPort);
  client.PasvPort = 0;
}

void TFtpServer::ClosePassiveListener(TFtpCtrlSocket& client) {
  TWSocket& listener = *client.PasvWSocket;
  listener.OnSessionAvailable = nullptr;
  bool wasListening = listener.State() != wsClosed;
  listener.Close();
  // A range port whose listener never accepted is free again; one that did
  // stays with the accepted connection until that closes.
  if (wasListening && !client.PassiveAccepted) ReleasePasvPort(client);
}

// Everything a closed data connection leaves behind, whichever way it ended.
void TFtpServer::ResetDataSession(TFtpCtrlSocket& client) {
  ReleasePasvPort(client);
  client.DataSessionActive = false;
  client.PassiveWaiting = false;
  client.PassiveAccepted = false;
  client.RestartOffset = 0;
  client.ActiveDataPort = "ftp-data";
  client.TransferStream.reset();
  client.StreamOwned = false;
  client.TransferKind = TFtpTransferKind::None;
  client.ReleaseUploadBuffer();
  // The control connection was not idle while the transfer ran.
  client.LastActivityAt = std::chrono::steady_clock::now();
}

void TFtpServer::FireDataSessionClosed(TFtpCtrlSocket& client, int error) {
  TFtpTransferKind kind = client.TransferKind;
  // The session is about to go: its data socket must not report again.
  DetachDataHandlers(client);
  if (IsStoreKind(kind))
    StoreClosed(client, error);
  else
    SendClosed(client, error);
}

// ---------------------------------------------------------------------------
// PORT, PASV and the passive accept

void TFtpServer::CommandPORT(TFtpCtrlSocket& client, std::string&, std::string& params,
                             std::string& answer) {
  if (client.EpsvAll) {
    answer = kReplyEpsvAllOnly;
    return;
  }
  auto arg = ParsePortArgument(params);
  // Only the client itself, on an unprivileged port, may be the other end:
  // anything else would let clients use this server to reach third hosts.
  if (!arg || arg->Addr != client.PeerAddr() || arg->Port < 1024 || arg->Port > 65535) {
    answer = kReplyPortBad;
    return;
  }
  client.ActiveDataAddr = arg->Addr;
  client.ActiveDataPort = std::to_string(arg->Port);
  answer = kReplyPortOk;
}

int TFtpServer::OpenPassive(TFtpCtrlSocket& client) {
  // A transfer still running loses its connection here: it ends as aborted, not as
  // though every byte had gone.
  if (client.DataSessionActive && client.TransferKind != TFtpTransferKind::None &&
      !client.TransferAborted) {
    client.TransferAborted = true;
    client.TransferMessage = kMsgDataReplaced;
  }
  // One still waiting for its connection gets its final reply now. Left waiting, it
  // never had one, and took the new port's connection as its own: a download told
  // "226" for bytes that never went, an upload that made an empty file.
  if ((client.PassiveWaiting || client.SendStartPending) && !client.DataSessionActive &&
      client.TransferKind != TFtpTransferKind::None) {
    client.TransferAborted = true;
    client.TransferMessage = kMsgDataReplaced;
    FireDataSessionClosed(client, 0);
  }
  client.DataWSocket->Close();
  client.DataDraining = false;
  ClosePassiveListener(client);
  ReleasePasvPort(client);
  client.PassiveArmed = client.PassiveWaiting = client.PassiveAccepted = false;

  auto port = pasvPorts_.Acquire();
  if (!port) throw FtpServerException(kMsgNoPasvPorts);
  client.PasvPort = *port;

  TWSocket& listener = *client.PasvWSocket;
  listener.SetAddr("0.0.0.0");
  listener.SetPort(std::to_string(*port));
  listener.SetProto("tcp");
  listener.OnSessionAvailable = [this, &client](TCustomWSocket&, int e) {
    PassiveSessionAvailable(client, e);
  };
  listener.SetComponentOptions({wsoNoReceiveLoop});
  listener.Listen();
  return std::atoi(listener.LocalBoundPort().c_str());
}


// The listener is up and its reply given: the client's connection may come.
void TFtpServer::ArmPassive(TFtpCtrlSocket& client) {
  client.PassiveArmed = true;
  client.DataWaitSince = std::chrono::steady_clock::now();
  ArmLimits(client);
}

// What a failed PASV or EPSV leaves: no listener and no range port.
void TFtpServer::DropPassive(TFtpCtrlSocket& client) {
    try {
      ClosePassiveListener(client);
    } catch (...) {
      // The listener is being dropped; a failure to close it changes nothing.
    }
    ReleasePasvPort(client);
}

void TFtpServer::CommandPASV(TFtpCtrlSocket& client, std::string&, std::string&,
                             std::string& answer) {
  if (client.EpsvAll) {
    answer = kReplyEpsvAllOnly;
    return;
  }
  try {
    std::string localAddr = client.LocalBoundAddr();
    const int bound = OpenPassive(client);
    std::uint32_t addr;
    if (client.PeerAddr() == "127.0.0.1") {
      addr = 0x7F000001;
    } else if (!PasvIpAddr.empty()) {
      auto parsed = ParseDottedAddress(PasvIpAddr);
      if (!parsed) throw FtpServerException(kMsgBadPasvIp);
      addr = *parsed;
    } else {
      addr = ParseDottedAddress(localAddr).value_or(0);
    }
    answer = PasvReplyText(addr, bound);
    ArmPassive(client);
  } catch (const std::exception& e) {
    answer = FtpFormat(kReplyPasvFailed, e.what());
    DropPassive(client);
  }
}

// RFC 2428 section 3: the port alone; the client connects to the address it already
// uses for the control connection, so no address can be wrong behind a router.
void TFtpServer::CommandEPSV(TFtpCtrlSocket& client, std::string&, std::string& params,
                             std::string& answer) {
  const std::string arg = FtpUpper(FtpTrim(params));
  if (arg == "ALL") {
    client.EpsvAll = true;
    answer = kReplyEpsvAll;
    return;
  }
  if (!arg.empty() && arg != "1") {
    answer = kReplyNetProtoBad;
    return;
  }
  try {
    answer = FtpFormat(kReplyEpsv, OpenPassive(client));
    ArmPassive(client);
  } catch (const std::exception& e) {
    answer = FtpFormat(kReplyPasvFailed, e.what());
    DropPassive(client);
  }
}

// RFC 2428 section 2: "EPRT |1|a.b.c.d|port|", any printable delimiter. As with
// PORT, only the client itself on an unprivileged port may be the other end.
void TFtpServer::CommandEPRT(TFtpCtrlSocket& client, std::string&, std::string& params,
                             std::string& answer) {
  if (client.EpsvAll) {
    answer = kReplyEpsvAllOnly;
    return;
  }
  answer = kReplyEprtBad;
  const std::string arg = FtpTrim(params);
  if (arg.size() < 7 || arg[0] < 33 || arg[0] > 126 || arg.back() != arg[0]) return;
  std::vector<std::string> fields;
  std::size_t at = 1;
  for (std::size_t next; (next = arg.find(arg[0], at)) != std::string::npos; at = next + 1)
    fields.push_back(arg.substr(at, next - at));
  if (fields.size() != 3) return;
  if (fields[0] != "1") {
    if (fields[0] == "2") answer = kReplyNetProtoBad;
    return;
  }
  const auto addr = ParseDottedAddress(fields[1]);
  std::int64_t port = 0;
  if (fields[2].empty() || fields[2].size() > 5 || !IsDigits(fields[2])) return;
  port = std::stoll(fields[2]);
  if (!addr || addr != ParseDottedAddress(client.PeerAddr()) || port < 1024 || port > 65535)
    return;
  client.ActiveDataAddr = client.PeerAddr();
  client.ActiveDataPort = std::to_string(port);
  answer = kReplyEprtOk;
}

void TFtpServer::PassiveSessionAvailable(TFtpCtrlSocket& client, int error) {
  if (error != 0) return;
  FileHandle accepted(client.PasvWSocket->Accept());
  if (!accepted.Valid()) return;
  // Someone other than the client that asked for this port connected first:
  // drop them and keep waiting, so a transfer cannot be stolen or planted.
  native::TSockAddrIn peer;
  if (native::PeerName(accepted.Get(), peer) != 0 ||
      native::DottedAddr(peer.addr) != client.PeerAddr())
    return;

  client.PasvWSocket->OnSessionAvailable = nullptr;
  client.PasvWSocket->Close();
  if (IsStoreKind(client.TransferKind))
    AttachStoreHandlers(client);
  else if (client.TransferKind != TFtpTransferKind::None)
    AttachSendHandlers(client);
  else
    WatchIdlePassiveConnection(client);
  client.DataWSocket->SetLingerOnOff(wsLingerOff);
  client.DataWSocket->SetLingerTimeout(0);
  client.DataWSocket->SetSocketHandle(accepted.Release());
  client.PassiveAccepted = true;
  SecureDataConnection(client, [this](TFtpCtrlSocket& c) {
    if (c.PassiveWaiting) IsStoreKind(c.TransferKind) ? StoreConnected(c, 0) : SendConnected(c, 0);
  });
}

// ---------------------------------------------------------------------------
// Uploads

void TFtpServer::StartStore(TFtpCtrlSocket& client, const std::string& params,
                            std::string& answer, TFtpTransferKind kind, bool reserve) {
  client.TransferKind = kind;
  client.TransferBytes = 0;
  client.TransferFileBusy = false;
  client.StreamOwned = false;
  client.TransferStream.reset();
  client.TransferAborted = false;
  client.TransferMessage = kMsgTransferOk;
  std::string path = BuildFilePath(client, client.CurrentDirectory, client.ClientFileName);
  if (!Validate(OnValidatePut, client, path)) {
    DropTransfer(client);
    answer = kind == TFtpTransferKind::Appe ? kReplyCannotAppe : kReplyPermissionDenied;
    return;
  }
  // A folder that is not there takes no upload: said now, with a final reply, not
  // after "150" with a 426 that clients took for passing and tried again for ever.
  THostPlace place = client.TakeJudged(path);
  const std::size_t cut = path.rfind('\\');
  const bool folderThere = place.Located() ? place.Folder() >= 0
                                           : cut == std::string::npos ||
                                                 HostFs::DirectoryExists(path.substr(0, cut + 1));
  if (!folderThere)
    throw FtpServerException("Cannot create file \"" + path + "\". " + THostStatus::Missing().Message());
  client.HostFilePath = path;
  client.TransferPlace = std::move(place);
  if (reserve) {
    // Made with an exclusive create, so two sessions are never handed one name,
    // and only now that the upload is allowed: a refused STOU makes nothing.
    THostFile file;
    THostStatus status = file.Open(client.TransferPlace, THostFile::hfmCreateNew);
    if (!status) throw FtpServerException(status.Message());
    client.ReservedFile = path;
  }
  StartDataSide(client, true, kind != TFtpTransferKind::Appe);
  if (kind == TFtpTransferKind::Appe) {
    THostEntry entry;
    client.RestartOffset =
        HostFs::Stat(client.TransferPlace, entry) && !entry.directory ? entry.size : 0;
    answer = FtpFormat(kReplyAppeOpening, params.c_str(),
                       static_cast<long long>(client.RestartOffset));
  } else {
    answer = FtpFormat(kReplyOpening, params.c_str());
  }
}

void TFtpServer::CommandSTOR(TFtpCtrlSocket& client, std::string&, std::string& params,
                             std::string& answer) {
  try {
    client.ClientFileName = SlashesToBackslashes(params);
    StartStore(client, params, answer, TFtpTransferKind::Stor);
  } catch (const std::exception& e) {
    DropTransfer(client);
    answer = FtpFormat(kReplyCannotStor, e.what());
  }
}

void TFtpServer::CommandAPPE(TFtpCtrlSocket& client, std::string&, std::string& params,
                             std::string& answer) {
  try {
    client.ClientFileName = SlashesToBackslashes(params);
    StartStore(client, params, answer, TFtpTransferKind::Appe);
  } catch (const std::exception&) {
    DropTransfer(client);
    answer = kReplyAppeFailed;
  }
}

void TFtpServer::CommandSTOU(TFtpCtrlSocket& client, std::string&, std::string&,
                             std::string& answer) {
  try {
    std::string name;
    if (OnGetUniqueFileName) OnGetUniqueFileName(*this, client, name);
    const bool generated =
        name.empty() || HostFs::FileExists(BuildFilePath(client, client.CurrentDirectory, name));
    if (generated) name = client.CurrentDirectory + UnusedFileName(client.CurrentDirectory, "FTP");
    client.ClientFileName = SlashesToBackslashes(name);
    StartStore(client, name, answer, TFtpTransferKind::Stou, generated);
  } catch (const std::exception& e) {
    // The name made for it goes too: a STOU refused for want of a data connection
    // left one empty file per try.
    DropReservedFile(client);
    DropTransfer(client);
    answer = FtpFormat(kReplyCannotStou, e.what());
  }
}

void TFtpServer::DropReservedFile(TFtpCtrlSocket& client) {
  const std::string reserved = std::exchange(client.ReservedFile, {});
  // Only while it is still the empty file STOU made; should the delete fail, the
  // reply has already told the client what it needs to know.
  // The place is the reserved name's only while no later transfer has taken it.
  THostEntry entry;
  if (!reserved.empty() && reserved == client.HostFilePath &&
      HostFs::Stat(client.TransferPlace, entry) && !entry.directory && entry.size == 0)
    static_cast<void>(HostFs::DeleteFile(client.TransferPlace));
}

// Nothing to do when the upload has its stream already (the owner's, or one opened
// before) or names no file.
void TFtpServer::OpenStoreFile(TFtpCtrlSocket& client) {
  if (client.TransferStream || client.StreamOwned || client.HostFilePath.empty()) return;
  THostEntry entry;
  const bool fileThere = HostFs::Stat(client.TransferPlace, entry) && !entry.directory;
  THostFile::TMode mode;
  if (client.TransferKind == TFtpTransferKind::Appe && fileThere)
    mode = THostFile::hfmReadWrite;
  else if (client.RestartOffset < 1)
    mode = THostFile::hfmCreate;
  else
    mode = THostFile::hfmWrite;
  // Writing past the end would fill the gap with zeros: REST 1 TiB and three bytes
  // made a terabyte file. A file that does not exist fails its open as it always did.
  if (mode == THostFile::hfmWrite && fileThere && entry.size < client.RestartOffset)
    throw FtpServerException(kMsgRestartBeyondEnd);
  std::unique_ptr<TFtpFileStream> stream;
  try {
    stream = std::make_unique<TFtpFileStream>(client.HostFilePath, mode, client.TransferPlace);
  } catch (const EFtpFileBusy&) {
    client.TransferFileBusy = true;
    throw;
  }
  stream->Seek(client.RestartOffset);
  client.TransferStream = std::move(stream);
  client.StreamOwned = true;
  if (OnStorFileOpened) OnStorFileOpened(*this, client);
}

void TFtpServer::StoreConnected(TFtpCtrlSocket& client, int error) {
  client.DataSessionActive = error == 0;
  client.LastDataAt = std::chrono::steady_clock::now();
  ArmLimits(client);
  client.PassiveArmed = false;
  if (OnStorSessionConnected) OnStorSessionConnected(*this, client, *client.DataWSocket, error);
  if (error != 0) {
    client.TransferAborted = true;
    client.TransferMessage = FtpFormat(kMsgDataConnectError, error);
    AbortDataConnection(client);
  }
}

void TFtpServer::StoreDataAvailable(TFtpCtrlSocket& client, int error) {
  if (!OnStorDataAvailable && !client.TransferAborted && client.DataWSocket->CanReceiveToFile() &&
      SpliceStoreData(client))
    return;
  auto& buf = client.UploadBuffer();
  int n = client.DataWSocket->Receive(buf.data(), static_cast<int>(buf.size()));
  if (n <= 0 || client.TransferAborted) return;
  client.LastDataAt = std::chrono::steady_clock::now();
  try {
    if (OnStorDataAvailable)
      OnStorDataAvailable(*this, client, *client.DataWSocket, buf.data(), n, error);
    OpenStoreFile(client);
    if (client.TransferStream) {
      client.TransferStream->Write(buf.data(), n);
      client.TransferBytes += n;
    }
  } catch (const std::exception& e) {
    FailTransfer(client, e.what());
  }
}

// Nobody needs to see the bytes: they go from the socket to the file without a
// copy through the program. The file opens before the first read, since bytes taken
// from the socket have nowhere else to go. False, with nothing read, when the upload
// goes to a stream of the owner's that must see every byte.
bool TFtpServer::SpliceStoreData(TFtpCtrlSocket& client) {
  constexpr std::int32_t kUploadSlice = 1 << 20;  // one turn's share for one upload
  try {
    OpenStoreFile(client);
    const int fd = client.TransferStream ? client.TransferStream->SpliceTarget() : -1;
    if (fd < 0) return false;
    int fileErrno = 0;
    const int n = client.DataWSocket->ReceiveToFile(fd, kUploadSlice, fileErrno);
    if (fileErrno != 0)
      throw FtpServerException(WriteErrorText(client.HostFilePath, THostStatus(fileErrno)));
    if (n > 0) {
      client.LastDataAt = std::chrono::steady_clock::now();
      client.TransferBytes += n;
    }
  } catch (const std::exception& e) {
    FailTransfer(client, e.what());
  }
  return true;
}

void TFtpServer::StoreClosed(TFtpCtrlSocket& client, int error) {
  // Ends that look whole and may not be: an encrypted upload ends with close_notify,
  // and an end without it may be a reset forged by anyone on the path; a client that
  // finished waits for the reply, and one whose control connection ended with the
  // data (killed, or its machine gone) most likely did not send it all.
  if (!client.TransferAborted && error == 0) {
    const char* cut = client.DataWSocket->TlsEndedUncleanly() ? kMsgTlsCutShort
                      : client.PeerEndedQuietly()             ? kMsgClientGone
                                                              : nullptr;
    if (cut) {
      client.TransferAborted = true;
      client.TransferMessage = cut;
    }
  }
  // An upload that carried no data still leaves its (empty) file.
  if (!client.TransferAborted && error == 0) {
    try {
      OpenStoreFile(client);
    } catch (const std::exception& e) {
      client.TransferMessage = e.what();
      client.TransferAborted = true;
    }
  }
  // What the file holds of this upload. Counted write by write, a full disk left out
  // what its last write had put on the disk, up to a megabyte.
  if (client.TransferStream && client.StreamOwned) {
    const std::int64_t written = client.TransferStream->BytesWritten();
    if (written >= 0) client.TransferBytes = written;
  }
  TFtpTransferKind kind = client.TransferKind;
  if (kind == TFtpTransferKind::Stou && (client.TransferAborted || error != 0) &&
      client.TransferBytes == 0)
    DropReservedFile(client);
  client.ReservedFile.clear();
  ResetDataSession(client);
  if (OnStorSessionClosed) OnStorSessionClosed(*this, client, *client.DataWSocket, error);
  if (client.TransferAborted)
    SendAnswer(client, FtpFormat(kReplyClosedBecause, client.TransferMessage.c_str()));
  else if (error != 0)
    SendAnswer(client, FtpFormat(kReplyClosedError, error));
  else if (kind == TFtpTransferKind::Stou)
    SendAnswer(client, FtpFormat(kReplyStouCreated, client.ClientFileName.c_str()));
  else
    SendAnswer(client, kReplyReceivedOk);
}

// ---------------------------------------------------------------------------
// Downloads and listings

void TFtpServer::CommandRETR(TFtpCtrlSocket& client, std::string&, std::string& params,
                             std::string& answer) {
  try {
    client.TransferKind = TFtpTransferKind::Retr;
    client.StreamOwned = false;
    client.TransferStream.reset();
    client.ClientFileName = SlashesToBackslashes(params);
    std::string path = BuildFilePath(client, client.CurrentDirectory, client.ClientFileName);
    if (!Validate(OnValidateGet, client, path)) {
      DropTransfer(client);
      answer = kReplyCannotRetrRefused;
      return;
    }
    client.HostFilePath = path;
    client.TransferPlace = client.TakeJudged(path);
    answer = FtpFormat(kReplyOpening, params.c_str());
    bool delayedSend = false;
    if (OnGetProcessing) OnGetProcessing(*this, client, delayedSend);
    if (!delayedSend) StartSendingFile(client);
  } catch (const std::exception& e) {
    DropTransfer(client);
    answer = FtpFormat(kReplyCannotRetr, e.what());
  }
}

void TFtpServer::StartSendingFile(TFtpCtrlSocket& client) {
  client.SendStartPending = true;
  PostNotice(client, [this](TFtpCtrlSocket& c) {
    // A new port asked for meanwhile ended this transfer with its reply.
    if (std::exchange(c.SendStartPending, false) && c.TransferKind != TFtpTransferKind::None)
      StartSend(c);
  });
}

void TFtpServer::CommandLIST(TFtpCtrlSocket& client, std::string&, std::string& params,
                             std::string& answer) {
  ListCommand(client, params, answer, TFtpListFormat::List);
}

void TFtpServer::CommandNLST(TFtpCtrlSocket& client, std::string&, std::string& params,
                             std::string& answer) {
  ListCommand(client, params, answer, TFtpListFormat::Nlst);
}

void TFtpServer::CommandMLSD(TFtpCtrlSocket& client, std::string&, std::string& params,
                             std::string& answer) {
  ListCommand(client, params, answer, TFtpListFormat::Mlsd);
}

namespace {

// Leading words that begin with "-" are options of a Unix ls ("-a", "-la", "-R"),
// not names: "LIST -a sub" lists sub. With nothing else the current folder is meant.
// An "a" or "A" among them asks for the names that begin with a dot too.
std::string WithoutListOptions(std::string params, bool& all) {
  all = false;
  while (!params.empty() && params[0] == '-') {
    const std::size_t end = params.find_first_of(" \t");
    all = all || params.substr(0, end).find_first_of("aA") != std::string::npos;
    const std::size_t next = params.find_first_not_of(" \t", end);
    params = next == std::string::npos ? std::string() : params.substr(next);
  }
  return params;
}

}  // namespace

TBuildFilePathHook TFtpServer::PathHook(TFtpCtrlSocket& client) {
  return [this, &client](const std::string& dir, const std::string& name, std::string& result) {
    if (OnBuildFilePath) OnBuildFilePath(*this, client, dir, name, result);
  };
}

// A name of nothing lists the current folder, so judging only what is finally listed
// told a client, refused or not, whether a path outside the shares exists ("NLST
// /etc/shadow" versus "NLST /etc/nothere"): the name is judged first, whether it
// exists or not, then what gets listed.
bool TFtpServer::ListingAllowed(TFtpCtrlSocket& client, const std::string& params) {
  if (!OnValidateList) return true;
  if (!params.empty()) {
    std::string named = BuildFilePath(client, client.CurrentDirectory, params);
    if (!Validate(OnValidateList, client, named)) return false;
  }
  std::string pattern = ListingPattern(client.CurrentDirectory, params, PathHook(client));
  return Validate(OnValidateList, client, pattern);
}

// MLSD names a folder (RFC 3659 section 7): a name of nothing listed the current
// folder in its place, and a mirroring client walked that copy for ever. A missing
// one is told apart from a file: mirroring clients make a folder they are told (550)
// is not there. True, with its answer, when params names no folder.
bool TFtpServer::MlsdNamesNoFolder(TFtpCtrlSocket& client, const std::string& params,
                                   std::string& answer) {
  if (params.empty()) return false;
  const std::string named = BuildFilePath(client, client.CurrentDirectory, params);
  if (HostFs::DirectoryExists(named)) return false;
  answer = FtpFormat(HostFs::FileExists(named) ? kReplyMlsdNotFolder : kReplyMlsdNoFolder,
                     FtpSingleLine(params).c_str());
  return true;
}

// The listing read as the data connection drains, or, where the owner alters
// listings, built whole for it to change.
void TFtpServer::OpenListing(TFtpCtrlSocket& client, std::string& params, TFtpListFormat format,
                             bool withHidden) {
  const bool detailed = format != TFtpListFormat::Nlst;
  if (OnBuildDirectory) OnBuildDirectory(*this, client, params, detailed);
  if (client.TransferStream) return;
  if (!OnAlterDirectory || format == TFtpListFormat::Mlsd) {
    const std::string pattern = ListingPattern(client.CurrentDirectory, params, PathHook(client));
    const TFtpFolderRights rights =
        format == TFtpListFormat::Mlsd ? FolderRights(client, pattern) : TFtpFolderRights{};
    client.TransferStream = std::make_unique<TFtpListingStream>(
        pattern, client.TakeJudged(pattern.substr(0, pattern.rfind('\\') + 1)), format, rights,
        withHidden);
    client.StreamOwned = true;
    return;
  }
  auto stream = std::make_unique<TFtpMemoryStream>();
  BuildDirectoryListing(client.CurrentDirectory, params, detailed, stream->Data(),
                        PathHook(client), withHidden);
  client.TransferStream = std::move(stream);
  client.StreamOwned = true;
  OnAlterDirectory(*this, client, params, detailed);
  client.TransferStream->Seek(0);
}

void TFtpServer::ListCommand(TFtpCtrlSocket& client, std::string& params, std::string& answer,
                             TFtpListFormat format) {
  try {
    client.TransferKind = format == TFtpListFormat::Nlst ? TFtpTransferKind::Nlst
                                                         : TFtpTransferKind::List;
    client.TransferStream.reset();
    client.StreamOwned = false;
    bool all = false;
    params = WithoutListOptions(SlashesToBackslashes(params), all);
    if (!ListingAllowed(client, params)) {
      // A refusal is final: answered 451, a passing failure, clients asked again for
      // ever, or gave up on a whole share whose parent they list first.
      client.TransferKind = TFtpTransferKind::None;
      answer = FtpFormat(kReplyListRefused, kMsgNoPermission);
      return;
    }
    if (format == TFtpListFormat::Mlsd && MlsdNamesNoFolder(client, params, answer)) {
      client.TransferKind = TFtpTransferKind::None;
      return;
    }
    OpenListing(client, params, format, all);
    client.HostFilePath.clear();
    answer = format == TFtpListFormat::Mlsd ? kReplyOpeningMlsd : kReplyOpeningList;
    client.TransferAborted = false;
    client.SendComplete = false;
    client.TransferMessage = kMsgTransferOk;
    StartDataSide(client, false, true);
  } catch (const std::exception& e) {
    client.TransferKind = TFtpTransferKind::None;
    client.TransferStream.reset();
    answer = FtpFormat(kReplyListFailed, e.what());
  }
}

void TFtpServer::StartSend(TFtpCtrlSocket& client) {
  client.TransferAborted = false;
  client.SendComplete = false;
  client.TransferMessage = kMsgTransferOk;
  try {
    StartDataSide(client, false, true);
  } catch (const std::exception& e) {
    // No connection could even be started (no PORT yet): say so now rather than
    // leave the client waiting for a transfer that will never come.
    DetachDataHandlers(client);
    ResetDataSession(client);
    SendAnswer(client, FtpFormat(kReplyCannotRetr, e.what()));
  }
}

void TFtpServer::FailTransfer(TFtpCtrlSocket& client, const std::string& message) {
  client.TransferAborted = true;
  client.TransferMessage = message;
  AbortDataConnection(client);
}

// On the next turn: the data socket's own handler may be running now.
void TFtpServer::AbortDataConnection(TFtpCtrlSocket& client) {
  PostNotice(client, [](TFtpCtrlSocket& c) {
    c.DataWSocket->Shutdown(2);
    c.DataWSocket->Close();
  });
}

void TFtpServer::SendConnected(TFtpCtrlSocket& client, int error) {
  client.DataSessionActive = error == 0;
  client.LastDataAt = std::chrono::steady_clock::now();
  ArmLimits(client);
  client.PassiveArmed = false;
  try {
    if (OnRetrSessionConnected) OnRetrSessionConnected(*this, client, *client.DataWSocket, error);
    if (error != 0) throw FtpServerException(FtpFormat(kMsgDataConnectError, error));
    // A client that ends its sending side may still be reading (a data connection
    // only ever carries one direction), so in clear the sending goes on, and a
    // client that has really gone shows as a failed send. close_notify ends the
    // session both ways for TLS 1.2 peers (RFC 5246 section 7.2.1), and no client
    // reads on after it: there it ends the transfer.
    client.DataWSocket->KeepOpenOnPeerEnd(!client.DataWSocket->TlsActive());
    // Read to its end, a download can carry the ticket the client resumes next time
    // (curl fetching several files on one connection).
    client.DataWSocket->TlsOfferTicket();
    if (!client.TransferStream && !client.StreamOwned && !client.HostFilePath.empty()) {
      auto stream = std::make_unique<TFtpFileStream>(client.HostFilePath, THostFile::hfmRead,
                                                     client.TransferPlace);
      stream->Seek(client.RestartOffset);
      client.TransferStream = std::move(stream);
      client.StreamOwned = true;
    }
    SendNextBlock(client);
  } catch (const std::exception& e) {
    FailTransfer(client, e.what());
  }
}

void TFtpServer::SendNextBlock(TFtpCtrlSocket& client) {
  int fd = -1;
  std::int64_t offset = 0, length = 0;
  if (client.TransferStream && client.TransferStream->TakeFileRange(fd, offset, length)) {
    client.DataWSocket->SendFileRange(fd, offset, length);
    return;
  }
  auto& buf = client.BlockBuffer();
  std::int64_t n = client.TransferStream
                       ? client.TransferStream->Read(buf.data(), static_cast<std::int64_t>(buf.size()))
                       : 0;
  if (n > 0) {
    client.DataWSocket->Send(buf.data(), static_cast<int>(n));
  } else if (!client.SendComplete) {
    client.SendComplete = true;
    PostNotice(client, [this](TFtpCtrlSocket& c) { FinishSend(c); });
  }
}

// The last byte is out of the program's hands. A plain connection then only shuts its
// sending side (the end of the file for the client) and stays until the client has
// read what the kernel still holds, or closes: a slow reader was still taking the
// file when its control connection, quiet meanwhile, was cut as idle.
void TFtpServer::FinishSend(TFtpCtrlSocket& client) {
  TWSocket& data = *client.DataWSocket;
  if (data.TlsActive() || data.State() != wsConnected || data.UnsentByteCount() <= 0) {
    data.Close();
    return;
  }
  data.KeepOpenOnPeerEnd(false);
  data.Shutdown(1);
  data.NoteSendStalled();
  FireDataSessionClosed(client, 0);
  client.DataDraining = true;
  data.OnDataAvailable = [&data](TCustomWSocket&, int) {
    char sink[4096];
    data.Receive(sink, sizeof sink);
  };
  data.OnSessionClosed = [&client](TCustomWSocket&, int) { client.DataDraining = false; };
  ArmLimits(client);
}

void TFtpServer::SendDataSent(TFtpCtrlSocket& client, int error) {
  if (client.TransferAborted) return;
  client.LastDataAt = std::chrono::steady_clock::now();
  try {
    if (OnRetrDataSent) OnRetrDataSent(*this, client, *client.DataWSocket, error);
    if (error != 0) throw FtpServerException(FtpFormat(kMsgSendError, error));
    SendNextBlock(client);
  } catch (const std::exception& e) {
    client.TransferMessage = e.what();
    client.TransferAborted = true;
    SendAnswer(client, FtpFormat(kReplyClosedBecause, client.TransferMessage.c_str()));
    AbortDataConnection(client);
  }
}

namespace {

// A client that knows the size may end the connection as the last byte arrives, a
// moment before the end of the stream is noticed here. Left means still queued on the
// socket (a file range included), or still in the stream; the transfer is over either
// way, so what the stream would still give may be taken to find out.
bool BytesLeftToSend(TFtpCtrlSocket& client) {
  if (client.SendComplete) return false;
  if (client.DataWSocket && !client.DataWSocket->AllSent()) return true;
  if (!client.TransferStream) return false;
  int fd = -1;
  std::int64_t offset = 0, length = 0;
  if (client.TransferStream->TakeFileRange(fd, offset, length)) return length > 0;
  char probe = 0;
  return client.TransferStream->Read(&probe, 1) > 0;
}

}  // namespace

void TFtpServer::SendClosed(TFtpCtrlSocket& client, int error) {
  const bool cutShort = BytesLeftToSend(client);
  ResetDataSession(client);
  if (client.TransferAborted)
    SendAnswer(client, FtpFormat(kReplyCannotRetr, client.TransferMessage.c_str()));
  else if (cutShort || error != 0)
    // The client must not take a part of the file for all of it, and a client that
    // ends a download early on purpose (one of several streams of a split download)
    // must be able to tell that from a failed command: 426, as for an upload, where a
    // 501 (a syntax error) made such a client give the whole job up.
    SendAnswer(client, error != 0 ? FtpFormat(kReplyClosedError, error)
                                  : FtpFormat(kReplyClosedBecause, kMsgTransferAborted));
  else
    SendAnswer(client, kReplySentOk);
  if (OnRetrSessionClosed) OnRetrSessionClosed(*this, client, *client.DataWSocket, error);
}

// ---------------------------------------------------------------------------
// REST and ABOR

void TFtpServer::CommandREST(TFtpCtrlSocket& client, std::string&, std::string& params,
                             std::string& answer) {
  long long n = 0;
  const char* first = params.data();
  const char* last = params.data() + params.size();
  if (first != last && *first == '+') ++first;
  auto [end, ec] = std::from_chars(first, last, n);
  if (params.empty() || ec != std::errc() || end != last) {
    client.RestartOffset = 0;
    answer = FtpFormat(kReplyRestSyntax, FtpFormat(kMsgNotAnInteger, params.c_str()).c_str());
  } else if (n < 0) {
    client.RestartOffset = 0;
    answer = kReplyRestNegative;
  } else {
    client.RestartOffset = n;
    answer = FtpFormat(kReplyRestOk, n);
  }
}

void TFtpServer::CommandABOR(TFtpCtrlSocket& client, std::string&, std::string&,
                             std::string& answer) {
  if (client.DataWSocket->State() == wsConnected) {
    client.TransferMessage = kMsgAbortRequested;
    client.TransferAborted = true;
    client.DataWSocket->Close();
  }
  answer = kReplyAborOk;
}
