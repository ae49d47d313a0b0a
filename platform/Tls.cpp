#include "platform/Tls.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

#include "platform/FileHandle.h"
#include "platform/SocketError.h"
#include "platform/Text.h"

namespace {

template <auto Free>
struct TFree {
  template <class T>
  void operator()(T* p) const { Free(p); }
};
using TX509 = std::unique_ptr<X509, TFree<X509_free>>;
using TPkey = std::unique_ptr<EVP_PKEY, TFree<EVP_PKEY_free>>;
using TBio = std::unique_ptr<BIO, TFree<BIO_free>>;
using TBignum = std::unique_ptr<BIGNUM, TFree<BN_free>>;
using TSslCtx = std::unique_ptr<SSL_CTX, TFree<SSL_CTX_free>>;
using TSsl = std::unique_ptr<SSL, TFree<SSL_free>>;

constexpr const char* kCertName = "tls-cert.pem";
constexpr const char* kKeyName = "tls-key.pem";
constexpr int kValidDays = 3652;
// A certificate with its chain is a few kilobytes; anything far larger is not one.
constexpr std::size_t kMaxPemSize = 1 << 20;
// FTP clients keep one control session for hours and resume it for every data
// connection; the library's five-minute default would fail transfers after that.
constexpr long kSessionLifetimeSeconds = 24 * 60 * 60;
constexpr unsigned char kSessionIdContext[] = "dravik-server";
constexpr std::size_t kTokenSize = 16;
// sendfile(2) moves at most this much per call.
constexpr std::size_t kMaxSendFile = 0x7ffff000;

// The library's oldest queued error, as text; the queue is left empty.
std::string TakeSslError() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return "unknown TLS failure";
  if (ERR_GET_LIB(code) == ERR_LIB_SYS) return std::strerror(ERR_GET_REASON(code));
  const char* reason = ERR_reason_error_string(code);
  if (reason) return reason;
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

// An encrypted key would make the library ask for its pass phrase on the terminal,
// holding up the event loop; without one the key is simply unreadable.
int NoPassPhrase(char*, int, int, void*) { return 0; }

// Writing to a socket the peer has closed raises SIGPIPE, which ends a process that
// has not chosen to ignore it, and the library's socket writes cannot ask for
// MSG_NOSIGNAL. Held back around each call; one it raised is taken before it can be
// delivered.
class TBrokenPipeGuard {
public:
  TBrokenPipeGuard() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
  }
  ~TBrokenPipeGuard() {
    const int savedErrno = errno;
    sigset_t pending;
    if (!sigismember(&old_, SIGPIPE) && ::sigpending(&pending) == 0 &&
        sigismember(&pending, SIGPIPE)) {
      const timespec now{0, 0};
      while (::sigtimedwait(&pipe_, nullptr, &now) < 0 && errno == EINTR) {
      }
    }
    ::pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    errno = savedErrno;
  }
  TBrokenPipeGuard(const TBrokenPipeGuard&) = delete;
  TBrokenPipeGuard& operator=(const TBrokenPipeGuard&) = delete;

private:
  sigset_t pipe_, old_;
};

int ReadSmallFile(const std::string& path, std::string& out) {
  // Without O_NONBLOCK a pipe put in the file's place would hold the start for ever.
  FileHandle file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!file.Valid()) return errno;
  struct stat st {};
  if (::fstat(file.Get(), &st) != 0) return errno;
  if (!S_ISREG(st.st_mode)) return S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
  // A key another user put there is one they know: they could read every session.
  if (st.st_uid != ::geteuid() && st.st_uid != 0) return EPERM;
  out.clear();
  char buffer[8192];
  for (;;) {
    const ssize_t n = ::read(file.Get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return 0;
    out.append(buffer, static_cast<std::size_t>(n));
    if (out.size() > kMaxPemSize) return EFBIG;
  }
}

// Writes data to a new file beside path and renames it over path, so a reader
// never sees half a key, and the key is never readable by others even briefly.
int WriteAtomically(const std::string& folder, const std::string& path,
                    const std::string& data, mode_t mode) {
  std::string temp = folder + "/.tls-XXXXXX";
  FileHandle file(::mkostemp(temp.data(), O_CLOEXEC));
  if (!file.Valid()) return errno;
  int err = 0;
  for (std::size_t done = 0; err == 0 && done < data.size();) {
    const ssize_t n = ::write(file.Get(), data.data() + done, data.size() - done);
    if (n < 0 && errno != EINTR) err = errno;
    if (n > 0) done += static_cast<std::size_t>(n);
  }
  if (err == 0 && (::fchmod(file.Get(), mode) != 0 || ::fsync(file.Get()) != 0)) err = errno;
  file.Reset();
  if (err == 0 && ::rename(temp.c_str(), path.c_str()) != 0) err = errno;
  if (err != 0) ::unlink(temp.c_str());
  return err;
}

