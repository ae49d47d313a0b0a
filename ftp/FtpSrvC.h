#pragma once
// TFtpCtrlSocket: one FTP client's control connection, owned by its TFtpServer.
// It splits command lines itself in a fixed buffer (a line too long for it
// becomes the command OVER), remembers its peer address after the connection is
// gone, and carries the session's login, directory and transfer state, which the
// server's command handlers read and write.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ftp/FtpSrvParse.h"
#include "net/WSocket.h"
#include "platform/HostFs.h"
#include "platform/HostPlace.h"

enum TFtpCtrlState { ftpcInvalid, ftpcWaitingUserCode, ftpcWaitingPassword, ftpcReady, ftpcWaitingAnswer };

// The command whose data side has been started and whose data connection has
// not closed yet.
enum class TFtpTransferKind { None, Stor, Appe, Stou, Retr, List, Nlst };

inline bool IsStoreKind(TFtpTransferKind kind) {
  return kind == TFtpTransferKind::Stor || kind == TFtpTransferKind::Appe ||
         kind == TFtpTransferKind::Stou;
}

// What a listing's lines look like: LIST's long lines, NLST's bare names, MLSD's
// facts (RFC 3659 section 7).
enum class TFtpListFormat { List, Nlst, Mlsd };

// What a transfer reads from or writes to: a file, or a listing built in memory.
class TFtpStream {
public:
  virtual ~TFtpStream() = default;
  // Bytes read, 0 at the end; throws FtpServerException on failure.
  virtual std::int64_t Read(char* buf, std::int64_t count) = 0;
  // Writes all of it or throws FtpServerException.
  virtual void Write(const char* buf, std::int64_t count) = 0;
  virtual void Seek(std::int64_t offset) = 0;
  // A stream that is a plain file gives the rest of it as a file range, to go to the
  // socket without passing through the program, and reads nothing more itself.
  virtual bool TakeFileRange(int& fd, std::int64_t& offset, std::int64_t& length) {
    return false;
  }
  // A stream that is a plain file takes uploaded bytes straight from the socket
  // into this descriptor, at its position; -1 when it must see every byte itself.
  virtual int SpliceTarget() const { return -1; }
  // How far writes, its own or into SpliceTarget, have moved it since its last Seek,
  // the part of a failed write that reached the disk included; -1 when it cannot tell.
  virtual std::int64_t BytesWritten() const { return -1; }
};

class TFtpMemoryStream : public TFtpStream {
public:
  TFtpMemoryStream() = default;
  explicit TFtpMemoryStream(std::string data) : data_(std::move(data)) {}
  std::int64_t Read(char* buf, std::int64_t count) override;
  void Write(const char* buf, std::int64_t count) override;
  void Seek(std::int64_t offset) override;
  std::string& Data() { return data_; }

private:
  std::string data_;
  std::size_t pos_ = 0;
};

// What the session may do in a listed folder, for the perm facts of MLSD and MLST.
// Without an owner's rules everything the file system allows is claimed.
struct TFtpFolderRights {
  bool read = true;             // download its files
  bool write = true;            // upload, overwrite, make folders in it
  bool enterSubfolders = true;  // change into (and list) its subfolders
};

// What a failed write to an upload's file says, whichever way the bytes went.
std::string WriteErrorText(const std::string& path, const THostStatus& status);

// A transfer's file that another transfer holds: nothing of it was touched.
class EFtpFileBusy : public FtpServerException {
public:
  using FtpServerException::FtpServerException;
};

class TFtpFileStream : public TFtpStream {
public:
  // Throws FtpServerException worded like "Cannot open file "%s". <reason>",
  // EFtpFileBusy when another transfer holds the file. A transfer's file: claimed in
  // the program-wide table of transfers. It opens at place (what the share policy
  // located, or path as named), never where a link swapped in since would lead.
  TFtpFileStream(const std::string& path, THostFile::TMode mode, const THostPlace& place);
  std::int64_t Read(char* buf, std::int64_t count) override;
  void Write(const char* buf, std::int64_t count) override;
  void Seek(std::int64_t offset) override;
  bool TakeFileRange(int& fd, std::int64_t& offset, std::int64_t& length) override;
  int SpliceTarget() const override { return file_.Fd(); }
  std::int64_t BytesWritten() const override { return file_.Position() - origin_; }

private:
  std::string path_;
  THostFile file_;
  std::int64_t origin_ = 0;  // where the last Seek put it
  bool taken_ = false;  // handed over as a file range: nothing more to read
};

class TFtpCtrlSocket : public TCustomWSocket {
public:
  static constexpr int kDefaultRcvSize = 2048;
  // Commands run per turn of the loop; the rest follow from a posted notification,
  // so a client that sends thousands at once cannot hold every other session.
  static constexpr int kCommandsPerTurn = 64;

  TFtpCtrlSocket();
  ~TFtpCtrlSocket() override;

