#include "ov_daemon_app.h"

#include <stdexcept>

namespace ov {

bool TCustomDaemon::Install() { return false; }
bool TCustomDaemon::Uninstall() { return false; }

TDaemonDef& TCustomDaemonMapper::AddDef(std::unique_ptr<TDaemonDef> def) {
  if (!def) throw std::invalid_argument("AddDef: no definition");
  defs_.push_back(std::move(def));
  return *defs_.back();
}

}  // namespace ov
