// The plug-in probe: which plug-in a library is, and whether the server can load it, asked in a
// short-lived process of its own before an install writes anything.
//
// Why a process: the answer needs the library's code to run (OVPluginCreate, GetName), and a
// library that has run can never be unmapped safely (its exit handlers, threads and static
// objects may still point into it).  Asked in the server, every refused package and every
// update left its mappings and memory behind for the life of the server, and a refused
// package's constructors ran inside it.  The probe is the server's own executable started again
// through the process runner (it exports the SDK the library links against), with the argument
// kPluginProbeArg: it maps the library, creates the plug-in with a host that has no permission
// and no service behind it (no database, configuration, log or port is ever opened in it),
// writes one line of JSON and ends.  A library that crashes it or outlasts the deadline is a
// refusal with that reason.
#pragma once

#include <chrono>
#include <optional>
#include <stop_token>
#include <string>

#include "ov_base_plugin_manager.h"

namespace ov {

// argv[1] of a probe process; not a command-line feature (absent from --help).
inline constexpr const char* kPluginProbeArg = "--plugin-probe";

struct TOVPluginProbeOptions {
  // The executable to start: this process's own, which exports the plug-in SDK.
  std::string program = "/proc/self/exe";
  // A library that has not answered by then is refused (the probe is killed).
  std::chrono::milliseconds timeout{10000};
  // A stop request ends the probe at once (shutdown), as a refusal.
  std::stop_token stop;
};

// Asks a probe process about the library at lib_path.  Its identity, or nullopt with the reason
// in error: the loader's message (a path in it named by the library's file name alone), or
// "Plugin load crashed: <file> - ..." / "Plugin load timed out: <file> - ..." when the probe died
// or hung.  Nothing of the library is mapped into the calling process.  Takes no lock.
std::optional<TOVPluginIdentity> ProbePluginLibrary(const std::string& lib_path, std::string& error,
                                                    const TOVPluginProbeOptions& options = {});

// First thing in main: when argv asks for a probe (argv[1] is kPluginProbeArg), runs it and ends
// the process (_exit: nothing the library registered runs at exit); otherwise returns at once.
void RunPluginProbeIfAsked(int argc, char** argv);

}  // namespace ov
