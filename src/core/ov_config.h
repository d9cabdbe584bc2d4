// The configuration object over one INI file, with typed getters and built-in defaults.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ov_locks.h"
#include "ov_service.h"

namespace ov {

// An INI document that keeps the file as written: comments, blank lines, order, and values
// exactly as written (quotes included).  Section and key names compare ignoring ASCII case;
// the first occurrence of a duplicate key or section wins.
class TOVIniFile {
 public:
  TOVIniFile() = default;
  static TOVIniFile Parse(std::string_view text);
  std::string Text() const;

  bool HasKey(std::string_view section, std::string_view key) const;
  // Value as written, or nullptr when the section or key is missing.
  const std::string* Find(std::string_view section, std::string_view key) const;
  void Set(std::string_view section, std::string_view key, std::string_view value);
  std::vector<std::string> Sections() const;
  std::vector<std::string> Keys(std::string_view section) const;

 private:
  struct Line {
    std::string raw;       // the line as read (used for comments, blanks, headers)
    std::string key;       // key lines only
    std::string value;     // key lines only
    bool is_key = false;
    bool dirty = false;    // written back as key=value
  };
  struct Section {
    std::string name;      // empty for lines before the first header
    std::vector<Line> lines;
    bool has_header = false;
    std::string header_raw;
  };
  Section* FindSection(std::string_view name);
  const Section* FindSection(std::string_view name) const;
  std::vector<Section> sections_;
};

// Boolean rule: missing or empty gives the default; otherwise true exactly when the first
// character is "1".
bool IniBool(const std::string* value, bool def) noexcept;
// Integer rule: missing, empty or not a 32-bit number gives the default.
std::int32_t IniInt(const std::string* value, std::int32_t def) noexcept;

class TOVConfig {
 public:
  // Writes the default file when the path does not exist; throws on file-system errors.
  explicit TOVConfig(const std::string& config_file);
  TOVConfig(const TOVConfig&) = delete;
  TOVConfig& operator=(const TOVConfig&) = delete;

  const std::string& ConfigFile() const noexcept { return config_file_; }
  static void CreateDefaultConfig(const std::string& path);
  static std::string DefaultConfigText();

  bool HasChanged() const EXCLUDES(lock_);
  // Re-reads the file; a file that is missing or unreadable keeps the current content and
  // returns false (the next check tries again).
  bool Reload() EXCLUDES(lock_);

  std::string ReadString(std::string_view section, std::string_view key, std::string_view def) const EXCLUDES(lock_);
  std::int32_t ReadInteger(std::string_view section, std::string_view key, std::int32_t def) const EXCLUDES(lock_);
  bool ReadBool(std::string_view section, std::string_view key, bool def) const EXCLUDES(lock_);
  bool HasKey(std::string_view section, std::string_view key) const EXCLUDES(lock_);
  // Writes the whole file at once through a temporary file renamed over it, readable by its
  // owner only (0600: the file holds the token secret); when it allowed group or others more,
  // logs a warning that names the file.  A section or key name that could not be read back as
  // such, or a value with a line break, throws std::invalid_argument and writes nothing.
  void WriteString(std::string_view section, std::string_view key, std::string_view value) EXCLUDES(lock_);

