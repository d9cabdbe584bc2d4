#include "ov_auth.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <sys/random.h>

#include <cerrno>
#include <charconv>
#include <ctime>
#include <memory>
#include <set>
#include <stdexcept>
#include <vector>

#include "ov_database.h"
#include "ov_http_types.h"
#include "ov_security.h"
#include "ov_text.h"
#include "ov_json_helpers.h"

namespace ov {

namespace {

std::string g_jwt_secret;
std::int32_t g_jwt_expiry = 86400;

constexpr int kPasswordHashRounds = 10000;

// Fills buf from getrandom(); OpenSSL's generator (itself seeded by the kernel) only when the
// system call is missing.  Never a clock-seeded generator.
void FillRandom(unsigned char* buf, std::size_t n) {
  std::size_t got = 0;
  while (got < n) {
    ssize_t r = ::getrandom(buf + got, n - got, 0);
    if (r > 0) {
      got += static_cast<std::size_t>(r);
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    break;
  }
  if (got == n) return;
  if (n - got <= static_cast<std::size_t>(INT32_MAX) &&
      RAND_bytes(buf + got, static_cast<int>(n - got)) == 1)
    return;
  throw std::runtime_error("Random source unavailable: cannot generate random bytes");
}

class Sha1 {
 public:
  Sha1() : ctx_(EVP_MD_CTX_new()) {
    if (!ctx_) throw std::runtime_error("SHA-1: out of memory");
  }
  ~Sha1() { EVP_MD_CTX_free(ctx_); }
  Sha1(const Sha1&) = delete;
  Sha1& operator=(const Sha1&) = delete;

  // SHA-1 of a followed by b into out (20 bytes).
  void Digest(std::string_view a, std::string_view b, unsigned char* out) {
    unsigned int len = 0;
    if (EVP_DigestInit_ex(ctx_, EVP_sha1(), nullptr) != 1 || EVP_DigestUpdate(ctx_, a.data(), a.size()) != 1 ||
        EVP_DigestUpdate(ctx_, b.data(), b.size()) != 1 || EVP_DigestFinal_ex(ctx_, out, &len) != 1 || len != 20)
      throw std::runtime_error("SHA-1 failed");
  }

 private:
  EVP_MD_CTX* ctx_;
};

std::vector<std::string_view> SplitAll(std::string_view s, char sep) {
  std::vector<std::string_view> out;
  for (;;) {
    std::size_t p = s.find(sep);
    out.push_back(s.substr(0, p));
    if (p == std::string_view::npos) break;
    s.remove_prefix(p + 1);
  }
  return out;
}

// Trims blanks and control characters.
std::string_view TrimControl(std::string_view s) {
  while (!s.empty() && static_cast<unsigned char>(s.front()) <= ' ') s.remove_prefix(1);
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ') s.remove_suffix(1);
  return s;
}

struct LessIgnoreCase {
  bool operator()(const std::string& a, const std::string& b) const { return ToLowerAscii(a) < ToLowerAscii(b); }
};

const char* kJWTHeader = "{ \"alg\" : \"HS1\", \"typ\" : \"JWT\" }";

// A claim read as a 64-bit integer; absent or of another type: def.
std::int64_t ClaimInt(const TJSON& claims, const char* name, std::int64_t def = 0) {
  auto it = claims.find(name);
  if (it == claims.end() || !it->is_number_integer()) return def;
  if (it->is_number_unsigned()) {
    auto u = it->get<std::uint64_t>();
    return u > static_cast<std::uint64_t>(INT64_MAX) ? def : static_cast<std::int64_t>(u);
  }
  return it->get<std::int64_t>();
}

}  // namespace

// ---- secret and lifetime ------------------------------------------------------------------------

void TOVAuth::Init(const std::string& secret, std::int32_t expiry_seconds) {
  g_jwt_secret = secret.empty() ? GenerateRandomHex(32) : secret;
  g_jwt_expiry = expiry_seconds;
}

std::int32_t TOVAuth::JWTExpiry() noexcept { return g_jwt_expiry; }

// ---- random, salts, hashes ----------------------------------------------------------------------

std::string TOVAuth::GenerateRandomHex(std::size_t n) {
  std::vector<unsigned char> b(n);
  if (n) FillRandom(b.data(), n);
  std::string s = HexEncode(b.data(), n);
  OPENSSL_cleanse(b.data(), b.size());
  return s;
}

std::string TOVAuth::GenerateSalt() { return GenerateRandomHex(32); }

std::string TOVAuth::HashPassword(std::string_view password, std::string_view salt) {
  Sha1 sha;
  unsigned char d[20];
  sha.Digest(salt, password, d);
  for (int i = 1; i < kPasswordHashRounds; ++i)
    sha.Digest(std::string_view(reinterpret_cast<const char*>(d), sizeof d), salt, d);
  std::string out = HexEncode(d, sizeof d);
  OPENSSL_cleanse(d, sizeof d);
  return out;
}

bool TOVAuth::VerifyPassword(std::string_view password, std::string_view salt, std::string_view stored_hash) {
  return SecureEquals(HashPassword(password, salt), stored_hash);
}

bool TOVAuth::SecureEquals(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  if (a.empty()) return true;
  return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

std::string TOVAuth::HashAPIKey(std::string_view key) {
  Sha1 sha;
  unsigned char d[20];
  sha.Digest(key, {}, d);
  return HexEncode(d, sizeof d);
}

std::string TOVAuth::GenerateAPIKey() { return "ov_" + GenerateRandomHex(24); }

// ---- Base64url and HMAC -------------------------------------------------------------------------

std::string TOVAuth::Base64UrlEncode(std::string_view data) {
  static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string out;
  out.reserve((data.size() + 2) / 3 * 4);
  std::size_t i = 0;
  auto byte = [&](std::size_t k) { return static_cast<std::uint32_t>(static_cast<unsigned char>(data[k])); };
  for (; i + 3 <= data.size(); i += 3) {
    std::uint32_t v = (byte(i) << 16) | (byte(i + 1) << 8) | byte(i + 2);
    out.push_back(alphabet[(v >> 18) & 63]);
    out.push_back(alphabet[(v >> 12) & 63]);
    out.push_back(alphabet[(v >> 6) & 63]);
    out.push_back(alphabet[v & 63]);
  }
  std::size_t rest = data.size() - i;
  if (rest == 1) {
    std::uint32_t v = byte(i) << 16;
    out.push_back(alphabet[(v >> 18) & 63]);
    out.push_back(alphabet[(v >> 12) & 63]);
  } else if (rest == 2) {
    std::uint32_t v = (byte(i) << 16) | (byte(i + 1) << 8);
    out.push_back(alphabet[(v >> 18) & 63]);
    out.push_back(alphabet[(v >> 12) & 63]);
    out.push_back(alphabet[(v >> 6) & 63]);
  }
  return out;
}

std::string TOVAuth::Base64UrlDecode(std::string_view text) {
  // Padding that is already there is accepted; the decoder pads what is missing.
  while (!text.empty() && text.back() == '=') text.remove_suffix(1);
  if (text.size() % 4 == 1) return {};
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '-' || c == '+') return 62;
    if (c == '_' || c == '/') return 63;
    return -1;
  };
  std::string out;
  out.reserve(text.size() * 3 / 4);
  std::uint32_t acc = 0;
  int bits = 0;
  for (char c : text) {
    int v = value(c);
    if (v < 0) return {};
    acc = (acc << 6) | static_cast<std::uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<char>((acc >> bits) & 0xFF));
    }
  }
  return out;
}

