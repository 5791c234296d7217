#include "platform/uTls.h"

#include "platform/uSocket.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

namespace logserver {

namespace {

// The oldest error OpenSSL queued on this thread, as text; the queue is
// emptied so that it cannot be mistaken for a later step's.
std::string TakeErrors() {
  std::string text;
  for (unsigned long code = ERR_get_error(); code != 0; code = ERR_get_error()) {
    if (!text.empty()) continue;
    char buffer[256];
    ERR_error_string_n(code, buffer, sizeof buffer);
    text = buffer;
  }
  return text.empty() ? std::string("unknown TLS error") : text;
}

SSL* AsSession(void* session) { return static_cast<SSL*>(session); }

// A TLS record: a 5-byte header (type, version, length) and at most
// 2^14 + 2048 bytes.
constexpr std::size_t kRecordHeader = 5;
constexpr std::size_t kMaxRecordBody = 16384 + 2048;

}  // namespace

std::shared_ptr<TTlsContext> TTlsContext::Load(const std::string& certificateFile,
                                               const std::string& keyFile,
                                               const std::string& clientCaFile, std::string& error) {
  ERR_clear_error();
  std::shared_ptr<TTlsContext> context(new TTlsContext());
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  context->Context = ctx;
  auto fail = [&](const std::string& what) {
    error = what + ": " + TakeErrors();
    return nullptr;
  };
  if (ctx == nullptr) return fail("no TLS context");
  if (SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) != 1) return fail("TLS 1.2 refused");
  SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION);
  // Idle connections give their read and write buffers back.
  SSL_CTX_set_mode(ctx, SSL_MODE_RELEASE_BUFFERS);
  if (SSL_CTX_use_certificate_chain_file(ctx, certificateFile.c_str()) != 1)
    return fail("certificate " + certificateFile + " not usable");
  if (SSL_CTX_use_PrivateKey_file(ctx, keyFile.c_str(), SSL_FILETYPE_PEM) != 1)
    return fail("key " + keyFile + " not usable");
  if (SSL_CTX_check_private_key(ctx) != 1) return fail("key " + keyFile + " does not fit the certificate");
  if (!clientCaFile.empty()) {
    if (SSL_CTX_load_verify_locations(ctx, clientCaFile.c_str(), nullptr) != 1)
      return fail("client CA " + clientCaFile + " not usable");
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
  }
  return context;
}

TTlsContext::~TTlsContext() { SSL_CTX_free(static_cast<SSL_CTX*>(Context)); }

TTlsSession::TTlsSession(std::shared_ptr<TTlsContext> context, int fd) : Context(std::move(context)), Fd(fd) {
  SSL* ssl = SSL_new(static_cast<SSL_CTX*>(Context->Context));
  if (ssl == nullptr) {
    Error = TakeErrors();
    return;
  }
  if (SSL_set_fd(ssl, fd) != 1) {
    Error = TakeErrors();
    SSL_free(ssl);
    return;
  }
  SSL_set_accept_state(ssl);
  Session = ssl;
}

TTlsSession::~TTlsSession() { SSL_free(AsSession(Session)); }

TTlsSession::TStatus TTlsSession::Status(int result) {
  switch (SSL_get_error(AsSession(Session), result)) {
    case SSL_ERROR_WANT_READ:
      return TStatus::WantRead;
    case SSL_ERROR_WANT_WRITE:
      return TStatus::WantWrite;
    case SSL_ERROR_ZERO_RETURN:
      return TStatus::Closed;
    case SSL_ERROR_SYSCALL:
      // The peer went without a close_notify (or the socket failed).
      Error = ERR_peek_error() != 0 ? TakeErrors() : std::string("connection ended");
      return TStatus::Closed;
    default:
      Error = TakeErrors();
      return TStatus::Failed;
  }
}

TTlsSession::TStatus TTlsSession::Handshake() {
  ERR_clear_error();
  const int result = SSL_do_handshake(AsSession(Session));
  return result == 1 ? TStatus::Done : Status(result);
}

bool TTlsSession::RecordReady() {
  SSL* ssl = AsSession(Session);
  if (SSL_has_pending(ssl) == 1 || SSL_want_write(ssl)) return true;
  const long available = SocketPending(Fd);
  if (available < 0) return true;
  std::size_t need = kRecordHeader;
  const std::size_t have = static_cast<std::size_t>(available);
  if (have >= kRecordHeader && have < kRecordHeader + kMaxRecordBody) {
    unsigned char header[kRecordHeader];
    if (SocketPeek(Fd, header, kRecordHeader) != static_cast<long>(kRecordHeader)) return true;
    const std::size_t body = static_cast<std::size_t>(header[3]) << 8 | header[4];
    if (body > kMaxRecordBody) return true;  // no record: the read fails it
    need += body;
  }
  if (have >= need || have == 0) {
    // Whole, or nothing there (a hang-up, or a wake-up for nothing: the
    // read tells which).
    if (WaitingFor != 0) {
      SocketSetReadMark(Fd, 1);
      WaitingFor = 0;
    }
    return true;
  }
  // Reported readable with the mark already set: the stream ended or
  // failed inside the record, which only the read can report.
  if (WaitingFor == need) return true;
  if (SocketSetReadMark(Fd, static_cast<int>(need)) != 0) return true;
  WaitingFor = need;
  // The buffers the handshake left are given back too: no read that
  // would release them comes while the record is awaited.
  SSL_free_buffers(ssl);
  return false;
}

TTlsSession::TStatus TTlsSession::Read(char* buffer, std::size_t size, std::size_t& got) {
  got = 0;
  if (!RecordReady()) return TStatus::WantRead;
  ERR_clear_error();
  const int result = SSL_read_ex(AsSession(Session), buffer, size, &got);
  return result == 1 ? TStatus::Done : Status(result);
}

bool TTlsSession::HasPending() const { return SSL_pending(AsSession(Session)) > 0; }

}  // namespace logserver
