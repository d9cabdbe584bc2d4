#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <regex>
#include <set>
#include <string>

#include "ov_auth.h"
#include "ov_database.h"
#include "ov_json_helpers.h"
#include "ov_route_auth.h"
#include "ov_text.h"
#include "test_util.h"

using namespace ov;

namespace {

std::string Sha1Hex(const std::string& s) {
  unsigned char d[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char*>(s.data()), s.size(), d);
  return HexEncode(std::string(reinterpret_cast<const char*>(d), sizeof d));
}

// A token assembled by hand, signed with the given secret.
std::string SignedToken(const std::string& header_b64, const std::string& claims_text, const std::string& secret) {
  std::string signing = header_b64 + "." + TOVAuth::Base64UrlEncode(claims_text);
  return signing + "." + TOVAuth::Base64UrlEncode(TOVAuth::HMACSHA1Sign(signing, secret));
}

const std::string kHeaderB64 = TOVAuth::Base64UrlEncode("{ \"alg\" : \"HS1\", \"typ\" : \"JWT\" }");

}  // namespace

// ---- passwords, salts, random -------------------------------------------------------------------

TEST(AuthPassword, KnownVectorAndConstruction) {
  const std::string salt(64, '0');
  EXPECT_EQ(TOVAuth::HashPassword("secret1", salt), "fb041de41e09b8de6d39aa71af95e5bf606db80e");
  EXPECT_EQ(TOVAuth::HashPassword("secret1", salt), TOVAuth::HashPassword("secret1", salt));

  // The construction itself, recomputed independently: SHA-1(salt + password), then 9999
  // rounds of SHA-1(raw digest + salt).
  std::string salt2 = TOVAuth::GenerateSalt();
  unsigned char d[20];
  std::string first = salt2 + "pässwörd";
  SHA1(reinterpret_cast<const unsigned char*>(first.data()), first.size(), d);
  for (int i = 1; i < 10000; ++i) {
    std::string next(reinterpret_cast<const char*>(d), 20);
    next += salt2;
    SHA1(reinterpret_cast<const unsigned char*>(next.data()), next.size(), d);
  }
  EXPECT_EQ(TOVAuth::HashPassword("pässwörd", salt2), HexEncode(std::string(reinterpret_cast<const char*>(d), 20)));

  // Swapping salt and password, or feeding the hex text of a digest, gives another value.
  EXPECT_NE(TOVAuth::HashPassword(salt, "secret1"), TOVAuth::HashPassword("secret1", salt));
  EXPECT_NE(TOVAuth::HashPassword("secret1", TOVAuth::GenerateSalt()), TOVAuth::HashPassword("secret1", salt));
}

TEST(AuthPassword, VerifyIsExact) {
  const std::string salt(64, '0');
  const std::string h = "fb041de41e09b8de6d39aa71af95e5bf606db80e";
  EXPECT_TRUE(TOVAuth::VerifyPassword("secret1", salt, h));
  EXPECT_FALSE(TOVAuth::VerifyPassword("secret2", salt, h));
  EXPECT_FALSE(TOVAuth::VerifyPassword("secret1", salt, "FB041DE41E09B8DE6D39AA71AF95E5BF606DB80E"));
  EXPECT_FALSE(TOVAuth::VerifyPassword("secret1", salt, h.substr(0, 39)));
  EXPECT_FALSE(TOVAuth::VerifyPassword("secret1", salt, h + "0"));
  EXPECT_FALSE(TOVAuth::VerifyPassword("secret1", salt, ""));
}

TEST(AuthPassword, SecureEquals) {
  EXPECT_TRUE(TOVAuth::SecureEquals("", ""));
  EXPECT_TRUE(TOVAuth::SecureEquals("abc", "abc"));
  EXPECT_FALSE(TOVAuth::SecureEquals("abc", "abd"));
  EXPECT_FALSE(TOVAuth::SecureEquals("abc", "ab"));
  EXPECT_FALSE(TOVAuth::SecureEquals(std::string("a\0b", 3), std::string("a\0c", 3)));
}

