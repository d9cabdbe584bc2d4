// One request on its handler thread: body in, handler, answer out, close.
#include "ov_http_connection.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

#include "ov_http_core.h"
#include "ov_json_reply.h"
#include "ov_listener.h"
#include "ov_log.h"
#include "ov_multipart.h"
#include "ov_ssl_handler.h"

namespace ov::detail {

namespace {

constexpr std::size_t kReadChunk = 16 * 1024;

}  // namespace

// ---- the thread's slot ------------------------------------------------------------------------

void HttpWorkerSlot::Track(Stream* s) noexcept {
  TOVLockGuard g(lock_);
  current_ = s;
  // A stream taken up after the stop (handed over just as it came) is cut at once as well.
  if (stopped_ && current_) current_->Abort();
}

void HttpWorkerSlot::Stop() noexcept {
  TOVLockGuard g(lock_);
  stopped_ = true;
  if (current_) current_->Abort();
}

// One request's connection, served on its handler thread.
class HttpConnection final : public TOVHttpConnection {
 public:
  HttpConnection(HttpCore& core, HttpWorkerSlot& slot, std::unique_ptr<Stream> s, std::string in)
      : core_(core), slot_(slot), stream_(std::move(s)), in_(std::move(in)) {}
  ~HttpConnection() override { Release(); }

  Stream& GetStream() override { return *stream_; }
  bool Detached() const noexcept override { return detached_; }
  TOVDetachedStream SendAndDetach(const TOVHttpResponse& resp) override;

  // The request whose head reader has read; gate_passed: the loop ran the security gate.
  void Run(TOVHttpRequest& req, TOVHttpRequestReader& reader, bool gate_passed);

 private:
  Deadline IoDeadline() const { return DeadlineIn(core_.opts.io_timeout); }
  // Sends an answer with "Connection: close"; false when the peer could not take it.
  bool SendResponse(const TOVHttpRequest* req, TOVHttpResponse& resp);
  bool SendHead(const std::string& head);
  void SendErrorAndClose(int status, const std::string& message, bool linger);
  void Finish(bool linger) noexcept;
  void Release() noexcept;

  void Untrack() noexcept { slot_.Track(nullptr); }

