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

// TLS protocol versions a server may require as its minimum.
enum class TOVTlsMinVersion : int { Tls12 = 0, Tls13 = 1 };

// "tls1.2" / "tls1.3" (ignoring case, "1.2"/"1.3" too).  Older or unknown versions give TLS 1.2,
// which is never undercut; ok is set to false for unknown text.
TOVTlsMinVersion ParseTlsMinVersion(const std::string& text, bool* ok = nullptr);

// The TLS defaults of every server context: TLS 1.2 at least (SSLv2/3, TLS 1.0/1.1 and
// renegotiation off), the server's cipher order, a bare TCP close read as end of stream,
// partial writes, no client certificates, and the cipher list (kDefaultCipherList when empty).
// False, with OpenSSL's reason queued, when the cipher list names no cipher.
bool ApplyServerTlsDefaults(SSL_CTX* ctx, const std::string& cipher_list);
// One connection's lowest protocol version (the context's floor is TLS 1.2).
void ApplyTlsMinVersion(SSL* ssl, TOVTlsMinVersion min_version);

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
  explicit TOVOpenSSLHandler(int fd, TOVTlsMinVersion min_version = TOVTlsMinVersion::Tls12);
  ~TOVOpenSSLHandler() override;

  // Runs the server handshake; false (reason logged at debug level) when it fails, the
  // peer goes away or the deadline passes.
  bool Accept(Deadline deadline);

  IoResult Recv(void* buf, std::size_t len, Deadline deadline) override;
  IoResult Send(const void* buf, std::size_t len, Deadline deadline) override;
  void Shutdown(Deadline deadline) noexcept override;
  std::size_t BytesAvailable() const noexcept override;
  bool IsSecure() const noexcept override { return true; }
  // Negotiated protocol ("TLSv1.3"), empty before the handshake.
  std::string ProtocolVersion() const;

 private:
  // Waits for what OpenSSL asked for after a call that returned ret.
  // Returns 1 to retry, 0 for an orderly close, -1 for an error, -2 for a time-out.
  int WaitForSSL(int ret, Deadline deadline);

  SSL* FConnSSL = nullptr;
  TOVTlsMinVersion min_version_;
  bool shut_ = false;
};

}  // namespace ov
