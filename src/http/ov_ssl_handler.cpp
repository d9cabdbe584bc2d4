#include "ov_ssl_handler.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>


#include <cerrno>
#include <cstdlib>
#include <stdexcept>

#include "ov_locks.h"
#include "ov_text.h"
#include "ov_log.h"

namespace ov {

namespace {

// ---- Guarded by gSharedCtxLock (a leaf: nothing is logged under it) ----
TOVLock gSharedCtxLock{LockLevel::Leaf};
SSL_CTX* gSharedCtx GUARDED_BY(gSharedCtxLock) = nullptr;
std::string gSharedCertFile GUARDED_BY(gSharedCtxLock);
std::string gSharedKeyFile GUARDED_BY(gSharedCtxLock);
thread_local std::string tLastInitError;

std::string OpenSSLErrors() {
  std::string out;
  unsigned long e;
  while ((e = ERR_get_error()) != 0) {
    char buf[256];
    ERR_error_string_n(e, buf, sizeof buf);
    if (!out.empty()) out += "; ";
    out += buf;
  }
  return out;
}

// Frees a half-built context and records why; the caller logs after leaving the lock.
bool FailInit(SSL_CTX* ctx, std::string& logged_out, const std::string& logged, const std::string& detail) {
  if (ctx) SSL_CTX_free(ctx);
  logged_out = logged;
  tLastInitError = detail.empty() ? logged : logged + " (" + detail + ")";
  return false;
}

}  // namespace

TOVSSLType SSLTypeFromConfig(const std::string& text) {
  return ToLowerAscii(text) == "tls1.2_only" ? TOVSSLType::Tls12Only : TOVSSLType::Tls12And13;
}

bool ApplyServerTlsDefaults(SSL_CTX* ctx, const std::string& cipher_list) {
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_options(ctx, SSL_OP_NO_SSLv2 | SSL_OP_NO_SSLv3 | SSL_OP_NO_TLSv1 | SSL_OP_NO_TLSv1_1 |
                               SSL_OP_NO_RENEGOTIATION | SSL_OP_IGNORE_UNEXPECTED_EOF |
                               SSL_OP_CIPHER_SERVER_PREFERENCE);
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
  const std::string ciphers = cipher_list.empty() ? std::string(kDefaultCipherList) : cipher_list;
  return SSL_CTX_set_cipher_list(ctx, ciphers.c_str()) == 1;
}

void ApplySSLType(SSL* ssl, TOVSSLType type) {
  if (type == TOVSSLType::Tls12Only) SSL_set_max_proto_version(ssl, TLS1_2_VERSION);
}

bool SharedSSLContextReady() noexcept {
  TOVLockGuard g(gSharedCtxLock);
  return gSharedCtx != nullptr;
}

std::string LastSSLInitError() { return tLastInitError; }

bool InitSharedSSLContext(const std::string& cert_file, const std::string& key_file,
                          const std::string& cipher_list) {
  std::string error, warning;
  bool created = false;
  bool ok = [&]() -> bool {
    TOVLockGuard g(gSharedCtxLock);
    tLastInitError.clear();
    if (gSharedCtx) {
      if (cert_file != gSharedCertFile || key_file != gSharedKeyFile)
        warning = Format("[ssl] InitSharedSSLContext called with different cert (have %s/%s, asked %s/%s) — ignoring",
                         gSharedCertFile, gSharedKeyFile, cert_file, key_file);
      return true;
    }
    SSL_CTX* ctx = nullptr;
    try {
      ERR_clear_error();
      ctx = SSL_CTX_new(TLS_server_method());
      if (!ctx) return FailInit(nullptr, error, "[ssl] cannot create SSL_CTX", OpenSSLErrors());
      if (!ApplyServerTlsDefaults(ctx, cipher_list))
        return FailInit(ctx, error, "[ssl] invalid cipher list: " + (cipher_list.empty() ? kDefaultCipherList : cipher_list),
                        OpenSSLErrors());
      // The whole chain: intermediate certificates must reach the client too.
      if (SSL_CTX_use_certificate_chain_file(ctx, cert_file.c_str()) != 1)
        return FailInit(ctx, error, Format("[ssl] failed to load certificate from %s", cert_file), OpenSSLErrors());
      if (SSL_CTX_use_PrivateKey_file(ctx, key_file.c_str(), SSL_FILETYPE_PEM) != 1)
        return FailInit(ctx, error, Format("[ssl] failed to load private key from %s", key_file), OpenSSLErrors());
      // A key of another certificate would make every handshake fail later.
      if (SSL_CTX_check_private_key(ctx) != 1)
        return FailInit(ctx, error, Format("[ssl] private key %s does not match certificate %s", key_file, cert_file),
                        OpenSSLErrors());
      gSharedCtx = ctx;
      gSharedCertFile = cert_file;
      gSharedKeyFile = key_file;
      created = true;
      return true;
    } catch (const std::exception& e) {
      return FailInit(ctx, error, Format("[ssl] InitSharedSSLContext exception: %s: %s", ExceptionClassName(e), e.what()),
                      "");
    }
  }();
  if (!warning.empty()) LogWarning(warning);
  if (!error.empty()) LogError(error);
  if (created)
    LogInfo("[ssl] shared SSL_CTX initialized (cert=%s, key=%s, min TLSv1.2)", cert_file, key_file);
  return ok;
}

void FreeSharedSSLContext() noexcept {
  TOVLockGuard g(gSharedCtxLock);
  if (gSharedCtx) SSL_CTX_free(gSharedCtx);
  gSharedCtx = nullptr;
  gSharedCertFile.clear();
  gSharedKeyFile.clear();
}

TOVOpenSSLHandler::TOVOpenSSLHandler(int fd, TOVSSLType type) : Stream(fd), type_(type) {}
TOVOpenSSLHandler::TOVOpenSSLHandler(const TOVAcceptedSocket& s, TOVSSLType type) : Stream(s), type_(type) {}

TOVOpenSSLHandler::~TOVOpenSSLHandler() {
  if (FConnSSL) SSL_free(FConnSSL);
  FConnSSL = nullptr;
}

TryResult TOVOpenSSLHandler::Outcome(int ret) noexcept {
  const int saved = errno;
  switch (SSL_get_error(FConnSSL, ret)) {
    case SSL_ERROR_WANT_READ: return {IoStatus::Ok, 0, IoWait::Readable};
    case SSL_ERROR_WANT_WRITE: return {IoStatus::Ok, 0, IoWait::Writable};
    case SSL_ERROR_ZERO_RETURN: return {IoStatus::Closed, 0, IoWait::None};
    case SSL_ERROR_SYSCALL:
      // With SSL_OP_IGNORE_UNEXPECTED_EOF a bare TCP close is reported as zero-return;
      // anything else here is a reset or similar.
      return {(saved == 0 || saved == EPIPE) ? IoStatus::Closed : IoStatus::Error, 0, IoWait::None};
    default: return {IoStatus::Error, 0, IoWait::None};
  }
}

void TOVOpenSSLHandler::DropSSL() noexcept {
  ERR_clear_error();
  if (FConnSSL) SSL_free(FConnSSL);
  FConnSSL = nullptr;
  shut_ = true;
}

TryResult TOVOpenSSLHandler::TryAccept() noexcept {
  try {
    if (!FConnSSL) {
      if (shut_) return {IoStatus::Error, 0, IoWait::None};
      {
        TOVLockGuard g(gSharedCtxLock);
        if (!gSharedCtx) {
          shut_ = true;
          LogError("[ssl] Accept called before InitSharedSSLContext");
          return {IoStatus::Error, 0, IoWait::None};
        }
        ERR_clear_error();
        FConnSSL = SSL_new(gSharedCtx);  // holds its own reference on the context
      }
      if (!FConnSSL) {
        shut_ = true;
        LogDebug("[ssl] SSL_new failed: %s", OpenSSLErrors());
        return {IoStatus::Error, 0, IoWait::None};
      }
      ApplySSLType(FConnSSL, type_);
      if (SSL_set_fd(FConnSSL, fd_) != 1) {
        DropSSL();
        return {IoStatus::Error, 0, IoWait::None};
      }
    }
    for (;;) {
      ERR_clear_error();
      errno = 0;
      const int r = SSL_accept(FConnSSL);
      if (r == 1) return {IoStatus::Ok, 0, IoWait::None};
      if (errno == EINTR && SSL_get_error(FConnSSL, r) == SSL_ERROR_SYSCALL) continue;
      TryResult t = Outcome(r);
      if (t.status == IoStatus::Ok) return t;
      LogDebug("[ssl] handshake with %s failed: %s", peer_address_, OpenSSLErrors());
      DropSSL();
      return t;
    }
  } catch (const std::exception& e) {
    DropSSL();
    LogError("[ssl] Accept exception: %s: %s", ExceptionClassName(e), e.what());
    return {IoStatus::Error, 0, IoWait::None};
  }
}

bool TOVOpenSSLHandler::Accept(Deadline deadline) {
  for (;;) {
    const TryResult r = TryAccept();
    if (r.status != IoStatus::Ok) return false;
    if (r.wait == IoWait::None) return true;
    IoStatus st;
    if (!WaitFor(r.wait, deadline, st)) {
      LogDebug("[ssl] handshake with %s failed: %s", peer_address_,
               st == IoStatus::Timeout ? std::string("timeout") : std::string("socket error"));
      DropSSL();
      return false;
    }
  }
}

TryResult TOVOpenSSLHandler::TryRecv(void* buf, std::size_t len) noexcept {
  if (!FConnSSL) return {IoStatus::Error, 0, IoWait::None};
  if (len == 0) return {IoStatus::Ok, 0, IoWait::None};
  for (;;) {
    ERR_clear_error();
    errno = 0;
    std::size_t got = 0;
    const int r = SSL_read_ex(FConnSSL, buf, len, &got);
    if (r == 1) return {IoStatus::Ok, got, IoWait::None};
    if (errno == EINTR && SSL_get_error(FConnSSL, r) == SSL_ERROR_SYSCALL) continue;
    const TryResult t = Outcome(r);
    ERR_clear_error();
    return t;
  }
}

TryResult TOVOpenSSLHandler::TrySend(const void* buf, std::size_t len) noexcept {
  if (!FConnSSL) return {IoStatus::Error, 0, IoWait::None};
  for (;;) {
    ERR_clear_error();
    errno = 0;
    std::size_t wrote = 0;
    const int r = SSL_write_ex(FConnSSL, buf, len, &wrote);
    if (r == 1) return {IoStatus::Ok, wrote, IoWait::None};
    if (errno == EINTR && SSL_get_error(FConnSSL, r) == SSL_ERROR_SYSCALL) continue;
    const TryResult t = Outcome(r);
    ERR_clear_error();
    return t;
  }
}

void TOVOpenSSLHandler::Shutdown(Deadline deadline) noexcept {
  if (FConnSSL && !shut_) {
    shut_ = true;
    // One close notification; we do not wait for the peer's.  A full send buffer gets a
    // bounded wait, nothing more.
    for (int tries = 0; tries < 4; ++tries) {
      ERR_clear_error();
      errno = 0;
      int r = SSL_shutdown(FConnSSL);
      if (r >= 0) break;
      int err = SSL_get_error(FConnSSL, r);
      if (err != SSL_ERROR_WANT_WRITE) break;
      IoStatus st;
      if (!WaitReady(POLLOUT, deadline, st)) break;
    }
    ERR_clear_error();
  }
  if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
}

void TOVOpenSSLHandler::ShutdownNow() noexcept { Shutdown(StreamClock::now()); }

std::size_t TOVOpenSSLHandler::BytesAvailable() const noexcept {
  if (!FConnSSL) return 0;
  int n = SSL_pending(FConnSSL);
  return n > 0 ? static_cast<std::size_t>(n) : 0;
}

std::string TOVOpenSSLHandler::ProtocolVersion() const {
  if (!FConnSSL) return {};
  const char* v = SSL_get_version(FConnSSL);
  return v ? v : "";
}

}  // namespace ov
