// Type-safe printf-style formatting for log lines and messages.
//
// Supports %s %d %i %u %x %X %f %e %g %c %% with optional flags, width and precision.
// Any argument may be used with any conversion: a string given to %d is written as text, a
// number given to %s is written in decimal.  Missing arguments leave the conversion text as
// written; surplus arguments are ignored.  Formatting never throws and never reads memory it
// was not given.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace ov {

struct FormatArg {
  enum class Kind : std::uint8_t { Int, UInt, Double, Text, Bool, Char, Pointer };
  Kind kind = Kind::Text;
  std::int64_t i = 0;
  std::uint64_t u = 0;
  double d = 0;
  std::string_view s;
  const void* p = nullptr;

  FormatArg(bool v) : kind(Kind::Bool), i(v ? 1 : 0) {}
  FormatArg(char v) : kind(Kind::Char), i(static_cast<unsigned char>(v)) {}
  template <class T, std::enable_if_t<std::is_integral_v<T> && std::is_signed_v<T> &&
                                          !std::is_same_v<T, bool> && !std::is_same_v<T, char>,
                                      int> = 0>
  FormatArg(T v) : kind(Kind::Int), i(static_cast<std::int64_t>(v)) {}
  template <class T, std::enable_if_t<std::is_integral_v<T> && std::is_unsigned_v<T> &&
                                          !std::is_same_v<T, bool>,
                                      int> = 0>
  FormatArg(T v) : kind(Kind::UInt), u(static_cast<std::uint64_t>(v)) {}
  template <class T, std::enable_if_t<std::is_enum_v<T>, int> = 0>
  FormatArg(T v) : kind(Kind::Int), i(static_cast<std::int64_t>(v)) {}
  FormatArg(float v) : kind(Kind::Double), d(v) {}
  FormatArg(double v) : kind(Kind::Double), d(v) {}
  FormatArg(const std::string& v) : kind(Kind::Text), s(v) {}
  FormatArg(std::string_view v) : kind(Kind::Text), s(v) {}
  FormatArg(const char* v) : kind(Kind::Text), s(v ? std::string_view(v) : std::string_view("(null)")) {}
  FormatArg(char* v) : FormatArg(static_cast<const char*>(v)) {}
  FormatArg(const void* v) : kind(Kind::Pointer), p(v) {}
};

std::string FormatV(std::string_view fmt, const FormatArg* args, std::size_t count) noexcept;

template <class... Args>
std::string Format(std::string_view fmt, const Args&... args) noexcept {
  if constexpr (sizeof...(Args) == 0) {
    return FormatV(fmt, nullptr, 0);
  } else {
    const FormatArg arr[] = {FormatArg(args)...};
    return FormatV(fmt, arr, sizeof...(Args));
  }
}

}  // namespace ov
