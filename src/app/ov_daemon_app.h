// A small daemon framework: a daemon with Start, Stop, Install and Uninstall; the definition
// that names a daemon to a service host; and a mapper that holds the definitions a program
// offers.  A service host (none exists yet) would take a mapper, find a definition, run the
// daemon's Start on a thread of its own and call Stop from another.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace ov {

class TCustomDaemon {
 public:
  TCustomDaemon() = default;
  virtual ~TCustomDaemon() = default;
  TCustomDaemon(const TCustomDaemon&) = delete;
  TCustomDaemon& operator=(const TCustomDaemon&) = delete;

  // Runs the service on the calling thread until it is stopped.  True when it started and
  // ended normally; false when it could not start (it then leaves nothing running).
  virtual bool Start() = 0;
  // Ends what Start runs; called from a thread other than Start's.  True when it stopped.
  virtual bool Stop() = 0;
  // Registers the daemon with the system's service manager, and takes it out again.  The
  // framework has no service manager to register with: both report failure.
  virtual bool Install();
  virtual bool Uninstall();
};

// How a service host knows a daemon: the class that implements it and the names it shows.
class TDaemonDef {
 public:
  virtual ~TDaemonDef() = default;

  std::string daemon_class_name;
  std::string name;
  std::string description;
  std::string display_name;
};

// The definitions a program offers, in the order they were added.
class TCustomDaemonMapper {
 public:
  TCustomDaemonMapper() = default;
  virtual ~TCustomDaemonMapper() = default;
  TCustomDaemonMapper(const TCustomDaemonMapper&) = delete;
  TCustomDaemonMapper& operator=(const TCustomDaemonMapper&) = delete;

  // Takes ownership of def and returns it.
  TDaemonDef& AddDef(std::unique_ptr<TDaemonDef> def);
  const std::vector<std::unique_ptr<TDaemonDef>>& DaemonDefs() const noexcept { return defs_; }

 private:
  std::vector<std::unique_ptr<TDaemonDef>> defs_;
};

}  // namespace ov
