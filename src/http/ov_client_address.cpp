#include "ov_client_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "ov_config.h"
#include "ov_locks.h"

namespace ov {

namespace {

using ProxyList = std::vector<std::string>;

// The list is read on every gated request and replaced only at start-up: readers take a
// reference to the current list under the lock and match outside it.
struct TrustedProxyTable {
  TOVLock lock{LockLevel::Leaf};
  std::shared_ptr<const ProxyList> list GUARDED_BY(lock) = std::make_shared<const ProxyList>();
};

// Never destroyed: a connection thread still inside a handler at process exit may read it.
TrustedProxyTable& Proxies() {
  static TrustedProxyTable* const t = new TrustedProxyTable();
  return *t;
}

std::shared_ptr<const ProxyList> TrustedProxies() {
  auto& t = Proxies();
  TOVLockGuard g(t.lock);
  return t.list;
}

bool ParseIPv4(std::string_view s, std::uint32_t& out) noexcept {
  if (s.empty() || s.size() > 15) return false;
  char buf[16];
  std::memcpy(buf, s.data(), s.size());
  buf[s.size()] = '\0';
  in_addr a{};
  // inet_pton takes exactly four decimal parts without leading zeros.
  if (::inet_pton(AF_INET, buf, &a) != 1) return false;
  out = ntohl(a.s_addr);
  return true;
}

// The comma-separated items of text, each trimmed; empty items are kept.
std::vector<std::string> SplitCommaList(std::string_view text) {
  std::vector<std::string> parts;
  while (true) {
    std::size_t comma = text.find(',');
    parts.push_back(TrimAscii(text.substr(0, comma)));
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  return parts;
}

}  // namespace

void InitTrustedProxies(std::string_view list) {
  auto v = std::make_shared<ProxyList>();
  for (auto& piece : SplitCommaList(list))
    if (!piece.empty()) v->push_back(std::move(piece));
  auto& t = Proxies();
  TOVLockGuard g(t.lock);
  t.list = std::move(v);
}

void InitTrustedProxies() {
  std::string list;
  if (auto cfg = Config.Get()) list = cfg->TrustedProxies();
  InitTrustedProxies(list);
}

bool IsValidIPv4(std::string_view s) noexcept {
  std::uint32_t a;
  return ParseIPv4(s, a);
}

bool IsValidIPAddress(std::string_view s) noexcept {
  if (IsValidIPv4(s)) return true;
  if (s.empty() || s.size() >= INET6_ADDRSTRLEN) return false;
  char buf[INET6_ADDRSTRLEN];
  std::memcpy(buf, s.data(), s.size());
  buf[s.size()] = '\0';
  in6_addr a{};
  return ::inet_pton(AF_INET6, buf, &a) == 1;
}

bool IsTrustedProxy(std::string_view ip_in) {
  auto list = TrustedProxies();
  if (list->empty()) return false;
  std::string ip = TrimAscii(ip_in);
  for (const auto& entry : *list) {
    if (entry == "*") return true;
    if (EqualsIgnoreCase(entry, ip)) return true;
    std::size_t slash = entry.find("/24");
    if (slash != std::string::npos) {
      // Only a dotted IPv4 network and a dotted IPv4 address can share a /24.
      std::uint32_t net, addr;
      if (slash + 3 == entry.size() && ParseIPv4(std::string_view(entry).substr(0, slash), net) &&
          ParseIPv4(ip, addr) && (net >> 8) == (addr >> 8))
        return true;
    }
  }
  return false;
}

std::string GetClientIP(const TOVHttpRequest& req) {
  const std::string& peer = req.peer_address;
  if (!IsTrustedProxy(peer)) return peer;
  std::string real = TrimAscii(req.Header("X-Real-IP"));
  if (!real.empty()) return IsValidIPAddress(real) ? real : peer;
  std::string fwd = req.Header("X-Forwarded-For");
  if (TrimAscii(fwd).empty()) return peer;
  // Every proxy appends the address it received from; the right-most entry that is not one of
  // our own proxies is the first one not under our control, so it is the only one to trust.
  const std::vector<std::string> parts = SplitCommaList(fwd);
  for (auto it = parts.rbegin(); it != parts.rend(); ++it) {
    if (it->empty()) return peer;
    if (IsTrustedProxy(*it) && std::next(it) != parts.rend()) continue;
    return IsValidIPAddress(*it) ? *it : peer;
  }
  return peer;
}

}  // namespace ov