std::string TOVAuth::HMACSHA1Sign(std::string_view data, std::string_view key) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (key.size() > static_cast<std::size_t>(INT32_MAX) ||
      !HMAC(EVP_sha1(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(data.data()),
            data.size(), md, &len) ||
      len != 20)
    throw std::runtime_error("HMAC-SHA1 failed");
  return std::string(reinterpret_cast<const char*>(md), len);
}

// ---- tokens -------------------------------------------------------------------------------------

std::int64_t TOVAuth::NowSeconds() {
  // Tokens count seconds of the local wall clock (local date-time minus 1970-01-01), so the
  // UTC seconds are shifted by the local offset.
  std::time_t t = std::time(nullptr);
  struct tm lt;
  localtime_r(&t, &lt);
  return static_cast<std::int64_t>(t) + static_cast<std::int64_t>(lt.tm_gmtoff);
}

std::string TOVAuth::CreateJWT(std::int64_t user_id, const std::string& username, bool is_admin,
                               std::int32_t security_level, const std::string& flags, const std::string& user_guid) {
  return CreateJWTAt(NowSeconds(), user_id, username, is_admin, security_level, flags, user_guid);
}

std::string TOVAuth::CreateJWTAt(std::int64_t now, std::int64_t user_id, const std::string& username, bool is_admin,
                                 std::int32_t security_level, const std::string& flags,
                                 const std::string& user_guid) {
  TJSON claims = TJSON::object();
  if (!user_guid.empty())
    claims["sub"] = user_guid;
  else
    claims["sub"] = user_id;
  claims["uid"] = user_id;
  claims["usr"] = username;
  claims["adm"] = is_admin;
  claims["slv"] = security_level;
  claims["flg"] = flags;
  claims["iss"] = "OVBBS";
  claims["iat"] = now;
  claims["exp"] = now + g_jwt_expiry;
  std::string signing = Base64UrlEncode(kJWTHeader) + "." + Base64UrlEncode(JsonSpaced(claims));
  std::string sig = Base64UrlEncode(HMACSHA1Sign(signing, g_jwt_secret));
  return signing + "." + sig;
}