  // Login and paths.
  TFtpCtrlState FtpState = ftpcInvalid;
  std::string Banner;  // the greeting; the server replaces it at accept
  std::string UserName;
  std::string PassWord;
  int UserData = 0;
  int SessionId = 0;
  std::string StartDirectory = "C:\\TEMP\\";  // the owner may set it in OnAuthenticate
  std::string CurrentDirectory = "C:\\TEMP\\";
  std::string RenameSource;
  std::string RenameTarget;
  // Where the owner's check of the running command located what it allowed; the
  // command acts on that place, not on its path again. Empty when no check located
  // one: the command then acts on its path as named.
  THostPlace Judged;
  // Judged as it was for the transfer command: the file the transfer opens,
  // whatever the commands in between judged.
  THostPlace TransferPlace;
  THostPlace RenamePlace;  // Judged of the accepted RNFR
  // The place a command acts on: what the check located, else path as named.
  THostPlace TakeJudged(const std::string& path);
  bool CloseRequested = false;

  // The data connection and the transfer running on it.
  std::unique_ptr<TWSocket> DataWSocket;
  std::unique_ptr<TWSocket> PasvWSocket;  // listening for the passive connection
  std::string ActiveDataAddr;
  std::string ActiveDataPort;
  TFtpTransferKind TransferKind = TFtpTransferKind::None;
  std::string ClientFileName;
  std::string HostFilePath;
  std::unique_ptr<TFtpStream> TransferStream;  // an OnBuildDirectory handler may set it
  bool StreamOwned = false;  // the engine opened TransferStream itself
  bool DataSessionActive = false;
  bool TransferAborted = false;
  std::string TransferMessage;
  bool SendComplete = false;
  // A finished download's plain connection, kept until the client has read what the
  // kernel still holds for it.
  bool DataDraining = false;
  bool SendStartPending = false;  // RETR answered; its sending starts on the next turn
  std::int64_t RestartOffset = 0;
  std::int64_t TransferBytes = 0;  // bytes the running upload has written
  bool TransferFileBusy = false;   // the upload's file was held by another transfer
  bool PassiveArmed = false;
  bool PassiveWaiting = false;
  bool PassiveAccepted = false;
  int PasvPort = 0;  // the range port this session holds, 0 for none
  bool EpsvAll = false;  // EPSV ALL: no other command may set up data connections
  std::string ReservedFile;  // the empty file STOU made for its name, until data comes
  bool ProtPrivate = false;  // PROT P: data connections are encrypted

  // What the server's time limits measure (steady clock).
  using TTime = std::chrono::steady_clock::time_point;
  TTime ConnectedAt{};
  TTime LastActivityAt{};  // last command, or the end of the last transfer
  TTime DataWaitSince{};   // a passive listener or an active connect began
  TTime LastDataAt{};      // bytes last moved on the data connection
  TTime LastDataLookAt{};  // what the kernel holds for the peer was last looked at
  TLoopTimer LimitTimer;   // the nearest deadline of the session
  TTime LimitTimerFor{};
  TLoopTimer ReplyTimer;   // a reply held back (the pause after a wrong password)
  int FailedLogins = 0;
  bool ClosingForLimit = false;  // a limit ended the session; only the close is left
  bool SlotGivenAway = false;    // a newcomer holds its slot now, though it is not gone yet

  // Every complete command line, without its line end.
  std::function<void(TFtpCtrlSocket& client, const char* line, int len)> OnCommand;

  int RcvSize() const { return rcvSize_; }
  // Throws EFtpCtrlSocketException while unprocessed bytes are held.
  void SetRcvSize(int size);
  // The block buffer of transfers, RcvSize bytes.
  std::vector<char>& BlockBuffer() { return block_; }
  // The buffer uploads are read into: wide, so a fast client's bytes reach the file
  // in few calls; held only while an upload runs.
  std::vector<char>& UploadBuffer();
  void ReleaseUploadBuffer() { std::vector<char>().swap(upload_); }

  // Waits for USER and sends the greeting (no OnAnswerToClient for it).
  void StartSession();
  // Holds back command lines, those already received included, and stops reading
  // until ResumeCommands; nothing the client sends meanwhile is acted on.
  void PauseCommands();
  void ResumeCommands();
  bool CommandsPaused() const { return commandsPaused_; }
  // Sends text and CR LF as it is.
  void SendLine(const std::string& text);
  // Forgets command bytes received but not yet run: what came in clear behind
  // AUTH TLS must not run as if it had come encrypted.
  void DropHeldInput() { dropHeld_ = true; }

  // The peer's dotted address, also after the connection has closed.
  std::string PeerAddr() const override { return cachedPeerAddr_; }
  void SetSocketHandle(int handle) override;

protected:
  void TriggerSessionConnected(std::uint16_t error) override;
  void DeliverHeldInput() override;

private:
  void ReceiveCommandLines(int error);
  void DeliverCommandLines();
  void HoldCommands();

  std::vector<char> rcvBuf_;
  int rcvSize_ = kDefaultRcvSize;
  int start_ = 0;  // where the held bytes begin; moved to the front only for a read
  int held_ = 0;
  std::vector<char> block_;
  std::vector<char> upload_;
  std::string cachedPeerAddr_;
  bool commandsPaused_ = false;
  bool deliveryPosted_ = false;
  bool dropHeld_ = false;
};

class EFtpCtrlSocketException : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};
