// GUID text: the public identifier of rows.
#pragma once

#include <string>
#include <string_view>

namespace ov {

class TOVGuid {
 public:
  // 36 lower-case characters 8-4-4-4-12, random (version 4).
  static std::string Generate();
  static bool IsValid(std::string_view s) noexcept;
  // The whole text is a signed 64-bit integer of value 0 or more.
  static bool IsInteger(std::string_view s) noexcept;
  static std::string Short(std::string_view s);
  static std::string ForLog(std::string_view s);
};

}  // namespace ov
