#include "ov_websocket.h"

#include <chrono>
#include <ctime>

#include "ov_text.h"

namespace ov {

std::string WsComputeAcceptKey(std::string_view client_key) { return GenerateAcceptKey(client_key); }

namespace {

// Splits at CR, LF or CR LF.
std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' || text[i] == '\n') {
      lines.push_back(text.substr(start, i - start));
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      start = i + 1;
    }
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

}  // namespace

bool WsParseClientRequest(std::string_view request, std::string& client_key, std::string& api_key,
                          std::string& auth_token) {
  client_key.clear();
  api_key.clear();
  auth_token.clear();
  std::vector<std::string_view> lines = SplitLines(request);
  if (lines.empty()) return false;

  // Request line: METHOD SP target SP version.
  std::string_view line1 = lines[0];
  std::size_t q = line1.find('?');
  if (q != std::string_view::npos) {
    std::string_view query = line1.substr(q + 1);
    std::size_t blank = query.find(' ');
    if (blank != std::string_view::npos) query = query.substr(0, blank);
    std::size_t pos = 0;
    while (pos <= query.size()) {
      std::size_t amp = query.find('&', pos);
      std::string_view param = query.substr(pos, amp == std::string_view::npos ? std::string_view::npos : amp - pos);
      if (param.size() > 6 && param.substr(0, 6) == "token=" && auth_token.empty())
        auth_token = std::string(param.substr(6));
      if (amp == std::string_view::npos) break;
      pos = amp + 1;
    }
  }

  bool upgrade = false, have_key = false;
  std::string bearer;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    std::string_view l = lines[i];
    if (l.empty()) break;  // end of the head
    std::size_t colon = l.find(':');
    if (colon == std::string_view::npos || colon == 0) continue;
    std::string_view name = l.substr(0, colon);
    if (name.find_first_of(" \t") != std::string_view::npos) continue;  // not a header line
    std::string value = TrimAscii(l.substr(colon + 1));
    if (EqualsIgnoreCase(name, "Upgrade")) {
      if (ToLowerAscii(value).find("websocket") != std::string::npos) upgrade = true;
    } else if (EqualsIgnoreCase(name, "Sec-WebSocket-Key")) {
      if (!have_key) {
        client_key = value;
        have_key = true;
      }
    } else if (EqualsIgnoreCase(name, "X-API-Key")) {
      if (api_key.empty()) api_key = value;
    } else if (EqualsIgnoreCase(name, "Authorization")) {
      if (value.size() > 7 && EqualsIgnoreCase(std::string_view(value).substr(0, 7), "Bearer "))
        bearer = TrimAscii(std::string_view(value).substr(7));
    }
  }
  if (!bearer.empty()) auth_token = bearer;
  return upgrade && have_key && !client_key.empty();
}

bool WsReadRequestHead(Stream& stream, Deadline deadline, std::string& head, std::string& rest) {
  head.clear();
  rest.clear();
  std::string buf;
  // Small: every hub thread keeps the stack pages it once touched, and a head is short.
  char chunk[1024];
  std::size_t scan_from = 0;
  for (;;) {
    IoResult r = stream.Recv(chunk, sizeof chunk, deadline);
    if (!r.ok()) return false;
    buf.append(chunk, r.bytes);
    // The head ends at the first empty line (CRLF CRLF, or bare LF LF from lax clients).
    std::size_t from = scan_from > 3 ? scan_from - 3 : 0;
    std::size_t end = std::string::npos, len = 0;
    std::size_t a = buf.find("\r\n\r\n", from);
    std::size_t b = buf.find("\n\n", from);
    if (a != std::string::npos && (b == std::string::npos || a <= b)) {
      end = a;
      len = 4;
    } else if (b != std::string::npos) {
      end = b;
      len = 2;
    }
    if (end != std::string::npos) {
      if (end + len > WS_MAX_REQUEST_HEAD) return false;
      head = buf.substr(0, end + len);
      rest = buf.substr(end + len);
      return true;
    }
    if (buf.size() > WS_MAX_REQUEST_HEAD) return false;
    scan_from = buf.size();
  }
}

std::int64_t WsUnixMillis() {
  using namespace std::chrono;
  auto now = system_clock::now();
  std::time_t secs = system_clock::to_time_t(now);
  std::tm lt{};
  localtime_r(&secs, &lt);
  std::int64_t ms = duration_cast<milliseconds>(now.time_since_epoch()).count();
  return ms + static_cast<std::int64_t>(lt.tm_gmtoff) * 1000;
}

}  // namespace ov