bool TOVAuth::ValidateJWT(std::string_view token, TOVAuthUser& user) {
  return ValidateJWTAt(token, user, NowSeconds());
}

bool TOVAuth::ValidateJWTAt(std::string_view token, TOVAuthUser& user, std::int64_t now) {
  user.Clear();
  try {
    std::vector<std::string_view> parts = SplitAll(token, '.');
    if (parts.size() != 3) return false;
    std::size_t signed_len = parts[0].size() + 1 + parts[1].size();
    std::string expected = Base64UrlEncode(HMACSHA1Sign(token.substr(0, signed_len), g_jwt_secret));
    if (!SecureEquals(expected, parts[2])) return false;

    TJSON claims;
    if (!ParseJsonText(Base64UrlDecode(parts[1]), claims) || !claims.is_object()) return false;

    // A missing or non-numeric exp counts as 0: such a token is always expired.
    bool live = now <= 0;
    auto exp = claims.find("exp");
    if (exp != claims.end()) {
      if (exp->is_number_unsigned())
        live = now < 0 || static_cast<std::uint64_t>(now) <= exp->get<std::uint64_t>();
      else if (exp->is_number_integer())
        live = now <= exp->get<std::int64_t>();
      else if (exp->is_number_float())
        live = static_cast<double>(now) <= exp->get<double>();  // false for NaN
    }
    if (!live) return false;

    TOVAuthUser u;
    auto sub = claims.find("sub");
    if (sub != claims.end() && sub->is_number_integer()) {
      u.UserID = ClaimInt(claims, "sub", 0);
    } else {
      if (sub != claims.end() && sub->is_string()) u.UserGUID = sub->get<std::string>();
      u.UserID = ClaimInt(claims, "uid", 0);
    }
    u.Username = JStr(claims, "usr");
    u.IsAdmin = JBool(claims, "adm");
    std::int64_t slv = ClaimInt(claims, "slv", 0);
    u.SecurityLevel = (slv < INT32_MIN || slv > INT32_MAX) ? 0 : static_cast<std::int32_t>(slv);
    u.Flags = JStr(claims, "flg");
    u.Source = "jwt";
    user = std::move(u);
    return true;
  } catch (...) {
    user.Clear();
    return false;
  }
}

// ---- flags --------------------------------------------------------------------------------------

std::string TOVAuth::ResolveUserFlags(std::int64_t user_id) {
  auto db = RequireDB();
  std::set<std::string, LessIgnoreCase> flags;
  {
    // Read on the write connection so flags changed a moment ago by this server are seen.
    TOVWriteQuery q = db->NewQuery();
    // The set below removes duplicates and sorts: asking the database for DISTINCT and ORDER BY
    // as well costs MariaDB a temporary table on every login (0.8 ms against 0.2).
    q.SetSQL(
        "SELECT flag_name FROM user_flags WHERE user_id = :uid  UNION ALL  "
        "SELECT gf.flag_name FROM user_groups ug JOIN acl_group_flags gf ON ug.group_id = gf.group_id "
        "WHERE ug.user_id = :uid2");
    q.Param("uid", user_id);
    q.Param("uid2", user_id);
    q.Open();
    while (!q.Eof()) {
      std::string name = q.Field(std::size_t{0}).AsText();  // NULL reads as empty
      if (!name.empty()) flags.insert(std::move(name));
      q.Next();
    }
  }
  std::string out;
  for (const auto& f : flags) {
    if (!out.empty()) out.push_back(',');
    out += f;
  }
  return out;
}

