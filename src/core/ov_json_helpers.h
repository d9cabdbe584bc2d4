// JSON document type, the two text writers, depth-limited parsing and the REST envelope.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace ov {

using TJSON = nlohmann::ordered_json;

inline constexpr int kMaxJsonDepth = 64;

// Spaced form: { "a" : 1, "b" : [1, 2] }, empty object {} and empty array [].
std::string JsonSpaced(const TJSON& v);
// Compact form: {"a":1,"b":[1,2]}.
std::string JsonCompact(const TJSON& v);
// A JSON string literal (with quotes) as both writers emit it.  Invalid UTF-8 is replaced
// with U+FFFD so the text is always valid.
std::string JsonQuote(std::string_view s);
// Appends \u00XX (upper-case hex) for a control character c below 0x20.
void AppendControlEscape(std::string& out, unsigned char c);
// Text made valid UTF-8 by the writers' rule: every byte that does not begin a well-formed
// sequence (overlong forms, surrogates and code points above U+10FFFF included) becomes
// U+FFFD.  NUL and other ASCII bytes are kept.
std::string ToValidUtf8(std::string_view text);
// Floating-point text: 1.5 -> 1.5000000000000000E+000; NaN and infinities -> null.
std::string JsonDouble(double d);

// Parses text into out.  Never throws; false on invalid JSON or nesting deeper than max_depth.
bool ParseJsonText(std::string_view text, TJSON& out, int max_depth = kMaxJsonDepth) noexcept;
// ParseJsonText that says why the text was refused: the parser's own message, or the nesting
// limit.  For callers whose answer shows the reason (a package manifest).
bool ParseJsonText(std::string_view text, TJSON& out, std::string& error, int max_depth = kMaxJsonDepth) noexcept;
// Parses and returns the value, or nullopt.
std::optional<TJSON> ParseJson(std::string_view text, int max_depth = kMaxJsonDepth) noexcept;

// Typed member reads with defaults: an absent member or one of another JSON type gives def.
std::string JStr(const TJSON& obj, std::string_view key, std::string_view def = {});
std::int64_t JInt(const TJSON& obj, std::string_view key, std::int64_t def = 0);
double JNum(const TJSON& obj, std::string_view key, double def = 0);
bool JBool(const TJSON& obj, std::string_view key, bool def = false);

class TOVJson {
 public:
  static TJSON SuccessResponse(TJSON data = TJSON::object());
  static TJSON ErrorResponse(int code, std::string_view message);
  // Throws std::invalid_argument when per_page is below 1.
  static TJSON PaginatedResponse(TJSON items, std::int64_t total, std::int64_t page, std::int64_t per_page);
  static TJSON NewObject() { return TJSON::object(); }
  static TJSON NewArray() { return TJSON::array(); }
};

}  // namespace ov
