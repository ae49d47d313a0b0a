#pragma once
// The socket layer numbers its errors as the original platform did (10054 connection
// reset, 10057 not connected, ...): those numbers reach FTP clients in replies and
// users in messages. This is the one place where errno becomes such a number.

#include <string>

namespace sockerr {
constexpr int kNone = 0;
constexpr int kInterrupted = 10004;
constexpr int kBadFile = 10009;
constexpr int kAccess = 10013;
constexpr int kFault = 10014;
constexpr int kInvalid = 10022;
constexpr int kTooManyFiles = 10024;
constexpr int kWouldBlock = 10035;
constexpr int kInProgress = 10036;
constexpr int kAlready = 10037;
constexpr int kNotSocket = 10038;
constexpr int kProtoNotSupported = 10043;
constexpr int kSockTypeNotSupported = 10044;
constexpr int kAddrInUse = 10048;
constexpr int kAddrNotAvail = 10049;
constexpr int kNetDown = 10050;
constexpr int kNetUnreach = 10051;
constexpr int kConnAborted = 10053;
constexpr int kConnReset = 10054;
constexpr int kNoBufs = 10055;
constexpr int kIsConn = 10056;
constexpr int kNotConn = 10057;
constexpr int kShutdown = 10058;
constexpr int kTimedOut = 10060;
constexpr int kConnRefused = 10061;
constexpr int kHostUnreach = 10065;
constexpr int kNotInitialised = 10093;
constexpr int kHostNotFound = 11001;
constexpr int kTryAgain = 11002;
constexpr int kNoRecovery = 11003;
constexpr int kNoData = 11004;
}  // namespace sockerr

// errno -> socket error number. An errno the table does not know is passed through
// unchanged, so its text reads "Not a WinSock error" rather than naming a wrong cause.
int SocketErrorFromErrno(int err);

// getaddrinfo/getnameinfo result (EAI_*) -> socket error number; EAI_SYSTEM takes
// the errno that came with it.
int SocketErrorFromLookup(int eaiCode, int savedErrno);

// The text of a socket error number, as shown to users and FTP clients.
std::string SocketErrorText(int code);