  HttpCore& core_;
  HttpWorkerSlot& slot_;
  std::unique_ptr<Stream> stream_;
  std::string in_;  // bytes read and not yet consumed
  bool detached_ = false;
};

// ---- response writing ------------------------------------------------------------------------

namespace {

bool HeaderNameOk(std::string_view n) {
  if (n.empty()) return false;
  for (unsigned char c : n)
    if (c <= 0x20 || c >= 0x7f || c == ':') return false;
  return true;
}

void AppendHeaderLine(std::string& out, std::string_view name, std::string_view value) {
  out.append(name);
  out.append(": ");
  // A handler's value never splits the header block.
  for (char c : value) out.push_back((c == '\r' || c == '\n' || c == '\0') ? ' ' : c);
  out.append("\r\n");
}

bool NoBodyStatus(int status) { return (status >= 100 && status < 200) || status == 204 || status == 304; }

std::string BuildHead(const TOVHttpResponse& resp, std::optional<std::uint64_t> content_length,
                      bool connection_close) {
  std::string head;
  head.reserve(256 + resp.headers.size() * 48);
  head.append("HTTP/1.1 ");
  head.append(std::to_string(resp.status));
  head.push_back(' ');
  std::string reason = resp.reason.empty() ? StatusReason(resp.status) : resp.reason;
  for (char c : reason) head.push_back((c == '\r' || c == '\n') ? ' ' : c);
  head.append("\r\n");
  for (const auto& h : resp.headers) {
    if (!HeaderNameOk(h.first)) continue;
    if (EqualsIgnoreCase(h.first, "Content-Length") || EqualsIgnoreCase(h.first, "Transfer-Encoding")) continue;
    if (connection_close && EqualsIgnoreCase(h.first, "Connection")) continue;
    AppendHeaderLine(head, h.first, h.second);
  }
  if (content_length) AppendHeaderLine(head, "Content-Length", std::to_string(*content_length));
  if (connection_close) head.append("Connection: close\r\n");
  head.append("\r\n");
  return head;
}

}  // namespace

bool HasUnreadInput(const Stream& s) noexcept {
  int pending = 0;
  return s.Fd() >= 0 && ::ioctl(s.Fd(), FIONREAD, &pending) == 0 && pending > 0;
}

AnswerBytes PrepareAnswer(const TOVHttpRequest* req, const TOVHttpResponse& resp) {
  AnswerBytes a;
  if (NoBodyStatus(resp.status)) {
    a.out = BuildHead(resp, std::nullopt, true);
    return a;
  }
  const bool head_only = req && req->method == "HEAD";
  if (!resp.file) {
    a.out = BuildHead(resp, resp.body.size(), true);
    if (!head_only) a.out.append(resp.body);
    return a;
  }
  a.out = BuildHead(resp, resp.file->Size(), true);
  if (!head_only) a.file = resp.file;
  return a;
}

std::string PrepareOpenAnswer(const TOVHttpResponse& resp) {
  const bool no_body = NoBodyStatus(resp.status);
  std::string out = BuildHead(resp, no_body ? std::nullopt : std::optional<std::uint64_t>(resp.body.size()), false);
  if (!no_body) out.append(resp.body);
  return out;
}

bool HttpConnection::SendHead(const std::string& head) {
  return stream_->Send(head.data(), head.size(), IoDeadline()).ok();
}

bool HttpConnection::SendResponse(const TOVHttpRequest* req, TOVHttpResponse& resp) {
  const AnswerBytes a = PrepareAnswer(req, resp);
  if (!a.file) return SendHead(a.out);
  return stream_->SendFile(a.out, a.file->Fd(), a.file->Size(), core_.opts.io_timeout).ok();
}

TOVDetachedStream HttpConnection::SendAndDetach(const TOVHttpResponse& resp) {
  if (detached_ || !stream_) throw std::runtime_error("connection already handed over");
  if (!SendHead(PrepareOpenAnswer(resp))) throw std::runtime_error("cannot send the upgrade answer");
  Untrack();
  detached_ = true;
  TOVDetachedStream out;
  out.stream = std::move(stream_);
  out.pending = std::move(in_);
  in_.clear();
  return out;
}

void HttpConnection::Release() noexcept {
  if (stream_) {
    Untrack();
    stream_->Close();
    stream_.reset();
  }
}

void HttpConnection::Finish(bool linger) noexcept {
  if (!stream_) return;
  Untrack();
  if (linger || HasUnreadInput(*stream_)) {
    stream_->LingeringClose(kLingerTime, kLingerBytes);
  } else {
    // With nothing unread, close() alone ends a plain connection in order (FIN); TLS first
    // sends its close notification.
    if (stream_->IsSecure()) stream_->Shutdown(DeadlineIn(std::chrono::milliseconds(500)));
    stream_->Close();
  }
  stream_.reset();
}

void HttpConnection::SendErrorAndClose(int status, const std::string& message, bool linger) {
  TOVHttpResponse resp;
  TOVJsonReply::SendError(resp, status, message);
  SendResponse(nullptr, resp);
  Finish(linger);
}

void HttpConnection::Run(TOVHttpRequest& req, TOVHttpRequestReader& reader, bool gate_passed) {
  char buf[kReadChunk];
  req.connection = this;
  TOVHttpResponse resp;
  resp.SetHeader("Connection", "close");
  // The gate runs before the body is read, so a refused client cannot make us read it.
  if (!gate_passed && !core_.RunSecurityGate(req, resp)) {
    SendResponse(&req, resp);
    // Only a body still on its way needs draining; a refused client that sent none (the usual
    // case in a flood) must not hold this thread for the lingering time.
    Finish(reader.BodyExpected() || !in_.empty());
    return;
  }

  struct FileCleanup {
    std::vector<TOVUploadedFile>& files;
    ~FileCleanup() { RemoveUploadedFiles(files); }
  } cleanup{req.files};

  if (reader.BodyExpected()) {
    const std::uint64_t cap = core_.opts.max_body_bytes;
    auto cl = reader.ContentLength();
    if (cl && *cl > cap) {
      SendErrorAndClose(413, "Request body too large", true);
      return;
    }
    std::unique_ptr<TOVMultipartFormReader> form;
    std::string ctype = req.Header("Content-Type");
    if (IsMultipartFormData(ctype)) {
      std::string boundary;
      if (!MultipartBoundary(ctype, boundary)) {
        SendErrorAndClose(400, "Invalid multipart boundary", true);
        return;
      }
      form = std::make_unique<TOVMultipartFormReader>(boundary, core_.opts.upload_dir);
    }
    if (EqualsIgnoreCase(TrimAscii(req.Header("Expect")), "100-continue")) {
      static const std::string kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
      if (!SendHead(kContinue)) {
        Finish(false);
        return;
      }
    }
    std::uint64_t total = 0;
    int stop_status = 0;
    std::string stop_message;
    TOVHttpRequestReader::BodySink sink = [&](const char* data, std::size_t len) {
      total += len;
      if (total > cap) {
        stop_status = 413;
        stop_message = "Request body too large";
        return false;
      }
      if (form) {
        if (!form->Feed(data, len)) {
          stop_status = form->ErrorStatus();
          stop_message = form->Error();
          return false;
        }
      } else {
        req.body.append(data, len);
      }
      return true;
    };
    for (;;) {
      auto r = reader.FeedBody(in_, sink);
      if (r == TOVHttpRequestReader::Result::Done) break;
      if (r == TOVHttpRequestReader::Result::SinkStopped) {
        SendErrorAndClose(stop_status, stop_message, true);
        return;
      }
      if (r == TOVHttpRequestReader::Result::Error) {
        SendErrorAndClose(reader.ErrorStatus(), reader.ErrorMessage(), true);
        return;
      }
      IoResult rr = stream_->Recv(buf, sizeof buf, IoDeadline());
      if (rr.status == IoStatus::Timeout) {
        SendErrorAndClose(408, "Request timeout", true);
        return;
      }
      if (!rr.ok()) {
        Finish(false);
        return;
      }
      in_.append(buf, rr.bytes);
    }
    if (form) {
      if (!form->Finish()) {
        int st = form->ErrorStatus();
        SendErrorAndClose(st, form->Error(), st != 500);
        return;
      }
      form->TakeResults(req.files, req.form_fields);
    }
  }

  try {
    core_.Dispatch(req, resp);
  } catch (...) {
    const CaughtException ex = DescribeCaught();
    if (AnswerInternalError(resp) == 500) LogError("HTTP request error: %s: %s", ex.type, ex.what);
  }
  if (detached_) return;
  // The request has ended for its handler: its uploads go before the answer does, so a client
  // that has its answer never finds them still on disk.
  RemoveUploadedFiles(req.files);
  SendResponse(&req, resp);
  Finish(!in_.empty());
  if (resp.after_send) {
    try {
      resp.after_send();
    } catch (...) {
    }
  }
}


// ---- one request from its head to the close --------------------------------------------------

void ServeRequest(HttpCore& core, HeadRead head, HttpWorkerSlot& slot) noexcept {
  // Untracks on every way out, before the stream it names is destroyed.
  struct Untracked {
    HttpWorkerSlot& slot;
    ~Untracked() { slot.Track(nullptr); }
  };
  try {
    Untracked untrack{slot};
    slot.Track(head.stream.get());
    HttpConnection conn(core, slot, std::move(head.stream), std::move(head.in));
    conn.Run(head.req, *head.reader, head.gate_passed);
  } catch (...) {
    const CaughtException ex = DescribeCaught();
    LogError("HTTP request error: %s: %s", ex.type, ex.what);
  }
  // Closed, or handed over to the hub: either way no longer this server's.
  head.stream.reset();
  core.ConnectionLeft();
}

}  // namespace ov::detail
