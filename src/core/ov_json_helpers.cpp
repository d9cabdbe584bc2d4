#include "ov_json_helpers.h"

#include <cmath>
#include <cstdio>
#include <stdexcept>

#include "ov_text.h"

namespace ov {
namespace {

constexpr std::string_view kReplacementChar = "\xEF\xBF\xBD";  // U+FFFD

void AppendQuoted(std::string& out, std::string_view s) {
  out.push_back('"');
  for (std::size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\t': out += "\\t"; break;
        case '\n': out += "\\n"; break;
        case '\f': out += "\\f"; break;
        case '\r': out += "\\r"; break;
        default:
          if (c < 0x20) {
            AppendControlEscape(out, c);
          } else {
            out.push_back(static_cast<char>(c));
          }
      }
      ++i;
      continue;
    }
    std::size_t n = Utf8SequenceLength(s, i);
    if (n == 0) {
      out += kReplacementChar;  // for a byte that is not valid UTF-8
      ++i;
    } else {
      out.append(s.substr(i, n));
      i += n;
    }
  }
  out.push_back('"');
}

void Write(std::string& out, const TJSON& v, bool spaced) {
  switch (v.type()) {
    case TJSON::value_t::object: {
      if (v.empty()) {
        out += "{}";
        return;
      }
      out += spaced ? "{ " : "{";
      bool first = true;
      for (auto it = v.begin(); it != v.end(); ++it) {
        if (!first) out += spaced ? ", " : ",";
        first = false;
        AppendQuoted(out, it.key());
        out += spaced ? " : " : ":";
        Write(out, it.value(), spaced);
      }
      out += spaced ? " }" : "}";
      return;
    }
    case TJSON::value_t::array: {
      out.push_back('[');
      bool first = true;
      for (const auto& e : v) {
        if (!first) out += spaced ? ", " : ",";
        first = false;
        Write(out, e, spaced);
      }
      out.push_back(']');
      return;
    }
    case TJSON::value_t::string: AppendQuoted(out, v.get_ref<const std::string&>()); return;
    case TJSON::value_t::boolean: out += v.get<bool>() ? "true" : "false"; return;
    case TJSON::value_t::number_integer: out += std::to_string(v.get<std::int64_t>()); return;
    case TJSON::value_t::number_unsigned: out += std::to_string(v.get<std::uint64_t>()); return;
    case TJSON::value_t::number_float: out += JsonDouble(v.get<double>()); return;
    default: out += "null"; return;
  }
}

// Deepest nesting of arrays/objects in the text, counted outside strings; stops early once
// the limit is passed.
bool DepthWithin(std::string_view text, int max_depth) noexcept {
  int depth = 0;
  bool in_str = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (in_str) {
      if (c == '\\') ++i;
      else if (c == '"') in_str = false;
      continue;
    }
    if (c == '"') in_str = true;
    else if (c == '[' || c == '{') {
      if (++depth > max_depth) return false;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return true;
}

}  // namespace

std::string JsonDouble(double d) {
  if (!std::isfinite(d)) return "null";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.16E", d);
  std::string s(buf);
  // The C library writes at least two exponent digits; the wire form has three.
  std::size_t e = s.find('E');
  if (e != std::string::npos && e + 2 <= s.size()) {
    std::size_t ndig = s.size() - (e + 2);
    if (ndig < 3) s.insert(e + 2, 3 - ndig, '0');
  }
  return s;
}

void AppendControlEscape(std::string& out, unsigned char c) {
  out += "\\u00";
  AppendHexByte(out, c, HexCase::Upper);
}

std::string JsonQuote(std::string_view s) {
  std::string out;
  out.reserve(s.size() + 2);
  AppendQuoted(out, s);
  return out;
}

std::string ToValidUtf8(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    const std::size_t n = static_cast<unsigned char>(s[i]) < 0x80 ? 1 : Utf8SequenceLength(s, i);
    if (n == 0) {
      out += kReplacementChar;
      ++i;
    } else {
      out.append(s.substr(i, n));
      i += n;
    }
  }
  return out;
}

