// Text helpers shared by every layer.  Keywords and header fields compare and fold ASCII
// letters only; names people choose (plug-in names) compare under Unicode case folding.  A
// locale never changes what a name means.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ov {

bool EqualsIgnoreCase(std::string_view a, std::string_view b) noexcept;
std::string ToLowerAscii(std::string_view s);
std::string ToUpperAscii(std::string_view s);
// Length of a well-formed multi-byte UTF-8 sequence starting at s[i] (2 to 4), or 0 when the
// bytes there are not one: overlong forms, surrogates and values past U+10FFFF are not (ASCII
// is the caller's to handle).
std::size_t Utf8SequenceLength(std::string_view s, std::size_t i) noexcept;

// Whether a and b are the same under Unicode simple case folding (one character to one, as
// CaseFolding.txt's C and S entries) for Latin (ASCII, Latin-1 Supplement, Latin Extended-A
// and -B, Latin Extended Additional), Greek, Cyrillic and Armenian: "HÉllo" equals "héllo",
// "ΣΊΣΥΦΟΣ" "σίσυφος".  Other characters compare as they are, nothing is normalised, and
// bytes that are not well-formed UTF-8 compare byte for byte (ASCII letters folded).
bool EqualsFoldCase(std::string_view a, std::string_view b) noexcept;
// s folded as EqualsFoldCase folds it (bytes that are not UTF-8 kept): equal folded forms are
// equal names, for keys.
std::string FoldCase(std::string_view s);

// Without leading and trailing blanks (space, tab, CR, LF, FF, VT).
std::string TrimAscii(std::string_view s);

// A single name that becomes a file or directory name, a table prefix or a route segment
// (plug-in names, versions, package names, language codes): not empty, at most 255 bytes, not
// "." or "..", and without "/", "\\", NUL or other control characters.
bool IsSafeName(std::string_view name) noexcept;

// An optional sign and decimal digits whose value fits in 64 bits; nullopt otherwise (no blanks,
// no other characters).
std::optional<std::int64_t> ParseInt64(std::string_view s) noexcept;

// v clamped to the 32-bit range (security levels, ban minutes, counts a peer sent).
std::int32_t ClampToInt32(std::int64_t v) noexcept;

enum class HexCase : bool { Lower, Upper };
// Appends the two hex digits of one byte.
void AppendHexByte(std::string& out, unsigned char byte, HexCase letters = HexCase::Lower);
// Two hex digits per byte.
std::string HexEncode(std::string_view bytes, HexCase letters = HexCase::Lower);
inline std::string HexEncode(const unsigned char* bytes, std::size_t n, HexCase letters = HexCase::Lower) {
  return HexEncode(std::string_view(reinterpret_cast<const char*>(bytes), n), letters);
}

inline char LowerAsciiChar(char c) noexcept { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }
inline char UpperAsciiChar(char c) noexcept { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }
// '0' to '9', whatever the locale.
inline bool IsAsciiDigit(char c) noexcept { return c >= '0' && c <= '9'; }

}  // namespace ov
