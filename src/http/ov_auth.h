// Credentials: random hex, password salts and hashes, signed bearer tokens, API keys, and the
// access-flag and security-level tests.  TOVAuthUser is the caller's identity as request
// authentication fills it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace ov {

class TOVHttpRequest;

struct TOVAuthUser {
  std::int64_t UserID = 0;
  std::string UserGUID;       // empty when a token carried only an integer subject
  std::string Username;
  bool IsAdmin = false;
  std::int32_t SecurityLevel = 0;
  std::string Flags;          // comma-separated access flags
  std::string Source;         // "jwt" or "apikey"

  void Clear() { *this = TOVAuthUser(); }
};

class TOVAuth {
 public:
  TOVAuth() = delete;

  // Once at start-up, before any request thread exists.  An empty secret is replaced by a
  // fresh random one (tokens then do not survive a restart).
  static void Init(const std::string& secret, std::int32_t expiry_seconds);
  static std::int32_t JWTExpiry() noexcept;

  // n bytes from the operating system's random source as 2n lower-case hex digits.  Throws
  // std::runtime_error when the random source cannot deliver: a secret must never come from
  // a predictable generator.
  static std::string GenerateRandomHex(std::size_t n);
  static std::string GenerateSalt();  // 64 hex digits
  // Iterated salted SHA-1 (10000 rounds), 40 lower-case hex digits.
  static std::string HashPassword(std::string_view password, std::string_view salt);
  // Exact (case-sensitive) match, compared in constant time.
  static bool VerifyPassword(std::string_view password, std::string_view salt, std::string_view stored_hash);

  static std::string Base64UrlEncode(std::string_view data);
  // Empty text for input that is not Base64url.
  static std::string Base64UrlDecode(std::string_view text);
  // Raw 20-byte HMAC-SHA1.
  static std::string HMACSHA1Sign(std::string_view data, std::string_view key);

  // Whole seconds of the local clock, as tokens count them.
  static std::int64_t NowSeconds();
  static std::string CreateJWT(std::int64_t user_id, const std::string& username, bool is_admin,
                               std::int32_t security_level, const std::string& flags, const std::string& user_guid);
  // Same, issued at the given time (tests and callers that need a fixed clock).
  static std::string CreateJWTAt(std::int64_t now, std::int64_t user_id, const std::string& username, bool is_admin,
                                 std::int32_t security_level, const std::string& flags,
                                 const std::string& user_guid);
  // Never throws for a bad token; false leaves user cleared.
  static bool ValidateJWT(std::string_view token, TOVAuthUser& user);
  static bool ValidateJWTAt(std::string_view token, TOVAuthUser& user, std::int64_t now);

  // Direct grants and group flags of a user, sorted ignoring case, without duplicates,
  // joined by ",".  Database errors propagate.
  static std::string ResolveUserFlags(std::int64_t user_id);
  static bool UserHasFlag(std::string_view flags, std::string_view flag);
  static bool UserHasAllFlags(std::string_view flags, std::string_view required);
  static bool CheckResourceAccess(const TOVAuthUser& user, std::int32_t resource_level, std::string_view required);

  static std::string HashAPIKey(std::string_view key);  // SHA-1, 40 lower-case hex digits
  static std::string GenerateAPIKey();                  // "ov_" + 48 hex digits

  // Length check, then a constant-time comparison of the bytes.
  static bool SecureEquals(std::string_view a, std::string_view b) noexcept;
};

// API-key check for request authentication and the WebSocket upgrade.  Refuses unknown,
// inactive and expired keys and keys whose owner is inactive or locked; stamps last_used (one
// write query).  Database errors propagate.
bool ValidateAPIKey(const std::string& key, TOVAuthUser& user);

// Clears user, then: an "Authorization: Bearer <token>" header decides alone (an invalid
// token is not retried with an API key); otherwise a non-empty "X-API-Key" header is checked.
// False without either.  Database errors of the API-key check propagate.
bool AuthenticateRequest(const TOVHttpRequest& req, TOVAuthUser& user);

}  // namespace ov
