#include "ov_http_types.h"

#include <unistd.h>

#include <algorithm>

namespace ov {

namespace {

// Form decoding for query values: "+" is a blank, bad escapes stay as written.
std::string FormDecode(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (c == '+') {
      out.push_back(' ');
    } else if (c == '%' && i + 2 < s.size() && HexDigitValue(s[i + 1]) >= 0 && HexDigitValue(s[i + 2]) >= 0) {
      out.push_back(static_cast<char>(HexDigitValue(s[i + 1]) * 16 + HexDigitValue(s[i + 2])));
      i += 2;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

template <class F>
void ForEachQueryPair(std::string_view q, F&& f) {
  while (!q.empty()) {
    std::size_t amp = q.find('&');
    std::string_view pair = q.substr(0, amp);
    std::size_t eq = pair.find('=');
    std::string_view name = pair.substr(0, eq);
    std::string_view value = eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1);
    if (!pair.empty() && f(name, value)) return;
    if (amp == std::string_view::npos) break;
    q.remove_prefix(amp + 1);
  }
}
}  // namespace

bool CaseInsensitiveLess::operator()(std::string_view a, std::string_view b) const noexcept {
  std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    char x = LowerAsciiChar(a[i]), y = LowerAsciiChar(b[i]);
    if (x != y) return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
  }
  return a.size() < b.size();
}

int HexDigitValue(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string TOVHttpRequest::Header(std::string_view name) const {
  auto it = headers.find(name);
  return it == headers.end() ? std::string() : it->second;
}

bool TOVHttpRequest::HasHeader(std::string_view name) const { return headers.find(name) != headers.end(); }

std::string TOVHttpRequest::QueryParam(std::string_view name) const {
  std::string result;
  ForEachQueryPair(query, [&](std::string_view n, std::string_view v) {
    if (FormDecode(n) == name) {
      result = FormDecode(v);
      return true;
    }
    return false;
  });
  return result;
}

bool TOVHttpRequest::HasQueryParam(std::string_view name) const {
  bool found = false;
  ForEachQueryPair(query, [&](std::string_view n, std::string_view) {
    found = FormDecode(n) == name;
    return found;
  });
  return found;
}

std::vector<std::pair<std::string, std::string>> TOVHttpRequest::QueryParams() const {
  std::vector<std::pair<std::string, std::string>> out;
  ForEachQueryPair(query, [&](std::string_view n, std::string_view v) {
    out.emplace_back(FormDecode(n), FormDecode(v));
    return false;
  });
  return out;
}

TOVBodyFile::~TOVBodyFile() {
  if (fd_ >= 0) ::close(fd_);
}

void TOVHttpResponse::SetHeader(std::string_view name, std::string_view value) {
  for (auto& h : headers) {
    if (EqualsIgnoreCase(h.first, name)) {
      h.second.assign(value);
      // Drop later duplicates so the header has exactly this value.
      headers.erase(std::remove_if(headers.begin(), headers.end(),
                                   [&](const auto& x) { return &x != &h && EqualsIgnoreCase(x.first, name); }),
                    headers.end());
      return;
    }
  }
  headers.emplace_back(std::string(name), std::string(value));
}

void TOVHttpResponse::AddHeader(std::string_view name, std::string_view value) {
  headers.emplace_back(std::string(name), std::string(value));
}

std::string TOVHttpResponse::GetHeader(std::string_view name) const {
  for (const auto& h : headers)
    if (EqualsIgnoreCase(h.first, name)) return h.second;
  return {};
}

void TOVHttpResponse::SetContent(std::string content_type, std::string body_text) {
  SetHeader("Content-Type", content_type);
  body = std::move(body_text);
  file.reset();
}

const char* StatusReason(int status) noexcept {
  switch (status) {
    case 100: return "Continue";
    case 101: return "Switching Protocols";
    case 200: return "OK";
    case 201: return "Created";
    case 202: return "Accepted";
    case 204: return "No Content";
    case 206: return "Partial Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 304: return "Not Modified";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 409: return "Conflict";
    case 410: return "Gone";
    case 411: return "Length Required";
    case 413: return "Payload Too Large";
    case 414: return "URI Too Long";
    case 415: return "Unsupported Media Type";
    case 417: return "Expectation Failed";
    case 422: return "Unprocessable Entity";
    case 429: return "Too Many Requests";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Timeout";
    case 505: return "HTTP Version Not Supported";
    default: return "Unknown";
  }
}

}  // namespace ov
