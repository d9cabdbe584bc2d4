#include "ov_text.h"

#include <cstdint>
#include <limits>

namespace ov {

bool EqualsIgnoreCase(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (LowerAsciiChar(a[i]) != LowerAsciiChar(b[i])) return false;
  return true;
}

std::string ToLowerAscii(std::string_view s) {
  std::string r(s);
  for (auto& c : r) c = LowerAsciiChar(c);
  return r;
}

std::string ToUpperAscii(std::string_view s) {
  std::string r(s);
  for (auto& c : r) c = UpperAsciiChar(c);
  return r;
}

std::string TrimAscii(std::string_view s) {
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; };
  std::size_t b = 0, e = s.size();
  while (b < e && blank(s[b])) ++b;
  while (e > b && blank(s[e - 1])) --e;
  return std::string(s.substr(b, e - b));
}

bool IsSafeName(std::string_view name) noexcept {
  if (name.empty() || name.size() > 255 || name == "." || name == "..") return false;
  for (char c : name)
    if (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
  return true;
}

std::optional<std::int64_t> ParseInt64(std::string_view s) noexcept {
  bool neg = false;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    neg = s.front() == '-';
    s.remove_prefix(1);
  }
  if (s.empty()) return std::nullopt;
  // Accumulate negatively so INT64_MIN fits.
  std::int64_t v = 0;
  for (char ch : s) {
    if (ch < '0' || ch > '9') return std::nullopt;
    int d = ch - '0';
    if (v < (std::numeric_limits<std::int64_t>::min() + d) / 10) return std::nullopt;
    v = v * 10 - d;
  }
  if (!neg) {
    if (v == std::numeric_limits<std::int64_t>::min()) return std::nullopt;
    v = -v;
  }
  return v;
}

std::int32_t ClampToInt32(std::int64_t v) noexcept {
  if (v < INT32_MIN) return INT32_MIN;
  if (v > INT32_MAX) return INT32_MAX;
  return static_cast<std::int32_t>(v);
}

void AppendHexByte(std::string& out, unsigned char byte, HexCase letters) {
  const char* digits = letters == HexCase::Upper ? "0123456789ABCDEF" : "0123456789abcdef";
  out.push_back(digits[byte >> 4]);
  out.push_back(digits[byte & 15]);
}

std::string HexEncode(std::string_view bytes, HexCase letters) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (char c : bytes) AppendHexByte(out, static_cast<unsigned char>(c), letters);
  return out;
}

}  // namespace ov
