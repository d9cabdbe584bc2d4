#include "ov_text.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
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

/* ---- Unicode case folding ------------------------------------------------------------------ */

namespace {

// Simple case folding of the blocks EqualsFoldCase covers, as runs: every stride-th code point
// from first to last folds to itself plus delta.  Taken from the Unicode 14 character data (the
// C and S entries of CaseFolding.txt for U+0000-U+058F and U+1E00-U+1EFF), sorted by first.
struct TFoldRun {
  char32_t first, last;
  std::int32_t delta;
  std::uint32_t stride;
};
constexpr TFoldRun kFoldRuns[] = {
    {0x0041, 0x005A, 32, 1}, {0x00B5, 0x00B5, 775, 1}, {0x00C0, 0x00D6, 32, 1},
    {0x00D8, 0x00DE, 32, 1}, {0x0100, 0x012E, 1, 2}, {0x0132, 0x0136, 1, 2},
    {0x0139, 0x0147, 1, 2}, {0x014A, 0x0176, 1, 2}, {0x0178, 0x0178, -121, 1},
    {0x0179, 0x017D, 1, 2}, {0x017F, 0x017F, -268, 1}, {0x0181, 0x0181, 210, 1},
    {0x0182, 0x0184, 1, 2}, {0x0186, 0x0186, 206, 1}, {0x0187, 0x0187, 1, 1},
    {0x0189, 0x018A, 205, 1}, {0x018B, 0x018B, 1, 1}, {0x018E, 0x018E, 79, 1},
    {0x018F, 0x018F, 202, 1}, {0x0190, 0x0190, 203, 1}, {0x0191, 0x0191, 1, 1},
    {0x0193, 0x0193, 205, 1}, {0x0194, 0x0194, 207, 1}, {0x0196, 0x0196, 211, 1},
    {0x0197, 0x0197, 209, 1}, {0x0198, 0x0198, 1, 1}, {0x019C, 0x019C, 211, 1},
    {0x019D, 0x019D, 213, 1}, {0x019F, 0x019F, 214, 1}, {0x01A0, 0x01A4, 1, 2},
    {0x01A6, 0x01A6, 218, 1}, {0x01A7, 0x01A7, 1, 1}, {0x01A9, 0x01A9, 218, 1},
    {0x01AC, 0x01AC, 1, 1}, {0x01AE, 0x01AE, 218, 1}, {0x01AF, 0x01AF, 1, 1},
    {0x01B1, 0x01B2, 217, 1}, {0x01B3, 0x01B5, 1, 2}, {0x01B7, 0x01B7, 219, 1},
    {0x01B8, 0x01B8, 1, 1}, {0x01BC, 0x01BC, 1, 1}, {0x01C4, 0x01C4, 2, 1},
    {0x01C5, 0x01C5, 1, 1}, {0x01C7, 0x01C7, 2, 1}, {0x01C8, 0x01C8, 1, 1},
    {0x01CA, 0x01CA, 2, 1}, {0x01CB, 0x01DB, 1, 2}, {0x01DE, 0x01EE, 1, 2},
    {0x01F1, 0x01F1, 2, 1}, {0x01F2, 0x01F4, 1, 2}, {0x01F6, 0x01F6, -97, 1},
    {0x01F7, 0x01F7, -56, 1}, {0x01F8, 0x021E, 1, 2}, {0x0220, 0x0220, -130, 1},
    {0x0222, 0x0232, 1, 2}, {0x023A, 0x023A, 10795, 1}, {0x023B, 0x023B, 1, 1},
    {0x023D, 0x023D, -163, 1}, {0x023E, 0x023E, 10792, 1}, {0x0241, 0x0241, 1, 1},
    {0x0243, 0x0243, -195, 1}, {0x0244, 0x0244, 69, 1}, {0x0245, 0x0245, 71, 1},
    {0x0246, 0x024E, 1, 2}, {0x0345, 0x0345, 116, 1}, {0x0370, 0x0372, 1, 2},
    {0x0376, 0x0376, 1, 1}, {0x037F, 0x037F, 116, 1}, {0x0386, 0x0386, 38, 1},
    {0x0388, 0x038A, 37, 1}, {0x038C, 0x038C, 64, 1}, {0x038E, 0x038F, 63, 1},
    {0x0391, 0x03A1, 32, 1}, {0x03A3, 0x03AB, 32, 1}, {0x03C2, 0x03C2, 1, 1},
    {0x03CF, 0x03CF, 8, 1}, {0x03D0, 0x03D0, -30, 1}, {0x03D1, 0x03D1, -25, 1},
    {0x03D5, 0x03D5, -15, 1}, {0x03D6, 0x03D6, -22, 1}, {0x03D8, 0x03EE, 1, 2},
    {0x03F0, 0x03F0, -54, 1}, {0x03F1, 0x03F1, -48, 1}, {0x03F4, 0x03F4, -60, 1},
    {0x03F5, 0x03F5, -64, 1}, {0x03F7, 0x03F7, 1, 1}, {0x03F9, 0x03F9, -7, 1},
    {0x03FA, 0x03FA, 1, 1}, {0x03FD, 0x03FF, -130, 1}, {0x0400, 0x040F, 80, 1},
    {0x0410, 0x042F, 32, 1}, {0x0460, 0x0480, 1, 2}, {0x048A, 0x04BE, 1, 2},
    {0x04C0, 0x04C0, 15, 1}, {0x04C1, 0x04CD, 1, 2}, {0x04D0, 0x052E, 1, 2},
    {0x0531, 0x0556, 48, 1}, {0x1E00, 0x1E94, 1, 2}, {0x1E9B, 0x1E9B, -58, 1},
    {0x1E9E, 0x1E9E, -7615, 1}, {0x1EA0, 0x1EFE, 1, 2},
};

char32_t FoldCodePoint(char32_t c) noexcept {
  const TFoldRun* end = std::end(kFoldRuns);
  const TFoldRun* r =
      std::upper_bound(std::begin(kFoldRuns), end, c, [](char32_t v, const TFoldRun& run) { return v < run.first; });
  if (r == std::begin(kFoldRuns)) return c;
  --r;
  if (c > r->last || (c - r->first) % r->stride != 0) return c;
  return static_cast<char32_t>(static_cast<std::int32_t>(c) + r->delta);
}

// A byte that is not part of a well-formed character stands for itself: kByteUnit + byte, which
// no character equals.
constexpr std::uint32_t kByteUnit = 0x110000;

// The unit at s[i] (a folded character or a lone byte); i moves past it.
std::uint32_t NextFoldedUnit(std::string_view s, std::size_t& i) noexcept {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = byte(i);
  if (c < 0x80) {
    ++i;
    return static_cast<unsigned char>(LowerAsciiChar(static_cast<char>(c)));
  }
  const std::size_t n = Utf8SequenceLength(s, i);
  if (n == 0) {
    ++i;
    return kByteUnit + c;
  }
  char32_t cp = c & (0x7F >> n);
  for (std::size_t k = 1; k < n; ++k) cp = (cp << 6) | (byte(i + k) & 0x3F);
  i += n;
  return FoldCodePoint(cp);
}

void AppendUnit(std::string& out, std::uint32_t u) {
  if (u >= kByteUnit || u < 0x80) {
    out.push_back(static_cast<char>(u >= kByteUnit ? u - kByteUnit : u));
  } else if (u < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (u >> 6)));
    out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
  } else if (u < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (u >> 12)));
    out.push_back(static_cast<char>(0x80 | ((u >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (u >> 18)));
    out.push_back(static_cast<char>(0x80 | ((u >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((u >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
  }
}

}  // namespace

std::size_t Utf8SequenceLength(std::string_view s, std::size_t i) noexcept {
  auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = b(i);
  std::size_t n = s.size() - i;
  auto cont = [&](std::size_t k) { return (b(k) & 0xC0) == 0x80; };
  if (c >= 0xC2 && c <= 0xDF) return (n >= 2 && cont(i + 1)) ? 2 : 0;
  if (c >= 0xE0 && c <= 0xEF) {
    if (n < 3 || !cont(i + 1) || !cont(i + 2)) return 0;
    if (c == 0xE0 && b(i + 1) < 0xA0) return 0;   // overlong
    if (c == 0xED && b(i + 1) >= 0xA0) return 0;  // surrogates
    return 3;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    if (n < 4 || !cont(i + 1) || !cont(i + 2) || !cont(i + 3)) return 0;
    if (c == 0xF0 && b(i + 1) < 0x90) return 0;
    if (c == 0xF4 && b(i + 1) >= 0x90) return 0;
    return 4;
  }
  return 0;
}

bool EqualsFoldCase(std::string_view a, std::string_view b) noexcept {
  std::size_t i = 0, j = 0;
  while (i < a.size() && j < b.size())
    if (NextFoldedUnit(a, i) != NextFoldedUnit(b, j)) return false;
  return i == a.size() && j == b.size();
}

std::string FoldCase(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) AppendUnit(out, NextFoldedUnit(s, i));
  return out;
}

}  // namespace ov
