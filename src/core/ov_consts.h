// Product identity shared by every unit.
#pragma once

namespace ov {
inline constexpr const char* kProductName = "Orvanta BBS";
inline constexpr const char* kVersion = "0.5.33";
inline constexpr const char* kApiPrefix = "/api/v1";
// Name and version as the console banner and status answers show them.
inline constexpr const char* kServerNameVersion = "Orvanta BBS v0.5.33";
inline constexpr const char* kUserAgent = "Orvanta-BBS/0.5.33";
}  // namespace ov
