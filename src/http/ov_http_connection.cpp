// One HTTP connection on its connection thread: request head and body in, answer out, close.
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

// How long a lingering close keeps reading, and how much it discards at most.
constexpr std::chrono::milliseconds kLingerTime{2000};
constexpr std::size_t kLingerBytes = 4 * 1024 * 1024;
constexpr std::size_t kReadChunk = 16 * 1024;

}  // namespace

// ---- the thread's slot ------------------------------------------------------------------------

void HttpWorkerSlot::Track(Stream* s, bool waiting_for_head) noexcept {
  TOVLockGuard g(lock_);
  current_ = s;
  before_request_ = s && waiting_for_head;
  // A stream taken up after the stop (accepted just as it came) is cut at once as well.
  if (stopped_ && current_) current_->Abort();
}

void HttpWorkerSlot::RequestArrived() noexcept {
  TOVLockGuard g(lock_);
  before_request_ = false;
}

void HttpWorkerSlot::AbortIfBeforeRequest() noexcept {
  TOVLockGuard g(lock_);
  if (current_ && before_request_) current_->Abort();
}

void HttpWorkerSlot::Stop() noexcept {
  TOVLockGuard g(lock_);
  stopped_ = true;
  if (current_) current_->Abort();
}

// A Counted connection's wait for its request head: its end is reported once, when the head
// has arrived or when the connection ends without one.
class HeadWait {
 public:
  HeadWait(HttpCore& core, const std::string& peer_ip, bool counted) : core_(core), ip_(peer_ip), counted_(counted) {}
  ~HeadWait() { Done(); }
  HeadWait(const HeadWait&) = delete;
  HeadWait& operator=(const HeadWait&) = delete;
  void Done() noexcept {
    if (!counted_) return;
    counted_ = false;
    core_.HeadDone(ip_);
  }

 private:
  HttpCore& core_;
  const std::string ip_;
  bool counted_;
};

// One accepted connection, served on its thread.
class HttpConnection final : public TOVHttpConnection {
 public:
  HttpConnection(HttpCore& core, HttpWorkerSlot& slot, HeadWait& head_wait, std::unique_ptr<Stream> s)
      : core_(core), slot_(slot), head_wait_(head_wait), stream_(std::move(s)) {}
  ~HttpConnection() override { Release(); }

  Stream& GetStream() override { return *stream_; }
  bool Detached() const noexcept override { return detached_; }
  TOVDetachedStream SendAndDetach(const TOVHttpResponse& resp) override;

  void Run(StreamClock::time_point accepted);

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
  HeadWait& head_wait_;
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

bool HttpConnection::SendHead(const std::string& head) {
  return stream_->Send(head.data(), head.size(), IoDeadline()).ok();
}

bool HttpConnection::SendResponse(const TOVHttpRequest* req, TOVHttpResponse& resp) {
  bool head_only = req && req->method == "HEAD";
  if (NoBodyStatus(resp.status)) {
    return SendHead(BuildHead(resp, std::nullopt, true));
  }
  if (!resp.file) {
    std::string out = BuildHead(resp, resp.body.size(), true);
    if (!head_only) out.append(resp.body);
    return stream_->Send(out.data(), out.size(), IoDeadline()).ok();
  }
  const TOVBodyFile& file = *resp.file;
  const std::string head = BuildHead(resp, file.Size(), true);
  if (head_only) return SendHead(head);
  return stream_->SendFile(head, file.Fd(), file.Size(), core_.opts.io_timeout).ok();
}

TOVDetachedStream HttpConnection::SendAndDetach(const TOVHttpResponse& resp) {
  if (detached_ || !stream_) throw std::runtime_error("connection already handed over");
  std::string head = BuildHead(resp, NoBodyStatus(resp.status) ? std::nullopt
                                                               : std::optional<std::uint64_t>(resp.body.size()),
                               false);
  if (!NoBodyStatus(resp.status)) head.append(resp.body);
  if (!stream_->Send(head.data(), head.size(), IoDeadline()).ok())
    throw std::runtime_error("cannot send the upgrade answer");
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
  // Unread input (a body we did not take, a pipelined request) would make close() send a
  // reset that can destroy the answer in flight; drain it first.
  int pending = 0;
  if (!linger && stream_->Fd() >= 0 && ::ioctl(stream_->Fd(), FIONREAD, &pending) == 0 && pending > 0) linger = true;
  if (linger) {
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

void HttpConnection::Run(StreamClock::time_point accepted) {
  const Deadline head_deadline = accepted + core_.opts.io_timeout;
  TOVHttpRequestReader reader;
  char buf[kReadChunk];

  // The request head, within one deadline from accept.
  bool any = false;
  for (;;) {
    if (!in_.empty()) {
      auto r = reader.FeedHead(in_);
      if (r == TOVHttpRequestReader::Result::Done) break;
      if (r == TOVHttpRequestReader::Result::Error) {
        SendErrorAndClose(reader.ErrorStatus(), reader.ErrorMessage(), true);
        return;
      }
    }
    IoResult rr = stream_->Recv(buf, sizeof buf, head_deadline);
    if (rr.status == IoStatus::Timeout) {
      if (any) SendErrorAndClose(408, "Request timeout", true);
      else Finish(false);
      return;
    }
    if (!rr.ok()) {
      Finish(false);  // the client went away
      return;
    }
    any = true;
    in_.append(buf, rr.bytes);
  }

  slot_.RequestArrived();
  head_wait_.Done();

  TOVHttpRequest req;
  req.peer_address = stream_->PeerAddress();
  req.peer_port = stream_->PeerPort();
  req.secure = stream_->IsSecure();
  req.connection = this;
  if (reader.FillRequest(req) != TOVHttpRequestReader::Result::Done) {
    SendErrorAndClose(reader.ErrorStatus() ? reader.ErrorStatus() : 400,
                      reader.ErrorMessage().empty() ? "Bad request" : reader.ErrorMessage(), true);
    return;
  }

  TOVHttpResponse resp;
  resp.SetHeader("Connection", "close");
  // The gate runs before the body is read, so a refused client cannot make us read it.
  if (!core_.RunSecurityGate(req, resp)) {
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
    LogError("HTTP request error: %s: %s", ex.type, ex.what);
    AnswerInternalError(resp);
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


// ---- one connection from accept to close ------------------------------------------------------

void ServeConnection(HttpCore& core, TOVAcceptedSocket sock, bool counted, HttpWorkerSlot& slot) noexcept {
  auto accepted = StreamClock::now();
  // Untracks on every way out, before the stream it names is destroyed.
  struct Untracked {
    HttpWorkerSlot& slot;
    ~Untracked() { slot.Track(nullptr); }
  };
  try {
    HeadWait head_wait(core, sock.peer_address, counted);
    SetConnectionOptions(sock.fd);
    std::unique_ptr<Stream> stream;
    if (core.tls.load()) {
      auto h = std::make_unique<TOVOpenSSLHandler>(sock, static_cast<TOVSSLType>(core.ssl_type.load()));
      Untracked untrack{slot};
      slot.Track(h.get(), true);
      if (!h->Accept(accepted + core.opts.io_timeout)) return;  // the handler closes the socket
      stream = std::move(h);
    } else {
      stream = std::make_unique<SocketStream>(sock);
    }
    Untracked untrack{slot};
    slot.Track(stream.get(), true);
    HttpConnection conn(core, slot, head_wait, std::move(stream));
    conn.Run(accepted);
  } catch (...) {
    const CaughtException ex = DescribeCaught();
    LogError("HTTP request error: %s: %s", ex.type, ex.what);
  }
}

}  // namespace ov::detail