std::string Fingerprint(X509* cert) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (!X509_digest(cert, EVP_sha256(), md, &size)) return {};
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (unsigned int i = 0; i < size; ++i) {
    if (i) text += ':';
    text += kHex[md[i] >> 4];
    text += kHex[md[i] & 15];
  }
  return text;
}

// A certificate with its chain and key, read and checked against each other.
struct TKeyPair {
  TX509 leaf;
  std::vector<TX509> chain;
  TPkey key;
};

// The PEM file at path as a memory BIO (its bytes in pem, which must outlive it);
// empty with error set when it cannot be read.
TBio ReadPem(const std::string& path, std::string& pem, std::string& error) {
  if (const int err = ReadSmallFile(path, pem)) {
    error = err == EPERM ? "it belongs to another user" : std::strerror(err);
    return nullptr;
  }
  ERR_clear_error();
  TBio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!bio) throw std::bad_alloc();
  return bio;
}

std::string ReadCertificate(const std::string& path, TKeyPair& pair) {
  const std::string failed = "TLS certificate " + path + " could not be read: ";
  std::string pem, error;
  TBio bio = ReadPem(path, pem, error);
  if (!bio) return failed + error;
  pair.leaf.reset(PEM_read_bio_X509(bio.get(), nullptr, NoPassPhrase, nullptr));
  if (!pair.leaf) return failed + TakeSslError();
  while (X509* next = PEM_read_bio_X509(bio.get(), nullptr, NoPassPhrase, nullptr))
    pair.chain.emplace_back(next);
  // The loop ends on the end of the file, which the library queues as an error.
  ERR_clear_error();
  return {};
}

std::string ReadKey(const std::string& path, TKeyPair& pair) {
  const std::string failed = "TLS key " + path + " could not be read: ";
  std::string pem, error;
  TBio bio = ReadPem(path, pem, error);
  if (!bio) return failed + error;
  pair.key.reset(PEM_read_bio_PrivateKey(bio.get(), nullptr, NoPassPhrase, nullptr));
  if (!pair.key) return failed + TakeSslError();
  return {};
}

std::string ReadKeyPair(const TTlsCertificate& files, TKeyPair& pair) {
  std::string error = ReadCertificate(files.certPath, pair);
  if (error.empty()) error = ReadKey(files.keyPath, pair);
  if (error.empty() && X509_check_private_key(pair.leaf.get(), pair.key.get()) != 1) {
    ERR_clear_error();
    error = "TLS key " + files.keyPath + " does not belong to certificate " + files.certPath;
  }
  return error;
}

std::string SystemHostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
  return name;
}

bool IsDnsName(std::string_view name) {
  return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
    return IsAsciiAlnum(c) || c == '-' || c == '.';
  });
}

bool AddExtension(X509* cert, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  if (!ext) return false;
  const bool added = X509_add_ext(cert, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  return added;
}

// A self-signed server certificate for hostName with a fresh key, both as PEM.
bool MakeSelfSigned(const std::string& hostName, std::string& certPem, std::string& keyPem) {
  TPkey key(EVP_EC_gen("P-256"));
  TX509 cert(X509_new());
  TBignum serial(BN_new());
  if (!key || !cert || !serial) return false;
  X509_NAME* subject = X509_get_subject_name(cert.get());
  const auto* cn = reinterpret_cast<const unsigned char*>(hostName.c_str());
  if (!X509_set_version(cert.get(), X509_VERSION_3) ||
      !BN_rand(serial.get(), 127, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) ||
      !BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(cert.get())) ||
      !X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0) ||
      !X509_time_adj_ex(X509_getm_notAfter(cert.get()), kValidDays, 0, nullptr) ||
      !X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8, cn, -1, -1, 0) ||
      !X509_set_issuer_name(cert.get(), subject) || !X509_set_pubkey(cert.get(), key.get()))
    return false;
  // Clients match the host against the alternative names, not the common name; a
  // host name that is no DNS name (it came from the system) just goes without.
  if (!AddExtension(cert.get(), NID_basic_constraints, "critical,CA:FALSE") ||
      !AddExtension(cert.get(), NID_ext_key_usage, "serverAuth") ||
      (IsDnsName(hostName) &&
       !AddExtension(cert.get(), NID_subject_alt_name, "DNS:" + hostName)) ||
      !X509_sign(cert.get(), key.get(), EVP_sha256()))
    return false;
  TBio certOut(BIO_new(BIO_s_mem())), keyOut(BIO_new(BIO_s_mem()));
  if (!certOut || !keyOut || !PEM_write_bio_X509(certOut.get(), cert.get()) ||
      !PEM_write_bio_PrivateKey(keyOut.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr))
    return false;
  char* data = nullptr;
  certPem.assign(data, static_cast<std::size_t>(BIO_get_mem_data(certOut.get(), &data)));
  keyPem.assign(data, static_cast<std::size_t>(BIO_get_mem_data(keyOut.get(), &data)));
  return true;
}

