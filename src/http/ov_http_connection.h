// One HTTP connection served on its connection thread, from accept to close: TLS handshake,
// request head and body, the answer, and the close.  Internal to the HTTP server.
#pragma once

#include "ov_locks.h"
#include "ov_stream.h"

namespace ov::detail {

class HttpCore;

// The slot of one connection thread: the stream it is serving, so that shutdown can cut it
// from another thread.  Only the owning thread tracks and untracks; any thread may abort.
class HttpWorkerSlot {
 public:
  HttpWorkerSlot() = default;
  HttpWorkerSlot(const HttpWorkerSlot&) = delete;
  HttpWorkerSlot& operator=(const HttpWorkerSlot&) = delete;

  // Owner: s is being served (null: nothing is).  waiting_for_head: the connection has not
  // sent its whole request head yet (TLS handshake included).  After Stop, s is cut at once.
  void Track(Stream* s, bool waiting_for_head = false) noexcept EXCLUDES(lock_);
  // Owner: the whole request head has arrived.
  void RequestArrived() noexcept EXCLUDES(lock_);
  // Cuts the tracked stream when it has asked for nothing yet.
  void AbortIfBeforeRequest() noexcept EXCLUDES(lock_);
  // Cuts the tracked stream and every stream tracked later: blocked reads and writes on it
  // return at once.
  void Stop() noexcept EXCLUDES(lock_);

 private:
  // ---- Guarded by lock_ (a leaf: an abort only shuts the socket down) ----
  // A tracked stream stays open while tracked: its owner untracks it before closing, so an
  // abort never reaches a closed (or reused) descriptor.
  TOVLock lock_{LockLevel::Leaf};
  Stream* current_ GUARDED_BY(lock_) = nullptr;
  bool before_request_ GUARDED_BY(lock_) = false;
  bool stopped_ GUARDED_BY(lock_) = false;
};

// Serves the accepted socket (owned from here on) to the end on the calling thread.  counted:
// admitted as Counted, so the end of its wait for the request head is reported to the core.
// Never throws; failures are logged.
void ServeConnection(HttpCore& core, TOVAcceptedSocket sock, bool counted, HttpWorkerSlot& slot) noexcept;

}  // namespace ov::detail
