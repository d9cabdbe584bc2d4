#include "ov_format.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace ov {
namespace {

constexpr std::size_t kMaxWidth = 1024;

// snprintf into a string of the exact length needed.
template <class T>
std::string Printf(const std::string& fmt, T value) {
  char small[128];
  int n = std::snprintf(small, sizeof small, fmt.c_str(), value);
  if (n < 0) return {};
  if (static_cast<std::size_t>(n) < sizeof small) return std::string(small, static_cast<std::size_t>(n));
  std::string out(static_cast<std::size_t>(n) + 1, '\0');
  std::snprintf(out.data(), out.size(), fmt.c_str(), value);
  out.resize(static_cast<std::size_t>(n));
  return out;
}

// Writes one argument for one conversion.  Its flags, width and precision are applied
// through snprintf with an argument of the type the conversion expects, so no combination of
// conversion and argument can read the wrong type.
void AppendArg(std::string& out, const std::string& flags, char conv, const FormatArg& a) {
  char buf[512];
  auto conv_fmt = [&](const char* length_mod, char c) { return "%" + flags + length_mod + std::string(1, c); };
  auto as_int = [&]() -> std::int64_t {
    switch (a.kind) {
      case FormatArg::Kind::Int:
      case FormatArg::Kind::Bool:
      case FormatArg::Kind::Char: return a.i;
      case FormatArg::Kind::UInt: return static_cast<std::int64_t>(a.u);
      case FormatArg::Kind::Double: {
        // Converting a double that no 64-bit integer can hold is undefined: clamp it.
        if (std::isnan(a.d)) return 0;
        if (a.d >= 9223372036854775807.0) return INT64_MAX;
        if (a.d <= -9223372036854775808.0) return INT64_MIN;
        return static_cast<std::int64_t>(a.d);
      }
      default: return 0;
    }
  };
  switch (conv) {
    case 'd':
    case 'i':
    case 'u':
    case 'x':
    case 'X':
      if (a.kind == FormatArg::Kind::Text) {
        out.append(a.s);
        return;
      }
      if (a.kind == FormatArg::Kind::UInt || conv == 'u' || conv == 'x' || conv == 'X') {
        std::uint64_t v = a.kind == FormatArg::Kind::UInt ? a.u : static_cast<std::uint64_t>(as_int());
        char c = (conv == 'd' || conv == 'i') ? 'u' : conv;
        out.append(Printf(conv_fmt("ll", c), static_cast<unsigned long long>(v)));
      } else {
        out.append(Printf(conv_fmt("ll", 'd'), static_cast<long long>(as_int())));
      }
      return;
    case 'f':
    case 'F':
    case 'e':
    case 'E':
    case 'g':
    case 'G': {
      if (a.kind == FormatArg::Kind::Text) {
        out.append(a.s);
        return;
      }
      double v = a.kind == FormatArg::Kind::Double ? a.d : static_cast<double>(as_int());
      if (a.kind == FormatArg::Kind::UInt) v = static_cast<double>(a.u);
      out.append(Printf(conv_fmt("", conv), v));
      return;
    }
    case 'c':
      if (a.kind == FormatArg::Kind::Text) out.append(a.s.substr(0, 1));
      else out.push_back(static_cast<char>(as_int()));
      return;
    case 'p':
      std::snprintf(buf, sizeof buf, "%p", a.p);
      out.append(buf);
      return;
    default: {  // 's' and anything else: the natural text of the argument
      std::string text;
      switch (a.kind) {
        case FormatArg::Kind::Text: text.assign(a.s); break;
        case FormatArg::Kind::Int:
        case FormatArg::Kind::Char:
          if (a.kind == FormatArg::Kind::Char) text.assign(1, static_cast<char>(a.i));
          else text = std::to_string(a.i);
          break;
        case FormatArg::Kind::UInt: text = std::to_string(a.u); break;
        case FormatArg::Kind::Bool: text = a.i ? "true" : "false"; break;
        case FormatArg::Kind::Double: {
          std::snprintf(buf, sizeof buf, "%g", a.d);
          text = buf;
          break;
        }
        case FormatArg::Kind::Pointer: {
          std::snprintf(buf, sizeof buf, "%p", a.p);
          text = buf;
          break;
        }
      }
      // Width and precision for %s ("%-10s", "%.5s") on the text itself.
      bool left = flags.find('-') != std::string::npos;
      std::size_t width = 0, prec = std::string::npos;
      std::size_t i = 0;
      while (i < flags.size() && (flags[i] == '-' || flags[i] == '+' || flags[i] == ' ' || flags[i] == '#' || flags[i] == '0')) ++i;
      while (i < flags.size() && flags[i] >= '0' && flags[i] <= '9') width = width * 10 + static_cast<std::size_t>(flags[i++] - '0');
      if (i < flags.size() && flags[i] == '.') {
        prec = 0;
        ++i;
        while (i < flags.size() && flags[i] >= '0' && flags[i] <= '9') prec = prec * 10 + static_cast<std::size_t>(flags[i++] - '0');
      }
      if (prec != std::string::npos && text.size() > prec) text.resize(prec);
      if (width > text.size()) {
        if (left) text.append(width - text.size(), ' ');
        else text.insert(0, width - text.size(), ' ');
      }
      out.append(text);
      return;
    }
  }
}

}  // namespace

std::string FormatV(std::string_view fmt, const FormatArg* args, std::size_t count) noexcept {
  try {
    std::string out;
    out.reserve(fmt.size() + 32);
    std::size_t next = 0;
    for (std::size_t i = 0; i < fmt.size(); ++i) {
      char c = fmt[i];
      if (c != '%') {
        out.push_back(c);
        continue;
      }
      if (i + 1 < fmt.size() && fmt[i + 1] == '%') {
        out.push_back('%');
        ++i;
        continue;
      }
      // Parse flags, width, precision and length modifiers, then the conversion letter.
      // Flags, then width and precision; both numbers are clamped so that no directive can
      // ask for an absurd amount of padding.
      std::size_t j = i + 1;
      std::string flags;
      while (j < fmt.size() && std::string_view("-+ #0").find(fmt[j]) != std::string_view::npos) {
        if (flags.size() < 5) flags.push_back(fmt[j]);
        ++j;
      }
      auto number = [&](std::size_t& k) {
        std::size_t v = 0;
        while (k < fmt.size() && fmt[k] >= '0' && fmt[k] <= '9') {
          v = std::min<std::size_t>(v * 10 + static_cast<std::size_t>(fmt[k] - '0'), kMaxWidth);
          ++k;
        }
        return v;
      };
      if (j < fmt.size() && fmt[j] >= '0' && fmt[j] <= '9') flags += std::to_string(number(j));
      if (j < fmt.size() && fmt[j] == '.') {
        ++j;
        flags += "." + std::to_string(number(j));
      }
      while (j < fmt.size() && std::string_view("hlLqjzt").find(fmt[j]) != std::string_view::npos) ++j;
      if (j >= fmt.size()) {
        out.append(fmt.substr(i));
        break;
      }
      char conv = fmt[j];
      if (next >= count) {
        out.append(fmt.substr(i, j - i + 1));  // missing argument: keep the text as written
      } else {
        AppendArg(out, flags, conv, args[next++]);
      }
      i = j;
    }
    return out;
  } catch (...) {
    return std::string(fmt);
  }
}

}  // namespace ov
