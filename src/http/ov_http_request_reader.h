// Reading one HTTP/1.1 request head and body from bytes as they arrive, and decoding its path.
//
// The reader owns no socket: the connection feeds it what it received, so a test can feed it
// any split of a request.  Head parsing and body framing (Content-Length, chunked) are
// Boost.Beast's; the body goes to a sink piece by piece and is never kept here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "ov_http_types.h"

namespace ov {

inline constexpr std::size_t kMaxRequestHeadBytes = 16 * 1024;

// Decodes %XX escapes once; false on a malformed escape or a NUL byte.
bool PercentDecodePath(std::string_view in, std::string& out);

// Incremental request reader over Boost.Beast's parser; usable without a socket.
class TOVHttpRequestReader {
 public:
  enum class Result : std::uint8_t { NeedMore, Done, Error, SinkStopped };
  // Receives decoded body bytes; false stops reading (the sink knows why).
  using BodySink = std::function<bool(const char* data, std::size_t len)>;

  explicit TOVHttpRequestReader(std::size_t head_limit = kMaxRequestHeadBytes);
  ~TOVHttpRequestReader();
  TOVHttpRequestReader(const TOVHttpRequestReader&) = delete;
  TOVHttpRequestReader& operator=(const TOVHttpRequestReader&) = delete;

  // Consumes request-head bytes from the front of in; what is left over stays in in.  Error
  // 505 for a version other than HTTP/1.0 and 1.1 (HTTP/2.0, HTTP/0.9).
  Result FeedHead(std::string& in);
  // After the head: method, target, raw_path, path (decoded), query and headers.  Error 400
  // for an HTTP/1.1 request without Host and for any request with two.
  Result FillRequest(TOVHttpRequest& req);
  bool BodyExpected() const;
  std::optional<std::uint64_t> ContentLength() const;
  bool Chunked() const;
  // Consumes body bytes from the front of in, passing the decoded body to sink.
  Result FeedBody(std::string& in, const BodySink& sink);
  bool BodyDone() const;
  // After Error: the answer to give (400, 431 or 505) and its message.
  int ErrorStatus() const noexcept { return error_status_; }
  const std::string& ErrorMessage() const noexcept { return error_message_; }

 private:
  // Sets the answer an Error result stands for; returns Error.
  Result Fail(int status, const char* message);

  struct Impl;
  std::unique_ptr<Impl> impl_;
  int error_status_ = 0;
  std::string error_message_;
};

}  // namespace ov
