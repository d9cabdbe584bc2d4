// Outbound HTTP over libcurl: the one client for the plug-in registry, package downloads and
// notifications.
//
// Every request: http and https only (redirects too, at most max_redirects), TLS verified,
// no signals (safe on any thread), a connect time-out, an I/O time-out taken as "less than
// one byte per second for that long", an optional deadline for the whole request, the
// User-Agent "Orvanta-BBS/0.5.33", replies in memory capped at 16 MiB and downloads capped at
// the [server] body cap.  Transport failures throw EHttpClientError (EHttpTimeoutError when a
// time-out ran out, EHttpCancelledError when the caller cancelled); an HTTP error status is a
// reply like any other, except for downloads.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ov {

inline constexpr std::uint64_t kHttpClientMaxReply = 16ull * 1024 * 1024;

class EHttpClientError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The connect or I/O time-out ran out (the server did not answer, or stopped sending).
class EHttpTimeoutError : public EHttpClientError {
 public:
  using EHttpClientError::EHttpClientError;
};

// The caller's cancel flag ended the transfer ("Transfer cancelled"): the far end is not at
// fault, and a caller that cancels because the server is stopping says so.
class EHttpCancelledError : public EHttpClientError {
 public:
  EHttpCancelledError() : EHttpClientError("Transfer cancelled") {}
};

// A download answered with a status outside 200..299 ("HTTP status 404").
class EHttpStatusError : public EHttpClientError {
 public:
  EHttpStatusError(long status, const std::string& message) : EHttpClientError(message), status_(status) {}
  long Status() const noexcept { return status_; }

 private:
  long status_;
};

// Request headers in order (name, value).  A name or value holding CR, LF or NUL, or a name
// holding ':' or nothing, is refused (EHttpClientError) before anything is sent.
using TOVHttpHeaders = std::vector<std::pair<std::string, std::string>>;

struct TOVHttpClientOptions {
  std::chrono::milliseconds connect_timeout{10000};
  // Whole seconds (at least 1): a transfer slower than one byte per second for this long fails.
  // libcurl averages the speed over the last 5 s, so a transfer that has just sent a request
  // body may take up to about 5 s more to be found stalled.
  std::chrono::milliseconds io_timeout{30000};
  // The whole request, connection and redirects included, must end within this (0: no such
  // limit): the I/O time-out alone lets a server that sends a byte now and then hold a request
  // for ever.  Running out is an EHttpTimeoutError.
  std::chrono::milliseconds total_timeout{0};
  std::uint64_t max_reply_bytes = kHttpClientMaxReply;
  // 0: the [server] body cap (TOVConfig::MaxBodyBytes; 100 MiB when there is no Config).
  std::uint64_t max_download_bytes = 0;
  long max_redirects = 10;
  // When set, a transfer ends within about a tenth of a second after *cancel becomes true
  // (EHttpCancelledError), whether or not the far end is sending.  Must outlive the request.
  const std::atomic<bool>* cancel = nullptr;
};

struct TOVHttpClientReply {
  long status = 0;
  std::string body;
  std::string content_type;   // empty when the server sent none
  std::string effective_url;  // the last URL, after redirects
};

class TOVHttpClient {
 public:
  explicit TOVHttpClient(TOVHttpClientOptions options = {});

  TOVHttpClientReply Get(const std::string& url, const TOVHttpHeaders& headers = {}) const;
  // The body is sent as given; set "Content-Type" in headers.
  TOVHttpClientReply Post(const std::string& url, std::string_view body, const TOVHttpHeaders& headers = {}) const;
  // Streams a GET's reply into path (created or truncated, mode 0600) and returns the status.
  // A status outside 200..299 (EHttpStatusError), a transfer failure, a truncated body or a
  // reply over the download cap throws EHttpClientError and removes the file.
  long DownloadToFile(const std::string& url, const std::string& path, const TOVHttpHeaders& headers = {}) const;

  const TOVHttpClientOptions& Options() const noexcept { return options_; }

 private:
  struct Transfer;
  TOVHttpClientReply Request(const std::string& url, const std::string* post_body, const TOVHttpHeaders& headers) const;
  void Perform(const std::string& url, const std::string* post_body, const TOVHttpHeaders& headers,
               Transfer& t) const;

  TOVHttpClientOptions options_;
};

// libcurl's process-wide set-up, once (start-up calls it before any thread may use the
// client; the client also calls it, so tests need nothing).  Throws when it fails.
void HttpClientGlobalInit();

}  // namespace ov