// A link counts as there even when what it points to is gone (a volume not mounted,
// a renewal half done): the user's own files are never replaced by made ones.
bool FileMissing(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) != 0 && errno == ENOENT;
}

std::string CreateCertificate(const std::string& folder, const std::string& hostName,
                              const TTlsCertificate& files) {
  const std::string failed = "TLS certificate could not be made in " + folder + ": ";
  std::string certPem, keyPem;
  ERR_clear_error();
  if (!MakeSelfSigned(hostName, certPem, keyPem)) return failed + TakeSslError();
  if (const int err = WriteAtomically(folder, files.keyPath, keyPem, 0600))
    return failed + std::strerror(err);
  if (const int err = WriteAtomically(folder, files.certPath, certPem, 0644)) {
    // A key alone would stop every later start as a pair missing its half.
    ::unlink(files.keyPath.c_str());
    return failed + std::strerror(err);
  }
  return {};
}

}  // namespace

TTlsCertificate EnsureTlsCertificate(const std::string& folder, const std::string& hostName) {
  TTlsCertificate result;
  result.certPath = folder + "/" + kCertName;
  result.keyPath = folder + "/" + kKeyName;
  if (FileMissing(result.certPath) && FileMissing(result.keyPath)) {
    result.error = CreateCertificate(folder, hostName.empty() ? SystemHostName() : hostName,
                                     result);
    if (!result.error.empty()) return result;
    result.created = true;
  }
  TKeyPair pair;
  result.error = ReadKeyPair(result, pair);
  if (result.error.empty()) result.fingerprint = Fingerprint(pair.leaf.get());
  return result;
}

// ---------------------------------------------------------------------------------

struct TTlsContext::TImpl {
  TSslCtx ctx;
  std::string fingerprint;
};

namespace {

// Marks a session with the token of the connection that first made it. Resumed
// sessions, and the tickets issued on them, keep the mark they came with, so an FTP
// data connection can be traced back to its control connection.
void MarkSession(SSL_SESSION* session, const unsigned char* token) {
  void* mark = nullptr;
  std::size_t size = 0;
  if (!session) return;
  if (SSL_SESSION_get0_ticket_appdata(session, &mark, &size) && size == kTokenSize) return;
  SSL_SESSION_set1_ticket_appdata(session, token, kTokenSize);
}

std::string_view SessionMark(SSL* ssl) {
  void* mark = nullptr;
  std::size_t size = 0;
  SSL_SESSION* session = ssl ? SSL_get_session(ssl) : nullptr;
  if (!session || !SSL_SESSION_get0_ticket_appdata(session, &mark, &size) || size != kTokenSize)
    return {};
  return {static_cast<const char*>(mark), size};
}

}  // namespace

struct TTlsSession::TImpl {
  TSsl ssl;
  unsigned char token[kTokenSize] = {};
  bool handshakeDone = false;
  bool failed = false;      // the library forbids a close_notify after a fatal error
  bool writeOwed = false;   // a Write answered tlsWantWrite/tlsWantRead and is not done

  TTlsResult Outcome(bool ok, std::size_t bytes, int sysErr);
};

namespace {

// A ticket is sealed before the handshake returns to us, so the mark goes on here.
int OnTicket(SSL* ssl, void*) {
  auto* impl = static_cast<TTlsSession::TImpl*>(SSL_get_app_data(ssl));
  if (impl) MarkSession(SSL_get_session(ssl), impl->token);
  return 1;
}

}  // namespace

TTlsContext::TTlsContext(std::unique_ptr<TImpl> impl) : impl_(std::move(impl)) {}
TTlsContext::~TTlsContext() = default;

