#include "ov_log.h"

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cxxabi.h>

#include <cerrno>
#include <cstdlib>
#include <typeinfo>
#include <cstring>
#include <stdexcept>
#include <cstdio>
#include <ctime>

#include "ov_config.h"
#include "ov_consts.h"
#include "ov_text.h"

namespace ov {

TOVService<TOVLog> Log{"Log"};

namespace {

void WriteAll(int fd, std::string_view s) noexcept {
  while (!s.empty()) {
    ssize_t n = ::write(fd, s.data(), s.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    s.remove_prefix(static_cast<std::size_t>(n));
  }
}

// Local time "yyyy-mm-dd hh:nn:ss", optionally with ".zzz".
std::string LocalStamp(bool millis) {
  struct timeval tv;
  ::gettimeofday(&tv, nullptr);
  struct tm tmv;
  time_t secs = tv.tv_sec;
  ::localtime_r(&secs, &tmv);
  char buf[40];
  if (millis) {
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", tmv.tm_year + 1900, tmv.tm_mon + 1,
                  tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec, static_cast<int>(tv.tv_usec / 1000));
  } else {
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", tmv.tm_year + 1900, tmv.tm_mon + 1,
                  tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec);
  }
  return buf;
}

}  // namespace

namespace {

// The names of each level, indexed by TOVLogLevel.
struct LevelNames {
  const char* console;
  const char* file;
  const char* db;
  const char* config;
};
constexpr LevelNames kLevelNames[] = {
    {"DEBUG", "Debug", "debug", "debug"},
    {"INFO", "Info", "info", "info"},
    {"WARN", "Warning", "warning", "warn"},
    {"ERROR", "Error", "error", "error"},
};

const LevelNames& NamesOf(TOVLogLevel l) noexcept { return kLevelNames[l <= llError ? l : llInfo]; }

}  // namespace

const char* LogLevelConsoleText(TOVLogLevel l) noexcept { return NamesOf(l).console; }
const char* LogLevelFileText(TOVLogLevel l) noexcept { return NamesOf(l).file; }
const char* LogLevelDBText(TOVLogLevel l) noexcept { return NamesOf(l).db; }

TOVLogLevel LogLevelFromConfig(std::string_view text) noexcept {
  for (std::uint8_t l = llDebug; l <= llError; ++l)
    if (text == kLevelNames[l].config) return static_cast<TOVLogLevel>(l);
  return llInfo;
}

TOVLogParts SplitLogMessage(std::string_view msg) {
  TOVLogParts p;
  std::string_view text = msg;
  auto take_tag = [&](std::string& into) {
    if (text.empty() || text.front() != '[') return;
    std::size_t close = text.find(']');
    // The tag needs at least one character between the brackets.
    if (close == std::string_view::npos || close < 2) return;
    into.assign(text.substr(1, close - 1));
    text.remove_prefix(close + 1);
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  };
  take_tag(p.source);
  take_tag(p.category);
  p.text.assign(text);
  return p;
}

std::string ExceptionClassName(const std::exception& e) {
  const char* mangled = typeid(e).name();
  int status = 0;
  char* dem = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
  std::string out = (status == 0 && dem) ? dem : mangled;
  std::free(dem);
  return out;
}

std::string EscapeLogText(std::string_view msg) {
  std::string out;
  out.reserve(msg.size());
  for (char ch : msg) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c >= 0x20 && c != 0x7F) {
      out.push_back(ch);
      continue;
    }
    switch (c) {
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        out += "\\x";
        AppendHexByte(out, c, HexCase::Upper);
    }
  }
  return out;
}

TOVLog::TOVLog(const std::string& log_file, bool console_output) : file_name_(log_file) {
  console_.store(console_output);
  if (!log_file.empty()) {
    fd_ = ::open(log_file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
    if (fd_ < 0) throw std::runtime_error("Cannot open log file " + log_file + ": " + std::strerror(errno));
  }
}

TOVLog::~TOVLog() {
  if (fd_ >= 0) ::close(fd_);
}

void TOVLog::SetDBCallback(TOVLogDBCallback cb) {
  TOVLockGuard g(cb_lock_);
  db_callback_ = cb ? std::make_shared<TOVLogDBCallback>(std::move(cb)) : nullptr;
}

void TOVLog::DoLog(TOVLogLevel level, std::string_view msg) noexcept {
  if (level < min_level_.load()) return;
  try {
    std::string safe = EscapeLogText(msg);
    {
      TOVLockGuard g(write_lock_);
      if (console_.load()) {
        std::string line = LocalStamp(false) + " [" + LogLevelConsoleText(level) + "] " + safe + "\n";
        WriteAll(STDOUT_FILENO, line);
      }
      if (fd_ >= 0) {
        std::string line = LocalStamp(true) + " [OrvantaBBS " + LogLevelFileText(level) + "] " + safe + "\n";
        WriteAll(fd_, line);
      }
    }
    ParseAndWriteDB(level, msg);
  } catch (...) {
    // Logging never fails its caller.
  }
}

void TOVLog::ParseAndWriteDB(TOVLogLevel level, std::string_view msg) noexcept {
  std::shared_ptr<TOVLogDBCallback> cb;
  {
    TOVLockGuard g(cb_lock_);
    cb = db_callback_;
  }
  if (!cb) return;
  try {
    TOVLogParts p = SplitLogMessage(msg);
    (*cb)(LogLevelDBText(level), p.source, p.category, p.text);
  } catch (...) {
    // The line is already on the console and in the file.
  }
}

void LogMessage(TOVLogLevel level, std::string_view msg) noexcept {
  if (auto log = Log.Get()) log->DoLog(level, msg);
}

bool LogWouldWrite(TOVLogLevel level) noexcept {
  auto log = Log.Get();
  return log && level >= log->MinLevel();
}

void ConsoleWrite(std::string_view text) noexcept { WriteAll(STDOUT_FILENO, text); }
void ConsoleWriteErr(std::string_view text) noexcept { WriteAll(STDERR_FILENO, text); }

// ---- start-up and shutdown ----

void StartupLog() {
  auto config = Config.Get();
  if (!config) throw ServiceUnavailable("Config not available");
  auto log = std::make_unique<TOVLog>(config->LogFile(), true);
  log->SetMinLevel(LogLevelFromConfig(config->LogLevel()));
  Log.Publish(std::move(log));
  LogInfo("%s starting in console mode", kServerNameVersion);
}

void ShutdownLog(const TOVStepFn&) {
  LogInfo("Server stopped.");
  Log.Free();
}

}  // namespace ov
