#pragma once
// Encryption for the socket layer: the server's certificate on disk, a context made
// from it at each server start, and one session per encrypted connection. Nothing
// here owns a socket or waits: every call answers at once with what the event loop
// must wait for. The library behind it stays inside Tls.cpp, so no layer above
// platform/ ever includes its headers.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// A connection whose first byte is this is a TLS handshake record (a ClientHello);
// an HTTP request starts with a method's letter. Peek it (MSG_PEEK) so a plain
// request is read whole afterwards.
constexpr unsigned char kTlsHandshakeRecord = 0x16;
inline bool LooksLikeTlsHello(unsigned char firstByte) {
  return firstByte == kTlsHandshakeRecord;
}

// The server's certificate and key files, as EnsureTlsCertificate found or made them.
struct TTlsCertificate {
  std::string certPath;     // <folder>/tls-cert.pem: the certificate, then any chain
  std::string keyPath;      // <folder>/tls-key.pem: its private key, unencrypted
  std::string fingerprint;  // SHA-256 of the certificate, "AB:CD:...:EF"
  bool created = false;     // made by this call rather than found
  std::string error;        // why the files cannot be used; empty when they can
  bool Ok() const { return error.empty(); }
};

// Finds tls-cert.pem and tls-key.pem in the native folder `folder`, or, when neither
// exists, makes a self-signed pair for `hostName` (the system's host name when
// empty): ECDSA P-256, SHA-256, valid ten years, the key readable by its owner only.
// Files that exist are never replaced: a user may have put their own there, so one
// that cannot be read, is missing its partner or does not match it is an error.
TTlsCertificate EnsureTlsCertificate(const std::string& folder,
                                     const std::string& hostName = {});

// The server side of TLS 1.2 and later for one server run, made from the files as
// they are now, so a user's replacement takes effect at the next start. Sessions
// made from one context share its session cache and ticket keys; an FTP server
// makes its control and data sessions from the same context so the data
// connections can resume the control connection's session.
class TTlsContext {
public:
  // nullptr with `error` set ("TLS certificate tls-cert.pem could not be read: ...").
  static std::unique_ptr<TTlsContext> Create(const TTlsCertificate& certificate,
                                             std::string& error);
  ~TTlsContext();
  TTlsContext(const TTlsContext&) = delete;
  TTlsContext& operator=(const TTlsContext&) = delete;

  // The fingerprint of the certificate actually loaded, for the start's activity line.
  const std::string& Fingerprint() const;

  struct TImpl;
  // Create's; TImpl is known to Tls.cpp alone, so nobody else can make one.
  explicit TTlsContext(std::unique_ptr<TImpl> impl);

private:
  friend class TTlsSession;
  std::unique_ptr<TImpl> impl_;
};

enum TTlsStatus : std::uint8_t {
  tlsDone = 0,       // the call did its work; `bytes` says how much
  tlsWantRead = 1,   // call again when the socket is readable
  tlsWantWrite = 2,  // call again when the socket is writable
  tlsClosed = 3,     // the peer ended the stream (see TTlsResult::error)
  tlsError = 4,      // the session is broken; close the connection
};

struct TTlsResult {
  TTlsStatus status = tlsDone;
  std::size_t bytes = 0;  // bytes read or written when tlsDone
  // tlsError: what failed. tlsClosed: empty when the peer sent close_notify, the
  // reason when it just dropped the connection, which may have cut the data short
  // (an upload ends that way as well as a truncation does).
  std::string error;
  int socketError = 0;  // the socket error number when the system failed, else 0
};

// One encrypted connection, server side, over a connected non-blocking socket. The
// socket layer keeps the descriptor: the session never closes it, but once a
// handshake is done the bytes on it belong to the session (and with kernel TLS the
// socket itself is changed), so the descriptor must be closed after the session,
// never returned to plain use.
//
// Every call may need the socket the other way round from its name (a read may have
// to send, a write may have to receive), so wait for what the result asks, not for
// what the call does.
class TTlsSession {
public:
  // REQUIRES: `context` outlives the session; `fd` stays open while it lives.
  TTlsSession(TTlsContext& context, int fd);
  ~TTlsSession();
  TTlsSession(const TTlsSession&) = delete;
  TTlsSession& operator=(const TTlsSession&) = delete;

  // For a connection that resumes another's session (an FTP data connection): the
  // client already holds tickets, and a TLS 1.3 ticket it never reads (an upload
  // only sends) makes its close a reset that can throw away the upload's last
  // bytes. REQUIRES: before Handshake.
  void SkipSessionTickets();
  // A ticket after all, sent ahead of the next bytes written: for a connection that
  // will be read to its end (a download), so the client holds a fresh ticket for its
  // next connection; a client may resume each TLS 1.3 ticket only once.
  void OfferTicket();

  // Runs the handshake as far as the socket allows; tlsDone when it is complete.
  TTlsResult Handshake();
  bool HandshakeDone() const;

  // Decrypted bytes into buf, at most len. Bytes can stay decrypted inside the
  // session after a short read while the socket shows nothing new, so a caller
  // that reads less than Pending() must read again before waiting for readiness.
  TTlsResult Read(void* buf, std::size_t len);
  // Bytes the next Read returns without touching the socket; a caller waiting on
  // epoll would otherwise never be told about them.
  std::size_t Pending() const;

  // Encrypts and sends bytes from data; tlsDone with bytes <= len, as a partial
  // send does. After tlsWantWrite the bytes are not yet taken, but part of them may
  // already sit encrypted in the session: the next Write must offer the same bytes
  // again, at least as many, first in its buffer. The buffer may have moved (a send
  // queue that grew) and more bytes may follow them.
  TTlsResult Write(const void* data, std::size_t len);

  // Whether the kernel encrypts this connection's outgoing records (kernel TLS):
  // the library asks for it at each handshake and the kernel grants it when its
  // `tls` module is loaded and supports the cipher. Only then does SendFile work.
  bool KtlsSend() const;
  // Up to len bytes of the regular file fileFd from offset, encrypted by the
  // kernel and sent without passing through user memory. Use this rather than
  // sendfile(2) on the descriptor: a Write still owed (tlsWantWrite) keeps an
  // encrypted record in the session that must reach the wire first, and this call
  // refuses until it has. REQUIRES: KtlsSend().
  TTlsResult SendFile(int fileFd, std::int64_t offset, std::size_t len);

  // Sends close_notify; tlsDone once it is on its way (the peer's answer is not
  // awaited: FTP and HTTP learn the end from the closed socket). Safe after an
  // error, when there is nothing left to say.
  TTlsResult Shutdown();

  // Whether the handshake resumed an earlier session rather than making a new one.
  bool ResumedSession() const;
  // Whether the handshake resumed a session first made by `control`'s connection
  // (or by one that itself resumed it). An FTP data connection must pass this
  // before any byte moves: anyone may resume a session of their own, but only the
  // control connection's client holds this one.
  bool ResumesSessionOf(const TTlsSession& control) const;

  // The protocol and cipher agreed ("TLSv1.3", "TLS_AES_256_GCM_SHA384"), for logs.
  std::string Protocol() const;
  std::string Cipher() const;

  struct TImpl;

private:
  std::unique_ptr<TImpl> impl_;
};
