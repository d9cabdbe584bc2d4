#include "ov_http_request_reader.h"

#include <boost/beast/http/parser.hpp>

#include <limits>

namespace ov {

namespace http = boost::beast::http;

namespace {

// ---- Beast body type that hands decoded body bytes to a sink ------------------------------

struct SinkBody {
  struct value_type {
    const TOVHttpRequestReader::BodySink* sink = nullptr;
    bool stopped = false;
  };
  class reader {
   public:
    template <bool isRequest, class Fields>
    reader(http::header<isRequest, Fields>&, value_type& v) : v_(v) {}
    void init(const boost::optional<std::uint64_t>&, boost::beast::error_code& ec) { ec = {}; }
    template <class ConstBufferSequence>
    std::size_t put(const ConstBufferSequence& buffers, boost::beast::error_code& ec) {
      std::size_t n = 0;
      for (auto it = boost::asio::buffer_sequence_begin(buffers); it != boost::asio::buffer_sequence_end(buffers);
           ++it) {
        boost::asio::const_buffer b = *it;
        if (b.size() == 0) continue;
        if (!v_.sink || !*v_.sink || !(*v_.sink)(static_cast<const char*>(b.data()), b.size())) {
          v_.stopped = true;
          ec = boost::system::errc::make_error_code(boost::system::errc::operation_canceled);
          return n;
        }
        n += b.size();
      }
      ec = {};
      return n;
    }
    void finish(boost::beast::error_code& ec) { ec = {}; }

