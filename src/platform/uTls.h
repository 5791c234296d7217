// TLS for a server that serves many non-blocking sockets from one thread,
// over OpenSSL: a context made from the certificate files, and a session
// per accepted socket whose handshake and reads never block (they say what
// they wait for instead).
//
// Ownership: a context is shared by the sessions made from it (a session
// keeps its context alive), so a new context may replace the old one for
// new connections while older connections go on with theirs. A session
// does not own its socket.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace logserver {

class TTlsContext {
 public:
  // TLS 1.2 and 1.3 only, the library's default ciphers, no renegotiation.
  // With `clientCaFile`, clients must show a certificate signed by it.
  // Null with `error` set when a file cannot be read or the key does not
  // fit the certificate.
  static std::shared_ptr<TTlsContext> Load(const std::string& certificateFile, const std::string& keyFile,
                                           const std::string& clientCaFile, std::string& error);
  ~TTlsContext();
  TTlsContext(const TTlsContext&) = delete;
  TTlsContext& operator=(const TTlsContext&) = delete;

 private:
  friend class TTlsSession;
  TTlsContext() = default;
  void* Context = nullptr;  // SSL_CTX
};

class TTlsSession {
 public:
  enum class TStatus { Done, WantRead, WantWrite, Closed, Failed };

  TTlsSession(std::shared_ptr<TTlsContext> context, int fd);
  ~TTlsSession();
  TTlsSession(const TTlsSession&) = delete;
  TTlsSession& operator=(const TTlsSession&) = delete;

  bool Valid() const { return Session != nullptr; }
  // Goes on with the handshake: Done once it is complete.
  TStatus Handshake();
  // Reads decrypted bytes: Done with `got` > 0, else what it waits for,
  // Closed at the peer's end, Failed on an error. A record that has not
  // wholly arrived is left in the socket, which is then reported readable
  // only once it has (or has ended): so a sender that stops inside a
  // record costs no buffer here.
  TStatus Read(char* buffer, std::size_t size, std::size_t& got);
  // Decrypted bytes already held that a read would return without waiting
  // for the socket.
  bool HasPending() const;
  // Why the last step failed, for reports.
  std::string LastError() const { return Error; }

 private:
  TStatus Status(int result);
  // Whether a read may go on: the next record is whole in the socket, or
  // only the read can tell what comes (the session holds bytes, wants to
  // write, the socket ended or failed).
  bool RecordReady();
  std::shared_ptr<TTlsContext> Context;
  void* Session = nullptr;  // SSL
  const int Fd;
  // The socket's low-water mark while waiting for a record's rest (0: the
  // default, one byte).
  std::size_t WaitingFor = 0;
  std::string Error;
};

}  // namespace logserver
