#pragma once
// Thin wrappers over the TCP/IPv4 calls the socket layer needs. Each answers a socket
// error number (platform/SocketError.h), never errno, so nothing above platform/
// touches errno. Descriptors are made non-blocking and close-on-exec.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/FileHandle.h"

namespace native {

// An IPv4 endpoint; address and port in host byte order.
struct TSockAddrIn {
  std::uint32_t addr = 0;
  std::uint16_t port = 0;
};

std::string DottedAddr(std::uint32_t hostOrderAddr);

int NewTcpSocket(FileHandle& out);
int SetNonBlocking(int fd);
int SetReuseAddr(int fd);
int SetNoDelay(int fd);
int SetKeepAlive(int fd);
int SetLinger(int fd, bool on, int seconds);
int Bind(int fd, TSockAddrIn where);
int Listen(int fd, int backlog);
// A pending connection, or kWouldBlock when none is waiting.
int Accept(int fd, FileHandle& out);
// 0 or kWouldBlock while the handshake runs (reported later by PendingError).
int StartConnect(int fd, TSockAddrIn to);
// The error a non-blocking connect or a reset left on the socket (SO_ERROR).
int PendingError(int fd);
// Bytes handed over, or -1 with err set. Never raises SIGPIPE.
long Send(int fd, const void* data, std::size_t len, bool urgent, int& err);
// Bytes read, 0 at end of stream, or -1 with err set.
long Recv(int fd, void* buf, std::size_t size, int& err);
// Up to size of the bytes the peer sent, left in place for the next Recv: how many,
// 0 at end of stream, or -1 with err set (kWouldBlock while nothing has come).
long PeekBytes(int fd, void* buf, std::int32_t size, int& err);
// Up to size bytes of the file fd from offset, without moving its position: bytes
// read, 0 at its end, or -1 with err set.
long ReadAt(int fd, void* buf, std::size_t size, std::int64_t offset, int& err);
// Several pieces in one call (sendmsg), in order; -1 with err as Send does.
struct TSendPiece {
  const void* data;
  std::size_t len;
};
long SendPieces(int fd, const TSendPiece* pieces, int count, int& err);
// Bytes of the regular file fileFd from *offset straight to the socket (sendfile);
// *offset moves past them. -1 with err as Send does.
long SendFile(int fd, int fileFd, std::int64_t* offset, std::size_t count, int& err);
// Up to count bytes from the socket fd straight into the regular file fileFd at its
// position (splice, through a pipe of this thread's own): bytes moved, 0 at end of
// stream, or -1 with err set as Recv does (kWouldBlock when nothing waits). When the
// file refused bytes already taken from the socket, -1 with fileErrno set (an errno).
long SpliceToFile(int fd, int fileFd, std::size_t count, int& err, int& fileErrno);
int PendingBytes(int fd, int& count);
// Bytes handed to the kernel for the peer that it has not yet acknowledged; -1 when
// the system will not say.
int UnsentBytes(int fd);
// how: 0 receiving, 1 sending, 2 both (the numbering callers use).
int Shutdown(int fd, int how);
int LocalName(int fd, TSockAddrIn& out);
int PeerName(int fd, TSockAddrIn& out);

// Blocking name-service calls; run them off the event loop's thread where a name
// server may be asked.
int LookupHostV4(const std::string& name, std::vector<std::uint32_t>& out);
int ReverseLookupV4(std::uint32_t hostOrderAddr, std::string& name);
int LookupService(const std::string& name, const std::string& proto, std::uint16_t& port);
int LookupProtocol(const std::string& name, int& number);

}  // namespace native
