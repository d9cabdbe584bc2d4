// REST endpoints of the task scheduler: the task list, one task, editing a task's schedule,
// running a task at once, and the run log (paged, filtered, cleared).  Every route is for
// administrators; the route table checks that before a handler runs.
#pragma once

#include "ov_route_api.h"

namespace ov {

void HandleListSchedulerTasks(TOVApiRequest& c);
void HandleGetSchedulerTask(TOVApiRequest& c);
void HandleUpdateSchedulerTask(TOVApiRequest& c);
void HandleRunSchedulerTask(TOVApiRequest& c);
void HandleListSchedulerLogs(TOVApiRequest& c);
void HandleClearSchedulerLogs(TOVApiRequest& c);

}  // namespace ov
