// The BBS caller sessions on the board's nodes: one JSON object per occupied node, kept in
// memory in the order added and mirrored into the table active_sessions, so that the REST API,
// the status counts and plug-ins all see the same sessions.  Also hands out free node numbers
// from 1 to the configured maximum ([telnet] max_nodes).
//
// Lock order: a change takes the database write lock first, then the manager's lock (a leaf),
// so the manager's lock is never held while waiting for the write lock.  That lets code that
// already holds the write lock (a plug-in inside a database batch) use the manager without
// deadlock.  Under the manager's lock a change only re-enters the write lock it already holds.
// Readers take only the manager's lock and get copies; nothing outside the manager ever sees
// its list.  No method may be called with the manager's lock held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "ov_json_helpers.h"
#include "ov_locks.h"
#include "ov_service.h"

namespace ov {

class TOVSessionManager {
 public:
  explicit TOVSessionManager(std::int32_t max_nodes);
  TOVSessionManager(const TOVSessionManager&) = delete;
  TOVSessionManager& operator=(const TOVSessionManager&) = delete;

  std::int32_t MaxNodes() const noexcept { return max_nodes_; }

  // Inserts the active_sessions row and adds the session object; returns the row id.  A
  // database error leaves neither the row nor the object behind and reaches the caller.
  std::int64_t AddSession(std::int32_t node, const std::string& protocol, const std::string& ip_address)
      EXCLUDES(lock_);
  // Removes every object with that session id, then deletes the row of that id (also when no
  // object matched).
  void RemoveSession(std::int64_t session_id) EXCLUDES(lock_);
  // Sets "user_id" and "username" of the first object with that session id (they move to the
  // end of the object) and stores them with a new last_activity in the row.
  void UpdateSession(std::int64_t session_id, std::int64_t user_id, const std::string& username)
      EXCLUDES(lock_);
  // Stamps last_activity of the row; the object is not changed (the list is not locked).
  void UpdateActivity(std::int64_t session_id);

  // A copy of the whole list (an array of session objects).
  TJSON GetAllSessions() const EXCLUDES(lock_);
  // A copy of the last object on that node, or nullopt.
  std::optional<TJSON> GetSessionByNode(std::int32_t node) const EXCLUDES(lock_);
  std::size_t GetSessionCount() const EXCLUDES(lock_);
  // The lowest node from 1 to MaxNodes that no session occupies, or -1 when all are taken.
  // Nothing is reserved: two callers without an AddSession in between get the same number.
  std::int32_t AllocateNode() const EXCLUDES(lock_);
  // Empties the list and the table; a database error is swallowed.
  void ClearAll() EXCLUDES(lock_);

 private:
  // ---- Constant after construction ----
  const std::int32_t max_nodes_;

  // ---- Guarded by lock_ ----
  // A leaf, last in the order: taken under the database write lock, and nothing new is taken
  // while it is held (the writes under it re-enter the write lock their caller holds).
  mutable TOVLock lock_{LockLevel::Leaf};
  TJSON sessions_ GUARDED_BY(lock_) = TJSON::array();
};

extern TOVService<TOVSessionManager> SessionMgr;

// Start-up and shutdown of the global manager (the daemon's service table calls these).
// Start-up reads [telnet] max_nodes (default 10).
void StartupSessionManager();
void ShutdownSessionManager(const std::function<void(const std::string&)>& step);

}  // namespace ov
