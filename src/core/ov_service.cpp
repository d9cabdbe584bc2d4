#include "ov_service.h"

#include "ov_log.h"

namespace ov {

namespace {
std::atomic<std::size_t> g_left_in_use{0};
}  // namespace

void ReportServiceLeftInUse(const char* name, std::chrono::milliseconds waited) noexcept {
  g_left_in_use.fetch_add(1);
  const std::string msg =
      Format("Service %s still in use after %d ms; left undeleted", name ? name : "?", waited.count());
  // The log itself may be the service being retired.
  if (Log.Exists())
    LogError(msg);
  else
    ConsoleWriteErr(msg + "\n");
}

std::size_t ServicesLeftInUse() noexcept { return g_left_in_use.load(); }

}  // namespace ov
