// The process-wide TLS server context and the TLS stream that runs on it.
//
// One context is loaded once (certificate chain and private key, checked against each other)
// and shared read-only by every connection: the HTTPS front end and the WebSocket hub's
// secure port.  TLS 1.2 is the lowest version offered.
#pragma once

#include <string>

#include "ov_stream.h"

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

namespace ov {

inline constexpr const char* kDefaultCipherList = "HIGH:!aNULL:!MD5:!RC4:!3DES";

// The protocol versions a connection may negotiate: TLS 1.2 and 1.3 (the context's range), or
// TLS 1.2 only.
enum class TOVSSLType : int { Tls12And13 = 0, Tls12Only = 1 };

// [ssl] min_version: "tls1.2_only" in any letter case gives TLS 1.2 only; every other text
// (an older version, "tls1.3", nonsense) gives TLS 1.2 and 1.3.
TOVSSLType SSLTypeFromConfig(const std::string& text);

// The TLS defaults of every server context: TLS 1.2 at least (SSLv2/3, TLS 1.0/1.1 and
// renegotiation off), the server's cipher order, a bare TCP close read as end of stream,
// partial writes, no client certificates, and the cipher list (kDefaultCipherList when empty).
// False, with OpenSSL's reason queued, when the cipher list names no cipher.
bool ApplyServerTlsDefaults(SSL_CTX* ctx, const std::string& cipher_list);
// One connection's protocol versions (the context's floor is TLS 1.2).
void ApplySSLType(SSL* ssl, TOVSSLType type);

bool SharedSSLContextReady() noexcept;
// Loads the shared context from PEM files; the first successful call wins (a later call
// with other files logs a warning and returns true).  Returns false, with the reason
// logged, when the files cannot be loaded or the key does not belong to the certificate.
bool InitSharedSSLContext(const std::string& cert_file, const std::string& key_file,
                          const std::string& cipher_list);
// Frees the shared context (process end, tests).  Live connections keep their own reference.
void FreeSharedSSLContext() noexcept;
// The last error text of a failed InitSharedSSLContext on this thread (for a fatal message).
std::string LastSSLInitError();

// TLS over an accepted socket, on the shared context.
class TOVOpenSSLHandler final : public Stream {
 public:
  // Takes ownership of fd.
  explicit TOVOpenSSLHandler(int fd, TOVSSLType type = TOVSSLType::Tls12And13);
  explicit TOVOpenSSLHandler(const TOVAcceptedSocket& s, TOVSSLType type = TOVSSLType::Tls12And13);
  ~TOVOpenSSLHandler() override;

  // Runs the server handshake; false (reason logged at debug level) when it fails, the
  // peer goes away or the deadline passes.
  bool Accept(Deadline deadline);
  // One non-blocking step of the server handshake: Ok without a wait once it is complete, a
  // wait while it needs the peer, Closed or Error (reason logged at debug level) when it fails.
  TryResult TryAccept() noexcept;

  TryResult TryRecv(void* buf, std::size_t len) noexcept override;
  TryResult TrySend(const void* buf, std::size_t len) noexcept override;
  void Shutdown(Deadline deadline) noexcept override;
  // Sends the close notification once without waiting, then half-closes (for an event loop).
  void ShutdownNow() noexcept;
  std::size_t BytesAvailable() const noexcept override;
  bool IsSecure() const noexcept override { return true; }
  // Negotiated protocol ("TLSv1.3"), empty before the handshake.
  std::string ProtocolVersion() const;

 private:
  // What OpenSSL asked for after a call that returned ret: a wait, Closed or Error.
  TryResult Outcome(int ret) noexcept;
  // Frees the connection's TLS object after a failed handshake.
  void DropSSL() noexcept;

  SSL* FConnSSL = nullptr;
  TOVSSLType type_;
  bool shut_ = false;
};

}  // namespace ov
