#include "ov_plugin_probe.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "ov_format.h"
#include "ov_json_helpers.h"
#include "ov_plugin_host.h"
#include "ov_process.h"
#include "ov_text.h"

namespace ov {

namespace {

// The probe's answer is one line: a JSON object with "name_hex" (the name's bytes, which need not
// be UTF-8) and "target", or with "error".  Anything bigger is not an answer.
constexpr std::size_t kMaxAnswer = 64 * 1024;

std::optional<std::string> HexDecode(std::string_view hex) {
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  if (hex.size() % 2 != 0) return std::nullopt;
  std::string out;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const int hi = nibble(hex[i]), lo = nibble(hex[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out += static_cast<char>(hi * 16 + lo);
  }
  return out;
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  if (from.empty()) return;
  for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
    text.replace(at, from.size(), to);
}

std::string Seconds(std::chrono::milliseconds d) {
  return d.count() % 1000 == 0 ? Format("%d s", d.count() / 1000) : Format("%d ms", d.count());
}

// The probe process's work, between the argument check and _exit: the answer object.
TJSON Probe(int argc, char** argv) {
  TJSON out = TJSON::object();
  if (argc != 3) {
    out["error"] = "usage: <server> " + std::string(kPluginProbeArg) + " <library>";
    return out;
  }
  // No permission, no event bus, and in this process no database, configuration or log behind
  // it: whatever the plug-in asks of it fails or does nothing.
  TOVPluginHost host("_loading", TOVPermissionSet(), nullptr, std::chrono::system_clock::now());
  std::string error;
  if (const std::optional<TOVPluginIdentity> id = ReadLibraryIdentityInProcess(argv[2], host.Intf(), error)) {
    out["name_hex"] = HexEncode(id->Name);
    out["target"] = static_cast<int>(id->Target);
  } else {
    out["error"] = ToValidUtf8(error);
  }
  return out;
}

}  // namespace

void RunPluginProbeIfAsked(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], kPluginProbeArg) != 0) return;
  // A server that dies meanwhile takes its probe with it (the probe is in a process group of
  // its own, and a hung library would otherwise run on).
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  // The answer goes where standard output goes now; what the library prints goes nowhere.
  const int answer = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (answer < 0 || null < 0) ::_exit(3);
  ::dup2(null, STDOUT_FILENO);
  ::dup2(null, STDERR_FILENO);
  std::string line;
  try {
    line = JsonCompact(Probe(argc, argv)) + "\n";
  } catch (const std::exception& e) {
    line = JsonCompact(TJSON{{"error", ToValidUtf8(e.what())}}) + "\n";
  }
  for (std::size_t done = 0; done < line.size();) {
    const ssize_t w = ::write(answer, line.data() + done, line.size() - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) ::_exit(4);
    done += static_cast<std::size_t>(w);
  }
  // Nothing of the library runs after the answer: no exit handlers, no static destructors.
  ::_exit(0);
}

std::optional<TOVPluginIdentity> ProbePluginLibrary(const std::string& lib_path, std::string& error,
                                                    const TOVPluginProbeOptions& options) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path lib = fs::absolute(lib_path, ec);
  const std::string file = fs::path(lib_path).filename().string();
  TOVProcessOptions o;
  o.program = options.program;
  o.args = {kPluginProbeArg, lib.string()};
  // Files the library writes to relative paths land beside it (the install's staging), never in
  // the server's own directory.
  o.working_dir = lib.parent_path().string();
  o.output = TOVProcessOutput::Capture;
  o.merge_stderr = false;
  o.timeout = options.timeout;
  o.max_output = kMaxAnswer;
  o.stop = options.stop;
  TOVProcessResult r;
  try {
    r = RunProcess(o);
  } catch (const EOVProcessError& e) {
    error = Format("Cannot check plugin library %s: %s", file, e.what());
    return std::nullopt;
  }
  if (r.timed_out) {
    error = Format("Plugin load timed out: %s - no answer within %s", file, Seconds(options.timeout));
    return std::nullopt;
  }
  if (r.stopped) {
    error = Format("Plugin load stopped: %s - the server is shutting down", file);
    return std::nullopt;
  }
  if (r.term_signal != 0) {
    const char* what = ::sigdescr_np(r.term_signal);
    error = Format("Plugin load crashed: %s - killed by signal %d (%s)", file, r.term_signal, what ? what : "unknown");
    return std::nullopt;
  }
  const std::optional<TJSON> answer =
      r.exit_code == 0 && !r.output_truncated ? ParseJson(TrimAscii(r.output)) : std::nullopt;
  if (answer && answer->is_object()) {
    if (const auto e = answer->find("error"); e != answer->end() && e->is_string()) {
      error = e->get<std::string>();
      ReplaceAll(error, lib.string(), file);
      return std::nullopt;
    }
    const std::optional<std::string> name = HexDecode(JStr(*answer, "name_hex"));
    if (name && !name->empty()) return TOVPluginIdentity{*name, static_cast<TOVPluginTarget>(JInt(*answer, "target"))};
  }
  error = Format("Plugin load crashed: %s - the check ended (exit status %d) without an answer", file, r.exit_code);
  return std::nullopt;
}

}  // namespace ov
