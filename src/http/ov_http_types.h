// Request and response objects passed between the HTTP front end, the router, the REST
// handlers and plug-in routes.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ov_text.h"

namespace ov {

class Stream;
class TOVHttpConnection;

// ASCII case-insensitive ordering for header names.
struct CaseInsensitiveLess {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const noexcept;
};

// 0..15 for a hexadecimal digit, -1 for anything else.
int HexDigitValue(char c) noexcept;

// An open regular file sent as an answer's body: the descriptor, closed with the last
// reference, and the size promised in the head.
class TOVBodyFile {
 public:
  TOVBodyFile(int fd, std::uint64_t size) noexcept : fd_(fd), size_(size) {}
  ~TOVBodyFile();
  TOVBodyFile(const TOVBodyFile&) = delete;
  TOVBodyFile& operator=(const TOVBodyFile&) = delete;
  int Fd() const noexcept { return fd_; }
  std::uint64_t Size() const noexcept { return size_; }

 private:
  int fd_;
  std::uint64_t size_;
};

struct TOVUploadedFile {
  std::string field_name;   // form field name
  std::string client_name;  // file name as the client sent it (never used as a path)
  std::string temp_path;    // exclusive temporary file, removed when the request ends
  std::uint64_t size = 0;
};

class TOVHttpRequest {
 public:
  std::string method;        // upper-case as sent ("GET", "POST", ...)
  std::string target;        // request target as sent (path + "?" + query)
  std::string path;          // percent-decoded path, never empty ("/" at least)
  std::string raw_path;      // path as sent, before decoding
  std::string query;         // raw query string after "?" (not decoded), may be empty
  std::multimap<std::string, std::string, CaseInsensitiveLess> headers;
  std::string body;          // request body (empty for multipart uploads, see files)
  std::vector<TOVUploadedFile> files;               // multipart/form-data file parts
  std::vector<std::pair<std::string, std::string>> form_fields;  // multipart non-file parts
  std::string peer_address;  // address of the TCP peer (IPv4 text)
  std::uint16_t peer_port = 0;
  bool secure = false;       // arrived over TLS
  // The connection the request arrived on (the /ws hand-over takes its stream); null when
  // the request was not read from a socket.
  TOVHttpConnection* connection = nullptr;

  // First header value with that name, or empty text.
  std::string Header(std::string_view name) const;
  bool HasHeader(std::string_view name) const;
  // Value of a query parameter, percent-decoded ("+" as blank); empty when absent.
  std::string QueryParam(std::string_view name) const;
  bool HasQueryParam(std::string_view name) const;
  // Every query parameter in order, names and values percent-decoded.
  std::vector<std::pair<std::string, std::string>> QueryParams() const;
};

class TOVHttpResponse {
 public:
  int status = 200;
  std::string reason;  // empty: the standard reason phrase for the status
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  // When set, the body is sent from this file instead, as it was opened by the handler (one
  // open per answer; the size is the one it had then).
  std::shared_ptr<const TOVBodyFile> file;
  // Run by the connection once this answer has been written and the connection closed (also
  // when the client went away first); an exception is swallowed.  For work that must not
  // overtake the answer, such as stopping the server from a request.
  std::function<void()> after_send;

  void SetHeader(std::string_view name, std::string_view value);  // replaces
  void AddHeader(std::string_view name, std::string_view value);  // appends
  std::string GetHeader(std::string_view name) const;
  void SetContent(std::string content_type, std::string body_text);
};

const char* StatusReason(int status) noexcept;

}  // namespace ov
