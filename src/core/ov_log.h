// The process log: console and file lines, level filter, and the hand-over of every line to a
// database callback (source and category split off the bracketed tags at the start).
#pragma once

#include <atomic>
#include <exception>
#include <cstdint>
#include <memory>
#include <functional>
#include <string>
#include <string_view>

#include "ov_format.h"
#include "ov_locks.h"
#include "ov_service.h"

namespace ov {

enum TOVLogLevel : std::uint8_t { llDebug = 0, llInfo = 1, llWarning = 2, llError = 3 };

// Receives level text ("debug", "info", "warning", "error"), source, category and text.
using TOVLogDBCallback =
    std::function<void(const std::string& level, const std::string& source,
                       const std::string& category, const std::string& message)>;

const char* LogLevelConsoleText(TOVLogLevel l) noexcept;  // "DEBUG", "INFO", "WARN", "ERROR"
const char* LogLevelFileText(TOVLogLevel l) noexcept;     // "Debug", "Info", "Warning", "Error"
const char* LogLevelDBText(TOVLogLevel l) noexcept;       // "debug", "info", "warning", "error"
// "debug", "info", "warn", "error" compared exactly; anything else is llInfo.
TOVLogLevel LogLevelFromConfig(std::string_view text) noexcept;

// Splits "[source] [category] text" as stored in the database.
struct TOVLogParts {
  std::string source = "system";
  std::string category = "general";
  std::string text;
};
TOVLogParts SplitLogMessage(std::string_view msg);

// The readable class name of an exception for log lines ("std::runtime_error").
std::string ExceptionClassName(const std::exception& e);

// Escapes control characters so one message is always one line.
std::string EscapeLogText(std::string_view msg);

class TOVLog {
 public:
  // Opens (creates) the log file for appending; an empty name means no file.
  TOVLog(const std::string& log_file, bool console_output);
  ~TOVLog();
  TOVLog(const TOVLog&) = delete;
  TOVLog& operator=(const TOVLog&) = delete;

  TOVLogLevel MinLevel() const noexcept { return min_level_.load(); }
  void SetMinLevel(TOVLogLevel l) noexcept { min_level_.store(l); }
  bool ConsoleOutput() const noexcept { return console_.load(); }
  void SetConsoleOutput(bool on) noexcept { console_.store(on); }
  // Installed once the database is open; cleared before it is freed.
  void SetDBCallback(TOVLogDBCallback cb) EXCLUDES(cb_lock_);
  const std::string& FileName() const noexcept { return file_name_; }

  // Any thread, under any lock: the log's own locks are leaves and the database callback runs
  // without them.
  void DoLog(TOVLogLevel level, std::string_view msg) noexcept EXCLUDES(write_lock_, cb_lock_);

  void Debug(std::string_view msg) noexcept { DoLog(llDebug, msg); }
  void Info(std::string_view msg) noexcept { DoLog(llInfo, msg); }
  void Warning(std::string_view msg) noexcept { DoLog(llWarning, msg); }
  void Error(std::string_view msg) noexcept { DoLog(llError, msg); }
  template <class A, class... R>
  void Debug(std::string_view fmt, const A& a, const R&... r) noexcept {
    if (llDebug >= MinLevel()) DoLog(llDebug, Format(fmt, a, r...));
  }
  template <class A, class... R>
  void Info(std::string_view fmt, const A& a, const R&... r) noexcept { DoLog(llInfo, Format(fmt, a, r...)); }
  template <class A, class... R>
  void Warning(std::string_view fmt, const A& a, const R&... r) noexcept { DoLog(llWarning, Format(fmt, a, r...)); }
  template <class A, class... R>
  void Error(std::string_view fmt, const A& a, const R&... r) noexcept { DoLog(llError, Format(fmt, a, r...)); }

 private:
  void ParseAndWriteDB(TOVLogLevel level, std::string_view msg) noexcept EXCLUDES(cb_lock_);

  // ---- Constant after construction ----
  const std::string file_name_;
  int fd_ = -1;

  // ---- Atomics ----
  std::atomic<TOVLogLevel> min_level_{llInfo};
  std::atomic<bool> console_{false};

  // Serialises the console and file writes, so lines never interleave (a leaf).
  TOVLock write_lock_{LockLevel::Leaf};

  // ---- Guarded by cb_lock_ (a leaf: the callback is copied out and called without it) ----
  TOVLock cb_lock_{LockLevel::Leaf};
  std::shared_ptr<TOVLogDBCallback> db_callback_ GUARDED_BY(cb_lock_);
};

extern TOVService<TOVLog> Log;

// Start-up and shutdown of the global log (rows of the daemon's service table).  Start-up opens
// [logging] log_file with console output at [logging] log_level and logs "%s starting in console
// mode"; shutdown logs "Server stopped." as the last line and frees the log.
void StartupLog();
void ShutdownLog(const TOVStepFn& step);

// Log through the global log when it exists; a no-op otherwise.
void LogMessage(TOVLogLevel level, std::string_view msg) noexcept;
inline void LogDebug(std::string_view msg) noexcept { LogMessage(llDebug, msg); }
inline void LogInfo(std::string_view msg) noexcept { LogMessage(llInfo, msg); }
inline void LogWarning(std::string_view msg) noexcept { LogMessage(llWarning, msg); }
inline void LogError(std::string_view msg) noexcept { LogMessage(llError, msg); }
bool LogWouldWrite(TOVLogLevel level) noexcept;
// Writes text to standard output / standard error with one write() per call, so console
// lines from the log and from the console code never interleave within a line.
void ConsoleWrite(std::string_view text) noexcept;
void ConsoleWriteErr(std::string_view text) noexcept;
template <class A, class... R>
void LogDebug(std::string_view fmt, const A& a, const R&... r) noexcept {
  if (LogWouldWrite(llDebug)) LogMessage(llDebug, Format(fmt, a, r...));
}
template <class A, class... R>
void LogInfo(std::string_view fmt, const A& a, const R&... r) noexcept { LogMessage(llInfo, Format(fmt, a, r...)); }
template <class A, class... R>
void LogWarning(std::string_view fmt, const A& a, const R&... r) noexcept { LogMessage(llWarning, Format(fmt, a, r...)); }
template <class A, class... R>
void LogError(std::string_view fmt, const A& a, const R&... r) noexcept { LogMessage(llError, Format(fmt, a, r...)); }

}  // namespace ov
