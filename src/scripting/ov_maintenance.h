// The server's own maintenance work, run by the scheduler as the tasks of plug-in "system":
// pruning of the log, run-log and session tables, database upkeep (VACUUM and the WAL
// checkpoint on SQLite), the configuration-file watch, the plug-in update check and the pruning
// of two door-game news tables.  A task fails by throwing; the scheduler records the failure.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

namespace ov {

// Runs the task of that name (compared exactly).  False when no task has that name.  A stop
// request ends a running VACUUM early (as a failure).  Runs on the calling thread.
bool RunMaintenanceTask(const std::string& name, std::stop_token stop = {});
// Whether the task of that name spends its time waiting on a remote peer (the registry's
// check-in): the scheduler runs such a task on a thread of its own, so that a slow peer delays
// no other task.
bool MaintenanceTaskWaitsOnPeer(const std::string& name);

class TOVDatabase;

// How a maintenance deletion is cut into transactions: each batch is one write query (the
// write lock held for it alone), sized so that it holds the lock for about target, and the
// lock is left free for pause before the next one, so that writers waiting for it get in.
struct TOVDeletionBatches {
  std::int64_t first_rows = 1000;  // the first batch; later ones are sized to target
  std::int64_t min_rows = 100;
  std::int64_t max_rows = 10000;
  std::chrono::milliseconds target{25};
  std::chrono::milliseconds pause{10};
  // Called after each batch, with the write lock free and the rows deleted so far.
  std::function<void(std::int64_t deleted)> after_batch;
};

// Deletes the rows of table that condition selects (its values bound by name from binds), in
// batches, until none is left; returns the rows deleted.  Each batch is committed on its own:
// a failure or a stop request ends the deletion with the batches before it kept (a stop throws
// std::runtime_error).
std::int64_t DeleteInBatches(TOVDatabase& db, const std::string& table, const std::string& condition,
                             const std::vector<std::pair<std::string, std::string>>& binds,
                             const TOVDeletionBatches& batches = {}, std::stop_token stop = {});

// PRAGMA wal_checkpoint(TRUNCATE) on the write connection (under the write lock), with its
// outcome logged; a failing PRAGMA is logged as a warning, never thrown.
void DoWalCheckpointTruncate();

}  // namespace ov
