// The server's own maintenance work, run by the scheduler as the tasks of plug-in "system":
// pruning of the log, run-log and session tables, database upkeep (VACUUM and the WAL
// checkpoint on SQLite), the configuration-file watch, the plug-in update check and the pruning
// of two door-game news tables.  A task fails by throwing; the scheduler records the failure.
#pragma once

#include <stop_token>
#include <string>

namespace ov {

// Runs the task of that name (compared exactly).  False when no task has that name.  A stop
// request ends a running VACUUM early (as a failure).  Runs on the calling thread.
bool RunMaintenanceTask(const std::string& name, std::stop_token stop = {});

// PRAGMA wal_checkpoint(TRUNCATE) on the write connection (under the write lock), with its
// outcome logged; a failing PRAGMA is logged as a warning, never thrown.
void DoWalCheckpointTruncate();

}  // namespace ov
