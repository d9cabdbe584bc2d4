// Scheduler tasks and the scheduler's run log.
#include "ov_route_scheduler.h"

#include <optional>
#include <string>

#include "ov_database.h"
#include "ov_route_db.h"
#include "ov_route_path.h"
#include "ov_route_reply.h"
#include "ov_scheduler.h"

namespace ov {

namespace {

// The scheduler for a task handler, or nothing once 503 has been sent.
TOVService<TOVScheduler>::Ref SchedulerOrFail(TOVApiRequest& c) {
  auto s = Scheduler.Get();
  if (!s) SendError(c.resp, 503, "Scheduler not available");
  return s;
}

// A task id from the path (>= 0), or nothing once 400 has been sent.
std::optional<std::int64_t> TaskIdOrFail(TOVApiRequest& c, std::int64_t id) {
  if (id >= 0) return id;
  SendError(c.resp, 400, "Invalid task ID");
  return std::nullopt;
}

TJSON MessageReply(const char* text) { return TJSON{{"message", text}}; }

void SendTaskNotFound(TOVApiRequest& c) { SendError(c.resp, 404, "Task not found"); }

TJSON RunLogItem(const TOVQueryBase& q) {
  TJSON o = TJSON::object();
  o["id"] = q.Int("id");
  o["task_name"] = q.Str("task_name");
  o["plugin_name"] = q.Str("plugin_name");
  o["started_at"] = q.Str("started_at");
  o["finished_at"] = q.Str("finished_at");
  o["duration_ms"] = q.Int("duration_ms");
  o["result"] = q.Str("result");
  o["error_message"] = q.Str("error_message");
  return o;
}

}  // namespace

void HandleListSchedulerTasks(TOVApiRequest& c) {
  auto s = SchedulerOrFail(c);
  if (!s) return;
  SendSuccess(c.resp, s->GetTasksJSON());
}

void HandleGetSchedulerTask(TOVApiRequest& c) {
  auto s = SchedulerOrFail(c);
  if (!s) return;
  const std::optional<std::int64_t> id = TaskIdOrFail(c, ExtractPathID(c.req));
  if (!id) return;
  std::optional<TJSON> task = s->GetTaskJSON(*id);
  if (!task) return SendTaskNotFound(c);
  SendSuccess(c.resp, std::move(*task));
}

void HandleUpdateSchedulerTask(TOVApiRequest& c) {
  auto s = SchedulerOrFail(c);
  if (!s) return;
  const std::optional<std::int64_t> id = TaskIdOrFail(c, ExtractPathID(c.req));
  if (!id) return;
  const std::optional<TJSON> body = ParseBodyOrFail(c);
  if (!body) return;
  try {
    if (!s->UpdateTask(*id, *body)) return SendTaskNotFound(c);
  } catch (const EOVTaskUpdateRefused& e) {
    return SendError(c.resp, 400, e.what());
  }
  SendSuccess(c.resp, MessageReply("Task updated"));
}

// The request lasts as long as the run.  A task that ran and failed is still "executed": its
// outcome is in the task's "last_result" and in the run log.
void HandleRunSchedulerTask(TOVApiRequest& c) {
  auto s = SchedulerOrFail(c);
  if (!s) return;
  const std::optional<std::int64_t> id = TaskIdOrFail(c, ExtractPathIDAt(c.req, 1));
  if (!id) return;
  if (!s->RunTaskNow(*id)) return SendTaskNotFound(c);
  SendSuccess(c.resp, MessageReply("Task executed"));
}

// Newest first; "task" matches the task name or the plug-in name ("system" lists every
// built-in task).  Runs of one second are ordered by id so that pages neither repeat nor skip.
void HandleListSchedulerLogs(TOVApiRequest& c) {
  const std::string filter = c.req.QueryParam("task");
  TOVPageQuery query{.columns = "*", .table = "scheduler_log", .order = {{"started_at", true}, {"id", true}},
                     .under_write_lock = true};
  if (!filter.empty()) {
    query.where = "task_name = :tf OR plugin_name = :tf";
    query.binds = {{"tf", filter}};
  }
  SendPagedList(c, kPageSchedulerLog, query, RunLogItem);
}

void HandleClearSchedulerLogs(TOVApiRequest& c) {
  RequireDB()->ExecSQL("DELETE FROM scheduler_log");
  SendSuccess(c.resp, MessageReply("Scheduler logs cleared"));
}

}  // namespace ov
