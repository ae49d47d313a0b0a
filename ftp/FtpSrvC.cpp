#include "ftp/FtpSrvC.h"

#include <cstring>
#include <utility>

#include "ftp/FtpSrvParse.h"
#include "ftp/FtpSrvReplies.h"

// ---------------------------------------------------------------------------
// Streams

std::int64_t TFtpMemoryStream::Read(char* buf, std::int64_t count) {
  std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(count), data_.size() - pos_);
  std::memcpy(buf, data_.data() + pos_, n);
  pos_ += n;
  return static_cast<std::int64_t>(n);
}

void TFtpMemoryStream::Write(const char* buf, std::int64_t count) {
  data_.replace(pos_, std::min<std::size_t>(static_cast<std::size_t>(count), data_.size() - pos_),
                buf, static_cast<std::size_t>(count));
  pos_ += static_cast<std::size_t>(count);
}

void TFtpMemoryStream::Seek(std::int64_t offset) {
  pos_ = std::min<std::size_t>(static_cast<std::size_t>(std::max<std::int64_t>(offset, 0)),
                               data_.size());
}

TFtpFileStream::TFtpFileStream(const std::string& path, THostFile::TMode mode,
                               const THostPlace& place)
    : path_(path) {
  TOpenOptions options;
  options.transfer = true;
  THostStatus status = file_.Open(place, mode, options);
  if (!status) {
    const char* what = mode == THostFile::hfmCreate ? "Cannot create file" : "Cannot open file";
    const std::string text = std::string(what) + " \"" + path + "\". " + status.Message();
    if (status.Busy()) throw EFtpFileBusy(text);
    throw FtpServerException(text);
  }
}

bool TFtpFileStream::TakeFileRange(int& fd, std::int64_t& offset, std::int64_t& length) {
  if (taken_) return false;
  fd = file_.Fd();
  offset = file_.Position();
  length = file_.Size() - offset;
  taken_ = true;
  return fd >= 0 && offset >= 0 && length > 0;
}

std::int64_t TFtpFileStream::Read(char* buf, std::int64_t count) {
  if (taken_) return 0;
  THostStatus status;
  std::int64_t n = file_.Read(buf, count, &status);
  if (n < 0) throw FtpServerException("Read error on \"" + path_ + "\". " + status.Message());
  return n;
}

void TFtpFileStream::Write(const char* buf, std::int64_t count) {
  THostStatus status = file_.Write(buf, count);
  if (!status) throw FtpServerException(WriteErrorText(path_, status));
}

std::string WriteErrorText(const std::string& path, const THostStatus& status) {
  return "Write error on \"" + path + "\". " + status.Message();
}

void TFtpFileStream::Seek(std::int64_t offset) {
  THostStatus status = file_.Seek(offset);
  if (!status) throw FtpServerException("Seek error on \"" + path_ + "\". " + status.Message());
  origin_ = offset;
}

// ---------------------------------------------------------------------------
// The control connection

THostPlace TFtpCtrlSocket::TakeJudged(const std::string& path) {
  if (Judged.Empty()) return THostPlace::Named(path);
  return std::exchange(Judged, THostPlace());
}

TFtpCtrlSocket::TFtpCtrlSocket()
    : Banner(kCtrlDefaultBanner),
      DataWSocket(std::make_unique<TWSocket>()),
      PasvWSocket(std::make_unique<TWSocket>()),
      rcvBuf_(static_cast<std::size_t>(kDefaultRcvSize)),
      block_(static_cast<std::size_t>(kDefaultRcvSize)) {
  DataWSocket->SetName("DataWSocket");
  // A graceful close: with a zero-second linger the kernel would reset the
  // connection and could throw away "221 Goodbye." before it left the machine.
  SetLingerOnOff(wsLingerOff);
  OnDataAvailable = [this](TCustomWSocket&, int error) { ReceiveCommandLines(error); };
}

TFtpCtrlSocket::~TFtpCtrlSocket() {
  // The data sockets die with the session; nothing of theirs may report back
  // to a server handler about a session that is gone.
  for (TWSocket* s : {DataWSocket.get(), PasvWSocket.get()}) {
    s->OnSessionConnected = nullptr;
    s->OnSessionClosed = nullptr;
    s->OnDataAvailable = nullptr;
    s->OnDataSent = nullptr;
    s->OnSendData = nullptr;
    s->OnSessionAvailable = nullptr;
  }
}