  std::int32_t ServerPort() const { return ReadInteger("server", "port", 8080); }
  std::string ServerAddress() const { return ReadString("server", "address", "0.0.0.0"); }
  bool ServerUseSSL() const { return ReadBool("server", "use_ssl", false); }
  std::string DatabaseType() const { return ReadString("database", "type", "sqlite3"); }
  std::string DatabaseFile() const { return ReadString("database", "file", "data/orvanta.db"); }
  std::string DatabaseHost() const { return ReadString("database", "host", "localhost"); }
  std::int32_t DatabasePort() const { return ReadInteger("database", "port", 0); }
  std::string DatabaseName() const { return ReadString("database", "name", "orvanta"); }
  std::string DatabaseUsername() const { return ReadString("database", "username", ""); }
  std::string DatabasePassword() const { return ReadString("database", "password", ""); }
  bool DatabaseUseSSL() const { return ReadInteger("database", "use_ssl", 0) == 1; }
  std::string LogFile() const { return ReadString("logging", "log_file", "data/orvanta.log"); }
  std::string LogLevel() const { return ReadString("logging", "log_level", "info"); }
  std::string WebRoot() const { return ReadString("paths", "web_root", "web"); }
  std::string PluginDir() const { return ReadString("paths", "plugin_dir", "plugins"); }
  std::string DataDir() const { return ReadString("paths", "data_dir", "data"); }
  std::string ScriptsDir() const { return ReadString("paths", "scripts_dir", "scripts"); }
  std::string JWTSecret() const { return ReadString("security", "jwt_secret", ""); }
  std::int32_t JWTExpirySeconds() const { return ReadInteger("security", "jwt_expiry_seconds", 86400); }
  std::int32_t MaxConnectionsPerIP() const { return ReadInteger("security", "max_connections_per_ip", 20); }
  std::int32_t RateLimitPerMinute() const { return ReadInteger("security", "rate_limit_per_minute", 120); }
  std::int32_t LoginLockoutAttempts() const { return ReadInteger("security", "login_lockout_attempts", 3); }
  std::int32_t LoginLockoutMinutes() const { return ReadInteger("security", "login_lockout_minutes", 5); }
  std::int32_t IPBanThreshold() const { return ReadInteger("security", "ip_ban_threshold", 10); }
  std::int32_t IPBanDurationMinutes() const { return ReadInteger("security", "ip_ban_duration_minutes", 30); }
  std::int32_t ConnectionTimeout() const { return ReadInteger("security", "connection_timeout", 30); }
  std::string TrustedProxies() const { return ReadString("security", "trusted_proxies", ""); }
  // "enforce", "log" or "off" (trimmed, lower-cased); anything else is "enforce".
  std::string SecurityGateMode() const;
  bool TelnetEnabled() const { return ReadBool("telnet", "enabled", true); }
  std::int32_t TelnetPort() const { return ReadInteger("telnet", "port", 2323); }
  std::string TelnetAddress() const { return ReadString("telnet", "address", "0.0.0.0"); }
  std::int32_t TelnetMaxNodes() const { return ReadInteger("telnet", "max_nodes", 10); }
  std::int32_t TelnetIdleTimeout() const { return ReadInteger("telnet", "idle_timeout", 300); }
  bool TelnetAllowNewUsers() const { return ReadBool("telnet", "allow_new_users", true); }
  std::int32_t VModemAutoAnswerRings() const { return ReadInteger("vmodem", "auto_answer_rings", 1); }
  std::string VModemConnectString() const {
    return ReadString("vmodem", "connect_string", "CONNECT 115200/ARQ/V.34/LAPM/V.42BIS");
  }
  bool VModemCallerID() const { return ReadBool("vmodem", "caller_id", true); }
  bool PluginsEnabled() const { return ReadBool("plugins", "enabled", true); }
  bool LuaEnabled() const { return ReadBool("plugins", "lua_enabled", true); }
  bool PluginAutoLoad() const { return ReadBool("plugins", "auto_load", false); }
  // Upper bound of a request body, in bytes ([server] max_body_mb, default 100 MiB).
  std::int64_t MaxBodyBytes() const;

 private:
  struct FileStamp {
    bool exists = false;
    std::int64_t sec = 0;
    std::int64_t nsec = 0;
    std::int64_t size = 0;
    std::uint64_t inode = 0;
    bool operator==(const FileStamp&) const = default;
  };
  static FileStamp Stamp(const std::string& path);
  static bool ReadFile(const std::string& path, std::string& out);

  // ---- Constant after construction ----
  const std::string config_file_;

  // ---- Guarded by lock_ (a leaf: held around the document and the file write only) ----
  mutable TOVLock lock_{LockLevel::Leaf};
  TOVIniFile ini_ GUARDED_BY(lock_);
  FileStamp last_ GUARDED_BY(lock_);
};

extern TOVService<TOVConfig> Config;

// Start-up and shutdown of the global configuration (rows of the daemon's service table): the
// file named on the command line (written with the defaults when missing), and the data
// directory with all missing parents.
void StartupConfig();
void ShutdownConfig(const TOVStepFn& step);

}  // namespace ov