const std::string& TTlsContext::Fingerprint() const { return impl_->fingerprint; }

std::unique_ptr<TTlsContext> TTlsContext::Create(const TTlsCertificate& certificate,
                                                 std::string& error) {
  TKeyPair pair;
  error = ReadKeyPair(certificate, pair);
  if (!error.empty()) return nullptr;
  auto impl = std::make_unique<TImpl>();
  impl->fingerprint = ::Fingerprint(pair.leaf.get());
  impl->ctx.reset(SSL_CTX_new(TLS_server_method()));
  SSL_CTX* ctx = impl->ctx.get();
  if (!ctx) throw std::bad_alloc();
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  // Kernel TLS where the system has it, so files can still go out by sendfile.
  // Renegotiation only lets a client make the server redo expensive handshakes.
  SSL_CTX_set_options(ctx, SSL_OP_ENABLE_KTLS | SSL_OP_NO_RENEGOTIATION |
                               SSL_OP_CIPHER_SERVER_PREFERENCE);
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  SSL_CTX_set_default_passwd_cb(ctx, NoPassPhrase);
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_SERVER);
  SSL_CTX_set_session_id_context(ctx, kSessionIdContext, sizeof kSessionIdContext - 1);
  SSL_CTX_set_timeout(ctx, kSessionLifetimeSeconds);
  SSL_CTX_set_session_ticket_cb(ctx, OnTicket, nullptr, nullptr);
  ERR_clear_error();
  bool ok = SSL_CTX_use_certificate(ctx, pair.leaf.get()) == 1 &&
            SSL_CTX_use_PrivateKey(ctx, pair.key.get()) == 1;
  for (TX509& link : pair.chain)
    ok = ok && SSL_CTX_add1_chain_cert(ctx, link.get()) == 1;
  if (!ok || SSL_CTX_check_private_key(ctx) != 1) {
    error = "TLS certificate " + certificate.certPath + " could not be used: " + TakeSslError();
    return nullptr;
  }
  return std::make_unique<TTlsContext>(std::move(impl));
}

// ---------------------------------------------------------------------------------

TTlsSession::TTlsSession(TTlsContext& context, int fd) : impl_(std::make_unique<TImpl>()) {
  impl_->ssl.reset(SSL_new(context.impl_->ctx.get()));
  // The socket BIO made here leaves the descriptor open when freed.
  if (!impl_->ssl || SSL_set_fd(impl_->ssl.get(), fd) != 1) throw std::bad_alloc();
  if (RAND_bytes(impl_->token, sizeof impl_->token) != 1) throw std::bad_alloc();
  SSL_set_app_data(impl_->ssl.get(), impl_.get());
  SSL_set_accept_state(impl_->ssl.get());
}

TTlsSession::~TTlsSession() = default;

