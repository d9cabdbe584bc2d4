// The server restart endpoints over the restart state (gRestartPending, gRestartWhenIdle and
// the reasons): GET /api/v1/system/restart reports it, POST asks for a restart now, when no BBS
// session is active ("idle", carried out by the restart monitor), or cancels waiting.
#pragma once

#include <cstdint>

#include "ov_route_api.h"

namespace ov {

// The active nodes of the thin-client nodes that are online with a heartbeat in the last two
// minutes; 0 without a database or when the count fails (a restart when idle then proceeds).
std::int32_t GetActiveBBSSessions();

void HandleRestartStatus(TOVApiRequest& c);
// "now" (and any other value): the answer is written first, then the server stops and exits for
// its supervisor to start it again; running requests drain (bounded) before services go.
void HandleServerRestart(TOVApiRequest& c);

}  // namespace ov