TEST(AuthRandom, HexShapesAndUniqueness) {
  const std::regex hex("^[0-9a-f]*$");
  for (std::size_t n : {0u, 1u, 16u, 32u, 200u}) {
    std::string s = TOVAuth::GenerateRandomHex(n);
    EXPECT_EQ(s.size(), 2 * n);
    EXPECT_TRUE(std::regex_match(s, hex)) << s;
  }
  EXPECT_EQ(TOVAuth::GenerateSalt().size(), 64u);
  std::set<std::string> seen;
  for (int i = 0; i < 50; ++i) seen.insert(TOVAuth::GenerateRandomHex(16));
  EXPECT_EQ(seen.size(), 50u);
}

TEST(AuthAPIKey, FormatAndHash) {
  const std::regex shape("^ov_[0-9a-f]{48}$");
  std::string k1 = TOVAuth::GenerateAPIKey(), k2 = TOVAuth::GenerateAPIKey();
  EXPECT_EQ(k1.size(), 51u);
  EXPECT_TRUE(std::regex_match(k1, shape)) << k1;
  EXPECT_NE(k1, k2);
  // SHA-1 of the whole text, prefix included.
  EXPECT_EQ(TOVAuth::HashAPIKey("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(TOVAuth::HashAPIKey(k1), Sha1Hex(k1));
  EXPECT_EQ(TOVAuth::HashAPIKey(k1), TOVAuth::HashAPIKey(k1));
  EXPECT_NE(TOVAuth::HashAPIKey(k1), Sha1Hex(k1.substr(3)));
}

// ---- Base64url and HMAC -------------------------------------------------------------------------

TEST(AuthEncoding, Base64UrlVectors) {
  const std::pair<std::string, std::string> vectors[] = {
      {"", ""},           {"f", "Zg"},           {"fo", "Zm8"},       {"foo", "Zm9v"},
      {"foob", "Zm9vYg"}, {"fooba", "Zm9vYmE"}, {"foobar", "Zm9vYmFy"},
      {"\xfb\xff", "-_8"},  // standard Base64 "+/8=": both replacements and no padding
  };
  for (const auto& [plain, enc] : vectors) {
    EXPECT_EQ(TOVAuth::Base64UrlEncode(plain), enc);
    EXPECT_EQ(TOVAuth::Base64UrlDecode(enc), plain);
  }
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  for (std::size_t n = 0; n < 8; ++n) {
    std::string s = all.substr(n);
    std::string e = TOVAuth::Base64UrlEncode(s);
    EXPECT_EQ(e.find_first_of("+/="), std::string::npos);
    EXPECT_EQ(TOVAuth::Base64UrlDecode(e), s);
  }
  // Not Base64url: empty result, never an exception.
  EXPECT_EQ(TOVAuth::Base64UrlDecode("a"), "");
  EXPECT_EQ(TOVAuth::Base64UrlDecode("ab$d"), "");
  EXPECT_EQ(TOVAuth::Base64UrlDecode("ab.d"), "");
}

TEST(AuthEncoding, HmacSha1Rfc2202) {
  EXPECT_EQ(HexEncode(TOVAuth::HMACSHA1Sign("Hi There", std::string(20, '\x0b'))),
            "b617318655057264e28bc0b6fb378c8ef146be00");
  EXPECT_EQ(HexEncode(TOVAuth::HMACSHA1Sign("what do ya want for nothing?", "Jefe")),
            "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79");
  // Keys longer than the block are hashed first.
  EXPECT_EQ(HexEncode(TOVAuth::HMACSHA1Sign("Test Using Larger Than Block-Size Key - Hash Key First", std::string(80, '\xaa'))),
            "aa4ae5e15272d00e95705637ce8a3b55ed402112");
  EXPECT_EQ(TOVAuth::HMACSHA1Sign("", "").size(), 20u);
}

// ---- tokens -------------------------------------------------------------------------------------

class AuthToken : public ::testing::Test {
 protected:
  void SetUp() override { TOVAuth::Init("test-secret", 60); }
};

TEST_F(AuthToken, ByteExactHeaderAndClaims) {
  std::string t = TOVAuth::CreateJWTAt(1000, 7, "bob", true, 20, "A,B", "0a1b2c3d-0000-4000-8000-000000000001");
  auto dot1 = t.find('.'), dot2 = t.find('.', dot1 + 1);
  ASSERT_NE(dot2, std::string::npos);
  EXPECT_EQ(t.substr(0, dot1), kHeaderB64);
  EXPECT_EQ(TOVAuth::Base64UrlDecode(t.substr(dot1 + 1, dot2 - dot1 - 1)),
            "{ \"sub\" : \"0a1b2c3d-0000-4000-8000-000000000001\", \"uid\" : 7, \"usr\" : \"bob\", \"adm\" : true, "
            "\"slv\" : 20, \"flg\" : \"A,B\", \"iss\" : \"OVBBS\", \"iat\" : 1000, \"exp\" : 1060 }");
  EXPECT_EQ(t.size() - dot2 - 1, 27u);
  EXPECT_EQ(t.substr(dot2 + 1), TOVAuth::Base64UrlEncode(TOVAuth::HMACSHA1Sign(t.substr(0, dot2), "test-secret")));

  // Without a GUID the subject is the integer id.
  std::string t2 = TOVAuth::CreateJWTAt(1000, 9, "eve", false, 10, "", "");
  auto a = t2.find('.'), b = t2.find('.', a + 1);
  EXPECT_EQ(TOVAuth::Base64UrlDecode(t2.substr(a + 1, b - a - 1)),
            "{ \"sub\" : 9, \"uid\" : 9, \"usr\" : \"eve\", \"adm\" : false, \"slv\" : 10, \"flg\" : \"\", "
            "\"iss\" : \"OVBBS\", \"iat\" : 1000, \"exp\" : 1060 }");
}

TEST_F(AuthToken, ExpiryBoundary) {
  std::string t = TOVAuth::CreateJWTAt(1000, 7, "bob", false, 10, "", "");
  TOVAuthUser u;
  EXPECT_TRUE(TOVAuth::ValidateJWTAt(t, u, 1059));
  EXPECT_TRUE(TOVAuth::ValidateJWTAt(t, u, 1060));  // exp equal to now is still valid
  EXPECT_FALSE(TOVAuth::ValidateJWTAt(t, u, 1061));
  // A fresh token on the real clock validates on the real clock.
  EXPECT_TRUE(TOVAuth::ValidateJWT(TOVAuth::CreateJWT(1, "x", false, 0, "", ""), u));
}

TEST_F(AuthToken, MalformedAndForeignTokensAreRefusedWithClearedRecord) {
  std::string t = TOVAuth::CreateJWTAt(1000, 7, "bob", true, 20, "F", "");
  auto dot2 = t.rfind('.');
  std::string two = t.substr(0, dot2);
  std::string sig = t.substr(dot2 + 1);
  std::string flipped = t;
  flipped.back() = flipped.back() == 'A' ? 'B' : 'A';
  TOVAuth::Init("other-secret", 60);
  std::string foreign = TOVAuth::CreateJWTAt(1000, 7, "bob", true, 20, "F", "");
  TOVAuth::Init("test-secret", 60);

  const std::string bad[] = {"",       two,  t + ".",   t + "." + sig, "." + t, flipped,
                             foreign,  "a.b.c", "..",  t.substr(0, t.size() - 1)};
  for (const auto& token : bad) {
    TOVAuthUser u;
    u.UserID = 99;
    u.Username = "stale";
    u.IsAdmin = true;
    u.Source = "jwt";
    EXPECT_FALSE(TOVAuth::ValidateJWTAt(token, u, 1000)) << token;
    EXPECT_EQ(u.UserID, 0);
    EXPECT_EQ(u.Username, "");
    EXPECT_FALSE(u.IsAdmin);
    EXPECT_EQ(u.Source, "");
  }
  TOVAuthUser ok;
  EXPECT_TRUE(TOVAuth::ValidateJWTAt(t, ok, 1000));
}

TEST_F(AuthToken, ClaimsReading) {
  TOVAuthUser u;
  // Integer subject: id from sub, no GUID.
  ASSERT_TRUE(TOVAuth::ValidateJWTAt(
      SignedToken(kHeaderB64, R"({"sub": 5, "uid": 6, "usr": "ann", "adm": true, "slv": 30, "flg": "X", "exp": 10})",
                  "test-secret"),
      u, 10));
  EXPECT_EQ(u.UserID, 5);
  EXPECT_EQ(u.UserGUID, "");
  EXPECT_EQ(u.Username, "ann");
  EXPECT_TRUE(u.IsAdmin);
  EXPECT_EQ(u.SecurityLevel, 30);
  EXPECT_EQ(u.Flags, "X");
  EXPECT_EQ(u.Source, "jwt");
  // String subject: GUID from sub, id from uid.
  ASSERT_TRUE(TOVAuth::ValidateJWTAt(SignedToken(kHeaderB64, R"({"sub": "g-1", "uid": 6, "exp": 10})", "test-secret"),
                                     u, 10));
  EXPECT_EQ(u.UserID, 6);
  EXPECT_EQ(u.UserGUID, "g-1");
  // Mistyped claims read as empty values; the header is not inspected.
  ASSERT_TRUE(TOVAuth::ValidateJWTAt(
      SignedToken("anything", R"({"sub": "g", "uid": "6", "usr": 1, "adm": 1, "slv": 99999999999, "exp": 10})",
                  "test-secret"),
      u, 10));
  EXPECT_EQ(u.UserID, 0);
  EXPECT_EQ(u.Username, "");
  EXPECT_FALSE(u.IsAdmin);
  EXPECT_EQ(u.SecurityLevel, 0);
  // A missing or non-numeric exp is always expired; claims must be a JSON object.
  EXPECT_FALSE(TOVAuth::ValidateJWTAt(SignedToken(kHeaderB64, R"({"sub": 1})", "test-secret"), u, 1));
  EXPECT_FALSE(TOVAuth::ValidateJWTAt(SignedToken(kHeaderB64, R"({"sub": 1, "exp": "99999"})", "test-secret"), u, 1));
  EXPECT_FALSE(TOVAuth::ValidateJWTAt(SignedToken(kHeaderB64, "[1, 2]", "test-secret"), u, 1));
  EXPECT_FALSE(TOVAuth::ValidateJWTAt(SignedToken(kHeaderB64, "{not json", "test-secret"), u, 1));
  std::string deep(100, '[');
  EXPECT_FALSE(TOVAuth::ValidateJWTAt(SignedToken(kHeaderB64, deep, "test-secret"), u, 1));
}

TEST_F(AuthToken, EmptySecretIsReplacedByARandomOne) {
  TOVAuth::Init("", 60);
  std::string t = TOVAuth::CreateJWTAt(1000, 1, "a", false, 0, "", "");
  TOVAuth::Init("", 60);
  TOVAuthUser u;
  EXPECT_FALSE(TOVAuth::ValidateJWTAt(t, u, 1000));
  TOVAuth::Init("", 60);
  EXPECT_FALSE(TOVAuth::ValidateJWTAt(SignedToken(kHeaderB64, R"({"sub": 1, "exp": 2000})", ""), u, 1000));
}

// ---- flags and access ---------------------------------------------------------------------------

TEST(AuthFlags, HasFlag) {
  EXPECT_TRUE(TOVAuth::UserHasFlag("", ""));
  EXPECT_TRUE(TOVAuth::UserHasFlag("MSG_READ,MSG_POST", "msg_post"));
  EXPECT_TRUE(TOVAuth::UserHasFlag("MSG_READ,MSG_POST", "MSG_READ"));
  EXPECT_FALSE(TOVAuth::UserHasFlag("MSG_READ, MSG_POST", "MSG_POST"));  // the item begins with a blank
  EXPECT_FALSE(TOVAuth::UserHasFlag("", "MSG_READ"));
  EXPECT_FALSE(TOVAuth::UserHasFlag("MSG_READER", "MSG_READ"));
}

TEST(AuthFlags, HasAllFlags) {
  EXPECT_TRUE(TOVAuth::UserHasAllFlags("", ""));
  EXPECT_TRUE(TOVAuth::UserHasAllFlags("", " , ,,\t"));
  EXPECT_TRUE(TOVAuth::UserHasAllFlags("A,B,C", "a, b"));
  EXPECT_TRUE(TOVAuth::UserHasAllFlags("A,B,C", " c ,\tA"));
  EXPECT_FALSE(TOVAuth::UserHasAllFlags("A,B", "A, D"));
  EXPECT_FALSE(TOVAuth::UserHasAllFlags("", "A"));
}

TEST(AuthFlags, ResourceAccess) {
  TOVAuthUser u;
  u.SecurityLevel = 10;
  u.Flags = "A,B";
  EXPECT_FALSE(TOVAuth::CheckResourceAccess(u, 20, ""));
  EXPECT_FALSE(TOVAuth::CheckResourceAccess(u, 20, "A"));
  EXPECT_TRUE(TOVAuth::CheckResourceAccess(u, 10, ""));
  EXPECT_TRUE(TOVAuth::CheckResourceAccess(u, 5, "a,b"));
  EXPECT_FALSE(TOVAuth::CheckResourceAccess(u, 5, "A,C"));
  u.IsAdmin = true;
  EXPECT_TRUE(TOVAuth::CheckResourceAccess(u, 255, "Z"));
}

// ---- database-backed: flag resolution and API keys ----------------------------------------------

class AuthDB : public ovtest::SqliteDBTest {
 protected:
  void SetUp() override {
    SqliteDBTest::SetUp();
    raw = std::make_unique<ovtest::RawSqlite>(file, 5000);
  }
  void TearDown() override {
    raw.reset();
    SqliteDBTest::TearDown();
  }
  void AddUser(int id, const std::string& name, int active = 1, int locked = 0, int admin = 0, int level = 10) {
    raw->Exec("INSERT INTO users (id, guid, username, password_hash, password_salt, is_active, is_locked, is_admin, "
              "security_level) VALUES (" +
              std::to_string(id) + ", 'aaaaaaaa-0000-4000-8000-00000000000" + std::to_string(id) + "', '" + name +
              "', 'h', 's', " + std::to_string(active) + ", " + std::to_string(locked) + ", " + std::to_string(admin) +
              ", " + std::to_string(level) + ")");
  }
  std::string AddKey(const std::string& owner_sql, int active = 1, const std::string& expires_sql = "NULL") {
    std::string key = TOVAuth::GenerateAPIKey();
    raw->Exec("INSERT INTO api_keys (guid, key_hash, key_prefix, user_id, is_active, expires_at) VALUES ('" +
              TOVAuth::GenerateRandomHex(8) + "', '" + TOVAuth::HashAPIKey(key) + "', 'ov_', " + owner_sql + ", " +
              std::to_string(active) + ", " + expires_sql + ")");
    return key;
  }
  std::unique_ptr<ovtest::RawSqlite> raw;
};

TEST_F(AuthDB, ResolveUserFlagsMergesGrantsAndGroups) {
  AddUser(100, "nobody");
  EXPECT_EQ(TOVAuth::ResolveUserFlags(100), "");
  EXPECT_EQ(TOVAuth::ResolveUserFlags(12345), "");

  AddUser(101, "flagged");
  raw->Exec("INSERT INTO user_flags (user_id, flag_name) VALUES (101, 'zeta'), (101, 'Alpha'), (101, '')");
  raw->Exec("INSERT INTO acl_groups (guid, name) VALUES ('g1', 'TestGroup')");
  raw->Exec("INSERT INTO acl_group_flags (group_id, flag_name) SELECT id, 'alpha' FROM acl_groups WHERE name='TestGroup'");
  raw->Exec("INSERT INTO acl_group_flags (group_id, flag_name) SELECT id, 'Beta' FROM acl_groups WHERE name='TestGroup'");
  raw->Exec("INSERT INTO acl_group_flags (group_id, flag_name) SELECT id, 'zeta' FROM acl_groups WHERE name='TestGroup'");
  raw->Exec("INSERT INTO user_groups (user_id, group_id) SELECT 101, id FROM acl_groups WHERE name='TestGroup'");
  std::string flags = TOVAuth::ResolveUserFlags(101);
  // Sorted ignoring case, one entry per name whatever its case, empty names dropped.
  EXPECT_TRUE(flags == "Alpha,Beta,zeta" || flags == "alpha,Beta,zeta") << flags;
  // Another user's grants stay out.
  EXPECT_EQ(TOVAuth::ResolveUserFlags(100), "");
}

TEST_F(AuthDB, ValidateAPIKeyStatesOfKeyAndOwner) {
  AddUser(1, "sysop", 1, 0, 1, 255);
  AddUser(2, "disabled", 0);
  AddUser(3, "locked", 1, 1);

  std::string good = AddKey("1");
  TOVAuthUser u;
  ASSERT_TRUE(ValidateAPIKey(good, u));
  EXPECT_EQ(u.UserID, 1);
  EXPECT_EQ(u.Username, "sysop");
  EXPECT_EQ(u.UserGUID, "aaaaaaaa-0000-4000-8000-000000000001");
  EXPECT_TRUE(u.IsAdmin);
  EXPECT_EQ(u.SecurityLevel, 255);
  EXPECT_EQ(u.Flags, "");
  EXPECT_EQ(u.Source, "apikey");
  EXPECT_NE(raw->Text("SELECT last_used FROM api_keys WHERE key_hash='" + TOVAuth::HashAPIKey(good) + "'"), "");

  // Without an owner: user 0, not an administrator, level 0.
  std::string ownerless = AddKey("NULL");
  ASSERT_TRUE(ValidateAPIKey(ownerless, u));
  EXPECT_EQ(u.UserID, 0);
  EXPECT_FALSE(u.IsAdmin);
  EXPECT_EQ(u.SecurityLevel, 0);
  EXPECT_EQ(u.Source, "apikey");

  // Refused: unknown, inactive, expired, owner disabled, owner locked.  The record is cleared.
  const std::string refused[] = {
      "ov_" + std::string(48, '0'),
      AddKey("1", 0),
      AddKey("1", 1, "'2000-01-01 00:00:00'"),
      AddKey("2"),
      AddKey("3"),
  };
  for (const auto& k : refused) {
    u.UserID = 77;
    u.Source = "apikey";
    EXPECT_FALSE(ValidateAPIKey(k, u)) << k;
    EXPECT_EQ(u.UserID, 0);
    EXPECT_EQ(u.Source, "");
  }
  // An expiry in the future still works.
  EXPECT_TRUE(ValidateAPIKey(AddKey("1", 1, "'2999-12-31 23:59:59'"), u));
}

TEST_F(AuthDB, IsSetupCompleteFollowsAdministrators) {
  EXPECT_FALSE(IsSetupComplete());
  AddUser(5, "plain");
  EXPECT_FALSE(IsSetupComplete());
  raw->Exec("UPDATE users SET is_admin = 1 WHERE id = 5");
  EXPECT_TRUE(IsSetupComplete());
}