std::string JsonSpaced(const TJSON& v) {
  std::string out;
  Write(out, v, true);
  return out;
}

std::string JsonCompact(const TJSON& v) {
  std::string out;
  Write(out, v, false);
  return out;
}

bool ParseJsonText(std::string_view text, TJSON& out, int max_depth) noexcept {
  try {
    if (!DepthWithin(text, max_depth)) return false;
    TJSON v = TJSON::parse(text.begin(), text.end(), nullptr, false);
    if (v.is_discarded()) return false;
    out = std::move(v);
    return true;
  } catch (...) {
    return false;
  }
}

bool ParseJsonText(std::string_view text, TJSON& out, std::string& error, int max_depth) noexcept {
  try {
    if (!DepthWithin(text, max_depth)) {
      error = "nesting deeper than " + std::to_string(max_depth) + " levels";
      return false;
    }
    out = TJSON::parse(text.begin(), text.end());
    return true;
  } catch (const std::exception& e) {
    try {
      error = e.what();
    } catch (...) {
    }
    return false;
  }
}

std::optional<TJSON> ParseJson(std::string_view text, int max_depth) noexcept {
  TJSON v;
  if (!ParseJsonText(text, v, max_depth)) return std::nullopt;
  return v;
}

namespace {
const TJSON* Member(const TJSON& obj, std::string_view key) {
  if (!obj.is_object()) return nullptr;
  auto it = obj.find(key);
  return it == obj.end() ? nullptr : &*it;
}
}  // namespace

std::string JStr(const TJSON& obj, std::string_view key, std::string_view def) {
  const TJSON* m = Member(obj, key);
  return (m && m->is_string()) ? m->get<std::string>() : std::string(def);
}

std::int64_t JInt(const TJSON& obj, std::string_view key, std::int64_t def) {
  const TJSON* m = Member(obj, key);
  if (!m) return def;
  if (m->is_number_unsigned()) {
    auto u = m->get<std::uint64_t>();
    return u > static_cast<std::uint64_t>(INT64_MAX) ? def : static_cast<std::int64_t>(u);
  }
  if (m->is_number_integer()) return m->get<std::int64_t>();
  if (m->is_number_float()) {
    double d = m->get<double>();
    if (!std::isfinite(d) || d >= 9.2e18 || d <= -9.2e18) return def;
    return static_cast<std::int64_t>(d);
  }
  return def;
}

double JNum(const TJSON& obj, std::string_view key, double def) {
  const TJSON* m = Member(obj, key);
  return (m && m->is_number()) ? m->get<double>() : def;
}

bool JBool(const TJSON& obj, std::string_view key, bool def) {
  const TJSON* m = Member(obj, key);
  return (m && m->is_boolean()) ? m->get<bool>() : def;
}

TJSON TOVJson::SuccessResponse(TJSON data) {
  TJSON r = TJSON::object();
  r["success"] = true;
  r["data"] = data.is_null() ? TJSON::object() : std::move(data);
  return r;
}

TJSON TOVJson::ErrorResponse(int code, std::string_view message) {
  TJSON err = TJSON::object();
  err["code"] = code;
  err["message"] = std::string(message);
  TJSON r = TJSON::object();
  r["success"] = false;
  r["error"] = std::move(err);
  return r;
}

TJSON TOVJson::PaginatedResponse(TJSON items, std::int64_t total, std::int64_t page, std::int64_t per_page) {
  if (per_page < 1) throw std::invalid_argument("PaginatedResponse: per_page must be at least 1");
  TJSON pag = TJSON::object();
  pag["total"] = total;
  pag["page"] = page;
  pag["per_page"] = per_page;
  pag["total_pages"] = total > 0 ? (total + per_page - 1) / per_page : 0;
  TJSON data = TJSON::object();
  data["items"] = items.is_null() ? TJSON::array() : std::move(items);
  data["pagination"] = std::move(pag);
  return SuccessResponse(std::move(data));
}

}  // namespace ov
