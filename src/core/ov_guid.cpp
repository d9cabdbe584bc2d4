#include "ov_guid.h"

#include <openssl/rand.h>

#include <charconv>
#include <cstdint>
#include <stdexcept>

#include "ov_text.h"

namespace ov {

std::string TOVGuid::Generate() {
  unsigned char b[16];
  if (RAND_bytes(b, sizeof b) != 1) throw std::runtime_error("random source unavailable");
  b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);  // version 4
  b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
  std::string s;
  s.reserve(36);
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) s.push_back('-');
    AppendHexByte(s, b[i]);
  }
  return s;
}

bool TOVGuid::IsValid(std::string_view s) noexcept {
  if (s.size() != 36) return false;
  for (std::size_t i = 0; i < 36; ++i) {
    char c = s[i];
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (c != '-') return false;
    } else if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) {
      return false;
    }
  }
  return true;
}

bool TOVGuid::IsInteger(std::string_view s) noexcept {
  if (s.empty()) return false;
  std::string_view v = s;
  if (v.front() == '+') v.remove_prefix(1);
  if (v.empty()) return false;
  std::int64_t r = 0;
  auto [ptr, ec] = std::from_chars(v.data(), v.data() + v.size(), r);
  return ec == std::errc() && ptr == v.data() + v.size() && r >= 0;
}

std::string TOVGuid::Short(std::string_view s) {
  std::string t;
  t.reserve(s.size());
  for (char c : s)
    if (c != '-') t.push_back(c);
  return t.size() >= 12 ? t.substr(t.size() - 12) : t;
}

std::string TOVGuid::ForLog(std::string_view s) {
  if (s.empty()) return {};
  return "[.." + Short(s) + "]";
}

}  // namespace ov