std::vector<char>& TFtpCtrlSocket::UploadBuffer() {
  constexpr std::size_t kUploadBufferSize = 256 * 1024;
  if (upload_.size() < kUploadBufferSize) upload_.resize(kUploadBufferSize);
  return upload_;
}

void TFtpCtrlSocket::SetRcvSize(int size) {
  if (held_ > 0) throw EFtpCtrlSocketException("Data in buffer, can't change size");
  rcvSize_ = size;
  start_ = 0;
  rcvBuf_.assign(size > 0 ? static_cast<std::size_t>(size) : 0, '\0');
  block_.assign(size > 0 ? static_cast<std::size_t>(size) : 0, '\0');
}

void TFtpCtrlSocket::SetSocketHandle(int handle) {
  TCustomWSocket::SetSocketHandle(handle);
  cachedPeerAddr_ = TCustomWSocket::PeerAddr();
}

void TFtpCtrlSocket::TriggerSessionConnected(std::uint16_t error) {
  cachedPeerAddr_ = TCustomWSocket::PeerAddr();
  TCustomWSocket::TriggerSessionConnected(error);
}

void TFtpCtrlSocket::StartSession() {
  FtpState = ftpcWaitingUserCode;
  SendLine(Banner);
}

void TFtpCtrlSocket::SendLine(const std::string& text) { SendText(text + "\r\n"); }

void TFtpCtrlSocket::PauseCommands() {
  commandsPaused_ = true;
  Pause();
}

void TFtpCtrlSocket::ResumeCommands() {
  if (!commandsPaused_) return;
  commandsPaused_ = false;
  Resume();
  // Lines that arrived with the paused one wait in the buffer, where no read
  // notice will ever point at them again.
  if (held_ > 0) {
    auto alive = AliveToken();
    Endpoint().Post([this, alive] {
      if (!alive.expired() && !commandsPaused_) DeliverCommandLines();
    });
  }
}

void TFtpCtrlSocket::ReceiveCommandLines(int) {
  // Commands waiting for their turn, or held back by answers the client does not
  // read: reading more would only fill the buffer behind them.
  if (rcvSize_ < 2 || commandsPaused_ || OutputBlocked() || InputHeld()) return;
  if (start_ > 0 && start_ + held_ + 1 >= rcvSize_) {
    std::memmove(rcvBuf_.data(), rcvBuf_.data() + start_, static_cast<std::size_t>(held_));
    start_ = 0;
  }
  int room = rcvSize_ - start_ - held_ - 1;
  int n = room > 0 ? Receive(rcvBuf_.data() + start_ + held_, room) : 0;
  if (n <= 0) return;
  held_ += n;
  rcvBuf_[static_cast<std::size_t>(start_ + held_)] = '\0';
  DeliverCommandLines();
}

void TFtpCtrlSocket::DeliverHeldInput() {
  if (held_ > 0 && !commandsPaused_) DeliverCommandLines();
}

void TFtpCtrlSocket::DeliverCommandLines() {
  auto alive = AliveToken();
  int quota = kCommandsPerTurn;
  while (held_ > 0 && !commandsPaused_ && !OutputBlocked()) {
    char* start = rcvBuf_.data() + start_;
    auto* lf = static_cast<char*>(std::memchr(start, '\n', static_cast<std::size_t>(held_)));
    if (!lf) {
      if (held_ < rcvSize_ - 1) break;
      // A full buffer without a line end: the line is too long to ever be a
      // command. It becomes OVER, whose handler ends the session.
      start_ = 0;
      start = rcvBuf_.data();
      std::memcpy(start, "OVER\r\n", 6);
      held_ = 6;
      lf = start + 5;
    }
    if (quota-- == 0) return HoldCommands();
    int i = static_cast<int>(lf - start);
    int len = (i > 0 && start[i - 1] == '\r') ? i - 1 : i;
    if (OnCommand) OnCommand(*this, start, len);
    if (alive.expired()) return;
    if (i == held_ - 1 || dropHeld_) {
      dropHeld_ = false;
      held_ = 0;
      start_ = 0;
      break;
    }
    // The line's bytes stay where they are; the next command starts after them.
    start_ += i + 1;
    held_ -= i + 1;
  }
  SetInputHeld(false);
}

void TFtpCtrlSocket::HoldCommands() {
  SetInputHeld(true);
  if (deliveryPosted_) return;
  deliveryPosted_ = true;
  auto alive = AliveToken();
  Endpoint().Post([this, alive] {
    if (alive.expired()) return;
    deliveryPosted_ = false;
    if (!commandsPaused_ && State() == wsConnected) Guarded([this] { DeliverCommandLines(); });
  });
}