TTlsResult TTlsSession::TImpl::Outcome(bool ok, std::size_t bytes, int sysErr) {
  TTlsResult result;
  if (ok) {
    result.bytes = bytes;
    return result;
  }
  switch (SSL_get_error(ssl.get(), 0)) {
    case SSL_ERROR_WANT_READ:
      result.status = tlsWantRead;
      return result;
    case SSL_ERROR_WANT_WRITE:
      result.status = tlsWantWrite;
      return result;
    case SSL_ERROR_ZERO_RETURN:
      result.status = tlsClosed;
      ERR_clear_error();
      return result;
    case SSL_ERROR_SYSCALL:
      failed = true;
      if (sysErr == 0 && ERR_peek_error() == 0) {
        result.status = tlsClosed;
        result.error = "connection closed without TLS close_notify";
        return result;
      }
      break;
    case SSL_ERROR_SSL:
      failed = true;
      if (ERR_GET_REASON(ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
        ERR_clear_error();
        result.status = tlsClosed;
        result.error = "connection closed without TLS close_notify";
        return result;
      }
      break;
    default:
      failed = true;
      break;
  }
  result.status = tlsError;
  if (ERR_peek_error() == 0 && sysErr != 0) {
    result.error = std::strerror(sysErr);
    result.socketError = SocketErrorFromErrno(sysErr);
  } else {
    result.error = TakeSslError();
  }
  return result;
}

TTlsResult TTlsSession::Handshake() {
  if (impl_->handshakeDone) return {};
  TBrokenPipeGuard guard;
  ERR_clear_error();
  errno = 0;
  const bool ok = SSL_do_handshake(impl_->ssl.get()) == 1;
  TTlsResult result = impl_->Outcome(ok, 0, errno);
  if (ok) {
    impl_->handshakeDone = true;
    // A TLS 1.2 session kept in the cache by id gets no ticket, so no mark yet.
    MarkSession(SSL_get_session(impl_->ssl.get()), impl_->token);
  }
  return result;
}

void TTlsSession::SkipSessionTickets() { SSL_set_num_tickets(impl_->ssl.get(), 0); }

void TTlsSession::OfferTicket() {
  if (SSL_version(impl_->ssl.get()) >= TLS1_3_VERSION) SSL_new_session_ticket(impl_->ssl.get());
}

bool TTlsSession::HandshakeDone() const { return impl_->handshakeDone; }

TTlsResult TTlsSession::Read(void* buf, std::size_t len) {
  if (len == 0) return {};
  TBrokenPipeGuard guard;
  ERR_clear_error();
  errno = 0;
  std::size_t got = 0;
  const bool ok = SSL_read_ex(impl_->ssl.get(), buf, len, &got) == 1;
  return impl_->Outcome(ok, got, errno);
}

std::size_t TTlsSession::Pending() const {
  const int pending = SSL_pending(impl_->ssl.get());
  return pending > 0 ? static_cast<std::size_t>(pending) : 0;
}

TTlsResult TTlsSession::Write(const void* data, std::size_t len) {
  if (len == 0) return {};
  TBrokenPipeGuard guard;
  ERR_clear_error();
  errno = 0;
  std::size_t sent = 0;
  const bool ok = SSL_write_ex(impl_->ssl.get(), data, len, &sent) == 1;
  TTlsResult result = impl_->Outcome(ok, sent, errno);
  impl_->writeOwed = result.status == tlsWantWrite || result.status == tlsWantRead;
  return result;
}

bool TTlsSession::KtlsSend() const {
  return BIO_get_ktls_send(SSL_get_wbio(impl_->ssl.get()));
}

TTlsResult TTlsSession::SendFile(int fileFd, std::int64_t offset, std::size_t len) {
  TTlsResult result;
  if (!KtlsSend() || impl_->writeOwed) {
    result.status = tlsError;
    result.error = impl_->writeOwed ? "a TLS write is still owed before a file can follow"
                                    : "kernel TLS is not active on this connection";
    return result;
  }
  if (len == 0) return result;
  TBrokenPipeGuard guard;
  ERR_clear_error();
  errno = 0;
  const ossl_ssize_t n = SSL_sendfile(impl_->ssl.get(), fileFd, static_cast<off_t>(offset),
                                      std::min(len, kMaxSendFile), 0);
  const int sysErr = errno;
  if (n >= 0) {
    result.bytes = static_cast<std::size_t>(n);
    return result;
  }
  // The library turns a full socket buffer into a retry on the socket BIO, not into
  // an error of its own; say so from errno, as it does.
  if (sysErr == EAGAIN || sysErr == EWOULDBLOCK || sysErr == EINTR || sysErr == EBUSY) {
    ERR_clear_error();
    result.status = tlsWantWrite;
    return result;
  }
  impl_->failed = true;
  result.status = tlsError;
  if (sysErr != 0) {
    ERR_clear_error();
    result.error = std::strerror(sysErr);
    result.socketError = SocketErrorFromErrno(sysErr);
  } else {
    result.error = TakeSslError();
  }
  return result;
}

TTlsResult TTlsSession::Shutdown() {
  if (impl_->failed || !impl_->handshakeDone) return {};
  TBrokenPipeGuard guard;
  ERR_clear_error();
  errno = 0;
  const int ret = SSL_shutdown(impl_->ssl.get());
  // 0: our close_notify is out and the peer's not yet in, which is all we wait for.
  return impl_->Outcome(ret >= 0, 0, errno);
}

bool TTlsSession::ResumedSession() const {
  return impl_->handshakeDone && SSL_session_reused(impl_->ssl.get()) == 1;
}

bool TTlsSession::ResumesSessionOf(const TTlsSession& control) const {
  if (!ResumedSession() || !control.impl_->handshakeDone) return false;
  const std::string_view mine = SessionMark(impl_->ssl.get());
  return !mine.empty() && mine == SessionMark(control.impl_->ssl.get());
}

std::string TTlsSession::Protocol() const { return SSL_get_version(impl_->ssl.get()); }

std::string TTlsSession::Cipher() const {
  const char* name = SSL_CIPHER_get_name(SSL_get_current_cipher(impl_->ssl.get()));
  return name ? name : "";
}
