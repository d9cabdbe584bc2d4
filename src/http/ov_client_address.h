// Who a request comes from: the TCP peer, or behind a trusted reverse proxy the address that
// proxy reports (X-Real-IP, X-Forwarded-For), and the checks on address text.
#pragma once

#include <string>
#include <string_view>

#include "ov_http_types.h"

namespace ov {

// Trusted proxies ([security] trusted_proxies): entries separated by commas, "*" for all,
// an address, or a.b.c.0/24.  The list is replaced as a whole; readers never see half of one.
void InitTrustedProxies();
void InitTrustedProxies(std::string_view list);
bool IsTrustedProxy(std::string_view ip);
// The client's address: the peer, or behind a trusted proxy the address it reports.
std::string GetClientIP(const TOVHttpRequest& req);
bool IsValidIPv4(std::string_view s) noexcept;
bool IsValidIPAddress(std::string_view s) noexcept;

}  // namespace ov