   private:
    value_type& v_;
  };
};

// The request line in head names a well-formed version "HTTP/d.d" whose major number is not 1
// (Beast reads HTTP/1.0 and 1.1 only and reports every other version as malformed).
bool OtherMajorVersion(std::string_view head) {
  std::string_view line = head.substr(0, head.find("\r\n"));
  std::string_view v = line.substr(line.rfind(' ') + 1);
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  return v.size() == 8 && v.starts_with("HTTP/") && digit(v[5]) && v[6] == '.' && digit(v[7]) && v[5] != '1';
}

}  // namespace

// ---- path decoding ---------------------------------------------------------------------------

bool PercentDecodePath(std::string_view in, std::string& out) {
  out.clear();
  out.reserve(in.size());
  for (std::size_t i = 0; i < in.size(); ++i) {
    char c = in[i];
    if (c == '%') {
      if (i + 2 >= in.size()) return false;
      int hi = HexDigitValue(in[i + 1]);
      int lo = HexDigitValue(in[i + 2]);
      if (hi < 0 || lo < 0) return false;
      c = static_cast<char>(hi * 16 + lo);
      i += 2;
    }
    if (c == '\0') return false;
    out.push_back(c);
  }
  return true;
}

// ---- request reader ----------------------------------------------------------------------------

struct TOVHttpRequestReader::Impl {
  http::request_parser<SinkBody> parser;
};

TOVHttpRequestReader::TOVHttpRequestReader(std::size_t head_limit) : impl_(std::make_unique<Impl>()) {
  impl_->parser.header_limit(static_cast<std::uint32_t>(head_limit));
  // The caller enforces its own cap, chunked or not.  (No limit must be the largest value:
  // this Beast version compares a length against an empty limit as "exceeded".)
  impl_->parser.body_limit(std::numeric_limits<std::uint64_t>::max());
  impl_->parser.eager(false);
}

TOVHttpRequestReader::~TOVHttpRequestReader() = default;

TOVHttpRequestReader::Result TOVHttpRequestReader::Fail(int status, const char* message) {
  error_status_ = status;
  error_message_ = message;
  return Result::Error;
}

TOVHttpRequestReader::Result TOVHttpRequestReader::FeedHead(std::string& in) {
  if (error_status_) return Result::Error;
  auto& p = impl_->parser;
  if (p.is_header_done()) return Result::Done;
  while (!in.empty()) {
    boost::beast::error_code ec;
    std::size_t n = p.put(boost::asio::const_buffer(in.data(), in.size()), ec);
    in.erase(0, n);
    if (ec == http::error::need_more) return Result::NeedMore;
    if (ec) {
      if (ec == http::error::header_limit) return Fail(431, "Request header too large");
      if (ec == http::error::bad_version && OtherMajorVersion(in))
        return Fail(505, "HTTP version not supported");
      return Fail(400, "Bad request");
    }
    if (p.is_header_done()) return Result::Done;
    if (n == 0) return Result::NeedMore;
  }
  return Result::NeedMore;
}

TOVHttpRequestReader::Result TOVHttpRequestReader::FillRequest(TOVHttpRequest& req) {
  auto& p = impl_->parser;
  if (!p.is_header_done()) return Result::NeedMore;
  const auto& msg = p.get();
  // A 1.1 request names its host exactly once, and no request names two (RFC 9112, 3.2).
  const auto hosts = msg.count(http::field::host);
  if (hosts > 1 || (hosts == 0 && msg.version() >= 11)) return Fail(400, "Bad request");
  req.method = std::string(msg.method_string());
  req.target = std::string(msg.target());
  req.headers.clear();
  for (const auto& f : msg) req.headers.emplace(std::string(f.name_string()), std::string(f.value()));

  std::string_view t(req.target);
  if (t == "*") {
    req.raw_path = "*";
    req.path = "*";
    req.query.clear();
    return Result::Done;
  }
  // Absolute form (a request meant for a proxy): only the path and query count.
  for (std::string_view scheme : {"http://", "https://"}) {
    if (t.size() >= scheme.size() && EqualsIgnoreCase(t.substr(0, scheme.size()), scheme)) {
      std::size_t slash = t.find('/', scheme.size());
      std::size_t q = t.find('?', scheme.size());
      if (slash == std::string_view::npos || (q != std::string_view::npos && q < slash)) {
        t = q == std::string_view::npos ? std::string_view("/") : t.substr(q);
        if (!t.empty() && t[0] == '?') {
          req.raw_path = "/";
          req.query = std::string(t.substr(1));
          req.path = "/";
          return Result::Done;
        }
      } else {
        t = t.substr(slash);
      }
      break;
    }
  }
  if (t.empty() || t[0] != '/') return Fail(400, "Bad request");
  std::size_t q = t.find('?');
  req.raw_path = std::string(t.substr(0, q));
  req.query = q == std::string_view::npos ? std::string() : std::string(t.substr(q + 1));
  if (!PercentDecodePath(req.raw_path, req.path)) return Fail(400, "Invalid request path");
  if (req.path.empty()) req.path = "/";
  return Result::Done;
}

bool TOVHttpRequestReader::BodyExpected() const {
  const auto& p = impl_->parser;
  if (!p.is_header_done() || p.is_done()) return false;
  auto cl = p.content_length();
  return p.chunked() || (cl && *cl > 0);
}

std::optional<std::uint64_t> TOVHttpRequestReader::ContentLength() const {
  auto cl = impl_->parser.content_length();
  if (!cl) return std::nullopt;
  return *cl;
}

bool TOVHttpRequestReader::Chunked() const { return impl_->parser.chunked(); }

bool TOVHttpRequestReader::BodyDone() const { return impl_->parser.is_done(); }

TOVHttpRequestReader::Result TOVHttpRequestReader::FeedBody(std::string& in, const BodySink& sink) {
  if (error_status_) return Result::Error;
  auto& p = impl_->parser;
  if (!p.is_header_done()) return Result::NeedMore;
  if (p.is_done()) return Result::Done;
  p.eager(true);
  auto& body = p.get().body();
  body.sink = &sink;
  body.stopped = false;
  // The sink lives only for this call; the parser must not keep pointing at it.
  struct SinkReset {
    SinkBody::value_type& b;
    ~SinkReset() { b.sink = nullptr; }
  } reset{body};
  while (!p.is_done()) {
    if (in.empty()) return Result::NeedMore;
    boost::beast::error_code ec;
    std::size_t n = p.put(boost::asio::const_buffer(in.data(), in.size()), ec);
    in.erase(0, n);
    if (body.stopped) return Result::SinkStopped;
    if (ec == http::error::need_more) return Result::NeedMore;
    if (ec) return Fail(400, "Bad request");
    if (n == 0 && !p.is_done()) return Result::NeedMore;
  }
  return Result::Done;
}

}  // namespace ov