bool TOVAuth::UserHasFlag(std::string_view flags, std::string_view flag) {
  if (flag.empty()) return true;
  for (std::string_view item : SplitAll(flags, ','))
    if (EqualsIgnoreCase(item, flag)) return true;
  return false;
}

bool TOVAuth::UserHasAllFlags(std::string_view flags, std::string_view required) {
  if (required.empty()) return true;
  for (std::string_view item : SplitAll(required, ',')) {
    item = TrimControl(item);
    if (item.empty()) continue;
    if (!UserHasFlag(flags, item)) return false;
  }
  return true;
}

bool TOVAuth::CheckResourceAccess(const TOVAuthUser& user, std::int32_t resource_level, std::string_view required) {
  if (user.IsAdmin) return true;
  if (resource_level > user.SecurityLevel) return false;
  if (required.empty()) return true;
  return UserHasAllFlags(user.Flags, required);
}

// ---- request authentication ---------------------------------------------------------------------

bool ValidateAPIKey(const std::string& key, TOVAuthUser& user) {
  user.Clear();
  const std::string h = TOVAuth::HashAPIKey(key);
  auto db = RequireDB();
  TOVWriteQuery q = db->NewQuery();
  q.SetSQL(
      "SELECT a.id, a.user_id, a.is_active, a.expires_at, a.key_hash, u.guid AS user_guid, u.username, "
      "u.is_admin, u.security_level, u.id AS owner_id, u.is_active AS owner_active, u.is_locked AS owner_locked "
      "FROM api_keys a LEFT JOIN users u ON a.user_id = u.id WHERE a.key_hash = :h");
  q.Param("h", h);
  q.Open();
  if (q.Eof()) return false;
  // The lookup found the row by its hash; the exact bytes are confirmed in constant time (a
  // case-insensitive collation could otherwise match a differently written hash).
  if (!TOVAuth::SecureEquals(q.Str("key_hash"), h)) return false;
  if (q.Int("is_active") != 1) return false;

  // A key past its expiry is refused; the server's own UTC clock decides (the dialects' NOW()
  // may run on another zone or clock).
  if (const std::string exp_text = q.Str("expires_at"); !exp_text.empty()) {  // NULL reads as empty
    // A seconds field of 60 counts as the first second of the next minute.
    std::optional<std::int64_t> exp = ParseUTCText(exp_text, true);
    std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
    if (!exp || now > *exp) return false;
  }

  // A key bound to an account works only while that account exists, is active and unlocked.
  // A key without an owner authenticates as user 0.
  if (!q.IsNull("user_id")) {
    if (q.IsNull("owner_id")) return false;
    if (!(q.Int("owner_active") == 1) || (q.Int("owner_locked") == 1)) return false;
  }

  TOVAuthUser u;
  u.UserID = q.Int("user_id");  // NULL (no owner) reads as 0, the owner's columns as empty
  u.UserGUID = q.Str("user_guid");
  u.Username = q.Str("username");
  u.IsAdmin = (q.Int("is_admin") == 1);
  u.SecurityLevel = ClampToInt32(q.Int("security_level"));
  u.Source = "apikey";
  q.Close();

  q.SetSQL("UPDATE api_keys SET last_used = " + db->NowExpr() + " WHERE key_hash = :h");
  q.Param("h", h);
  q.ExecSQL();
  db->Commit();
  user = std::move(u);
  return true;
}

bool AuthenticateRequest(const TOVHttpRequest& req, TOVAuthUser& user) {
  user.Clear();
  std::string auth = req.Header("Authorization");
  if (auth.size() > 7 && EqualsIgnoreCase(std::string_view(auth).substr(0, 7), "Bearer "))
    return TOVAuth::ValidateJWT(std::string_view(auth).substr(7), user);
  std::string key = req.Header("X-API-Key");
  if (!key.empty()) return ValidateAPIKey(key, user);
  return false;
}

}  // namespace ov
