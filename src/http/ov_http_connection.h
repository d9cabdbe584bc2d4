// One request on its handler thread, from a complete request head to the close: the body, the
// handler, the answer and the close.  Also the answer bytes that event loops send themselves.
// Internal to the HTTP server.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "ov_http_request_reader.h"
#include "ov_http_types.h"
#include "ov_locks.h"
#include "ov_stream.h"

namespace ov::detail {

class HttpCore;

// A connection whose request head an event loop has read, on its way to a handler thread.
struct HeadRead {
  std::unique_ptr<Stream> stream;
  std::unique_ptr<TOVHttpRequestReader> reader;  // past the head: knows how the body is framed
  std::string in;                                // bytes read past the head
  TOVHttpRequest req;                            // filled from the head (no connection yet)
  bool gate_passed = false;                      // the security gate let it through on the loop
};

// The slot of one handler thread: the stream it is serving, so that the stop can cut it from
// another thread.  Only the owning thread tracks and untracks; any thread may stop.
class HttpWorkerSlot {
 public:
  HttpWorkerSlot() = default;
  HttpWorkerSlot(const HttpWorkerSlot&) = delete;
  HttpWorkerSlot& operator=(const HttpWorkerSlot&) = delete;

  // Owner: s is being served (null: nothing is).  After Stop, s is cut at once.
  void Track(Stream* s) noexcept EXCLUDES(lock_);
  // Cuts the tracked stream and every stream tracked later: blocked reads and writes on it
  // return at once.
  void Stop() noexcept EXCLUDES(lock_);

 private:
  // ---- Guarded by lock_ (a leaf: a stop only shuts the socket down) ----
  // A tracked stream stays open while tracked: its owner untracks it before closing, so a stop
  // never reaches a closed (or reused) descriptor.
  TOVLock lock_{LockLevel::Leaf};
  Stream* current_ GUARDED_BY(lock_) = nullptr;
  bool stopped_ GUARDED_BY(lock_) = false;
};

// Serves the request to the end on the calling handler thread (the stream is owned from here
// on).  Never throws; failures are logged.
void ServeRequest(HttpCore& core, HeadRead head, HttpWorkerSlot& slot) noexcept;

// How long a lingering close keeps reading, and how much it discards at most.
inline constexpr std::chrono::milliseconds kLingerTime{2000};
inline constexpr std::size_t kLingerBytes = 4 * 1024 * 1024;
// Input is waiting unread (a body not taken, a pipelined request): closing now would make the
// kernel send a reset that can destroy the answer in flight, so the close must linger.
bool HasUnreadInput(const Stream& s) noexcept;

// An answer with "Connection: close", ready to send: the head with the in-memory body (none
// for HEAD and the statuses without a body), and the file to send after it, if any.
struct AnswerBytes {
  std::string out;
  std::shared_ptr<const TOVBodyFile> file;
};
// req: the request answered (HEAD leaves the body out); null when there is none.
AnswerBytes PrepareAnswer(const TOVHttpRequest* req, const TOVHttpResponse& resp);
// resp as given, without "Connection: close" (the /ws hand-over's 101).
std::string PrepareOpenAnswer(const TOVHttpResponse& resp);

}  // namespace ov::detail
