// The walk over the service table: start-up in the table's order, shutdown backwards with the
// exceptions each row declares.  The table itself (the server's whole life, top to bottom) is in
// ov_daemon.cpp; this unit only knows how to walk one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "ov_service.h"

namespace ov {

// Where a row's stop runs in the shutdown walk.
enum class TOVStopAt : std::uint8_t {
  Reverse,  // the reverse of start-up: the usual place
  First,    // before every other stop (announced rows only)
  After,    // right after the stop of the row named in `after`
  Final,    // after the announced walk ("done"), in reverse start order: the process basics
};

// Which life of the server runs a row.  The console life runs every row; the daemon form runs
// inside a host that made the configuration and the log already, and leaves out the rows
// marked Console (those two, and what only a console start does).
enum class TOVLife : std::uint8_t {
  Any,      // every life (rows)
  Console,  // the console life only (rows); the console life (walks)
  Daemon,   // the daemon form (walks)
};

// One row: a name, how it starts and how it stops.  A start throws to end start-up; a stop
// announces its steps through the step function and skips what does not exist.
struct TOVServiceRow {
  const char* name;
  void (*start)();
  void (*stop)(const TOVStepFn& step);
  TOVStopAt at = TOVStopAt::Reverse;
  const char* after = nullptr;  // TOVStopAt::After: the row this one follows
  TOVLife life = TOVLife::Any;  // Console: left out of the daemon form
};

// Indexes of rows in shutdown order: First rows, then the rest backwards, each row followed at
// once by the rows declared After it (also in reverse start order), then Final rows backwards.
// A row whose `after` names no row keeps its reverse place.  Every row appears exactly once.
std::vector<std::size_t> ShutdownOrder(std::span<const TOVServiceRow> rows);

class TOVServiceWalk {
 public:
  // life: the life walking the rows (Console or Daemon); it starts only the rows it runs.
  explicit TOVServiceWalk(std::span<const TOVServiceRow> rows, TOVLife life = TOVLife::Console);

  // Starts every row of this life in table order.  A row counts as started before its start runs, so a
  // start that fails half-way is still stopped (stops free only what exists).  The exception
  // of a failing start passes on; the rows after it are not started.
  void StartAll();
  // Stops the started rows that are not Final in shutdown order, announced by the steps
  // "begin" and "done" (only when one of them started).  A stop that throws is logged
  // "Shutdown error: %s" and the walk goes on: the later rows (the log drain, the database)
  // still stop.
  void StopServices(const TOVStepFn& step);
  // Stops the started Final rows (after StopServices), errors logged the same way.
  void StopFinal(const TOVStepFn& step);

 private:
  void StopRow(std::size_t index, const TOVStepFn& step);

  std::span<const TOVServiceRow> rows_;
  TOVLife life_;
  std::vector<std::size_t> order_;
  std::vector<bool> started_;
};

}  // namespace ov
