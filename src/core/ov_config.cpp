#include "ov_config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <stdexcept>

#include "ov_log.h"
#include "ov_server_state.h"
#include "ov_text.h"

namespace ov {

TOVService<TOVConfig> Config{"Config"};

namespace {

std::string_view TrimView(std::string_view s) {
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

// Writes content to path through a temporary file in the same directory, so a reader (or a
// crash) never sees a half-written file; the file then has the given mode.  Returns the mode
// the file had before (nullopt when there was none).
std::optional<mode_t> WriteFileAtomically(const std::string& path, const std::string& content, mode_t mode) {
  namespace fs = std::filesystem;
  fs::path p(path);
  fs::path dir = p.parent_path();
  if (dir.empty()) dir = ".";
  std::string tmpl = (dir / (p.filename().string() + ".tmpXXXXXX")).string();
  std::vector<char> name(tmpl.begin(), tmpl.end());
  name.push_back('\0');
  int fd = ::mkstemp(name.data());
  if (fd < 0) throw std::runtime_error("Cannot create temporary file for " + path + ": " + std::strerror(errno));
  std::string tmp(name.data());
  auto fail = [&](const char* what) {
    int e = errno;
    ::close(fd);
    ::unlink(tmp.c_str());
    throw std::runtime_error(std::string(what) + " " + path + ": " + std::strerror(e));
  };
  struct stat st;
  const std::optional<mode_t> before =
      ::stat(path.c_str(), &st) == 0 ? std::optional<mode_t>(st.st_mode & 07777) : std::nullopt;
  if (::fchmod(fd, mode) != 0) fail("Cannot set mode of");
  std::string_view rest = content;
  while (!rest.empty()) {
    ssize_t n = ::write(fd, rest.data(), rest.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      fail("Cannot write");
    }
    rest.remove_prefix(static_cast<std::size_t>(n));
  }
  if (::fsync(fd) != 0) fail("Cannot flush");
  if (::close(fd) != 0) {
    ::unlink(tmp.c_str());
    throw std::runtime_error("Cannot close " + tmp);
  }
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    int e = errno;
    ::unlink(tmp.c_str());
    throw std::runtime_error("Cannot replace " + path + ": " + std::strerror(e));
  }
  return before;
}

}  // namespace

// ---- INI document ---------------------------------------------------------------------------

TOVIniFile TOVIniFile::Parse(std::string_view text) {
  TOVIniFile ini;
  ini.sections_.push_back(Section{});  // lines before the first header
  while (!text.empty()) {
    std::size_t nl = text.find('\n');
    std::string_view raw = text.substr(0, nl);
    text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
    if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
    std::string_view t = TrimView(raw);
    if (t.size() >= 2 && t.front() == '[' && t.back() == ']') {
      Section s;
      s.name = std::string(TrimView(t.substr(1, t.size() - 2)));
      s.has_header = true;
      s.header_raw = std::string(raw);
      ini.sections_.push_back(std::move(s));
      continue;
    }
    Line line;
    line.raw = std::string(raw);
    if (!t.empty() && t.front() != ';' && t.front() != '#') {
      std::size_t eq = t.find('=');
      if (eq != std::string_view::npos && eq > 0) {
        line.is_key = true;
        line.key = std::string(TrimView(t.substr(0, eq)));
        line.value = std::string(TrimView(t.substr(eq + 1)));
      }
    }
    ini.sections_.back().lines.push_back(std::move(line));
  }
  return ini;
}

std::string TOVIniFile::Text() const {
  std::string out;
  for (const auto& s : sections_) {
    if (s.has_header) out += s.header_raw + "\n";
    for (const auto& l : s.lines) {
      if (l.is_key && l.dirty) out += l.key + "=" + l.value + "\n";
      else out += l.raw + "\n";
    }
  }
  return out;
}

TOVIniFile::Section* TOVIniFile::FindSection(std::string_view name) {
  for (auto& s : sections_)
    if (s.has_header && EqualsIgnoreCase(s.name, name)) return &s;
  return nullptr;
}

const TOVIniFile::Section* TOVIniFile::FindSection(std::string_view name) const {
  for (const auto& s : sections_)
    if (s.has_header && EqualsIgnoreCase(s.name, name)) return &s;
  return nullptr;
}

const std::string* TOVIniFile::Find(std::string_view section, std::string_view key) const {
  // A section may appear more than once; the first occurrence of the key wins.
  for (const auto& s : sections_) {
    if (!s.has_header || !EqualsIgnoreCase(s.name, section)) continue;
    for (const auto& l : s.lines)
      if (l.is_key && EqualsIgnoreCase(l.key, key)) return &l.value;
  }
  return nullptr;
}

bool TOVIniFile::HasKey(std::string_view section, std::string_view key) const { return Find(section, key) != nullptr; }

void TOVIniFile::Set(std::string_view section, std::string_view key, std::string_view value) {
  for (auto& s : sections_) {
    if (!s.has_header || !EqualsIgnoreCase(s.name, section)) continue;
    for (auto& l : s.lines) {
      if (l.is_key && EqualsIgnoreCase(l.key, key)) {
        l.value = std::string(value);
        l.dirty = true;
        return;
      }
    }
  }
  Line nl;
  nl.is_key = true;
  nl.dirty = true;
  nl.key = std::string(key);
  nl.value = std::string(value);
  if (Section* s = FindSection(section)) {
    // Insert after the section's last non-blank line so trailing blank lines stay trailing.
    std::size_t pos = s->lines.size();
    while (pos > 0 && TrimView(s->lines[pos - 1].raw).empty() && !s->lines[pos - 1].is_key) --pos;
    s->lines.insert(s->lines.begin() + static_cast<std::ptrdiff_t>(pos), std::move(nl));
    return;
  }
  // New section at the end, separated by a blank line from what precedes it.
  Section& last = sections_.back();
  bool has_content = last.has_header || !last.lines.empty();
  bool ends_blank = !last.lines.empty() && !last.lines.back().is_key && TrimView(last.lines.back().raw).empty();
  if (has_content && !ends_blank) last.lines.push_back(Line{});
  Section ns;
  ns.name = std::string(section);
  ns.has_header = true;
  ns.header_raw = "[" + std::string(section) + "]";
  ns.lines.push_back(std::move(nl));
  sections_.push_back(std::move(ns));
}

std::vector<std::string> TOVIniFile::Sections() const {
  std::vector<std::string> r;
  for (const auto& s : sections_) {
    if (!s.has_header) continue;
    bool seen = false;
    for (const auto& x : r) seen = seen || EqualsIgnoreCase(x, s.name);
    if (!seen) r.push_back(s.name);
  }
  return r;
}

std::vector<std::string> TOVIniFile::Keys(std::string_view section) const {
  std::vector<std::string> r;
  for (const auto& s : sections_) {
    if (!s.has_header || !EqualsIgnoreCase(s.name, section)) continue;
    for (const auto& l : s.lines) {
      if (!l.is_key) continue;
      bool seen = false;
      for (const auto& x : r) seen = seen || EqualsIgnoreCase(x, l.key);
      if (!seen) r.push_back(l.key);
    }
  }
  return r;
}

bool IniBool(const std::string* value, bool def) noexcept {
  if (!value || value->empty()) return def;
  return (*value)[0] == '1';
}

std::int32_t IniInt(const std::string* value, std::int32_t def) noexcept {
  if (!value || value->empty()) return def;
  std::string_view v = *value;
  bool neg = false;
  if (!v.empty() && (v.front() == '+' || v.front() == '-')) {
    neg = v.front() == '-';
    v.remove_prefix(1);
  }
  if (v.empty()) return def;
  std::int64_t r = 0;
  int base = 10;
  if (v.front() == '$') {  // hexadecimal, as the classic INI readers accept
    base = 16;
    v.remove_prefix(1);
  } else if (v.size() > 2 && v[0] == '0' && (v[1] == 'x' || v[1] == 'X')) {
    base = 16;
    v.remove_prefix(2);
  }
  // One sign only, and only in front ("--5", "+-5" and "$-5" are not numbers).
  if (v.empty() || v.front() == '+' || v.front() == '-') return def;
  auto [ptr, ec] = std::from_chars(v.data(), v.data() + v.size(), r, base);
  if (ec != std::errc() || ptr != v.data() + v.size()) return def;
  if (neg) r = -r;
  if (r < INT32_MIN || r > INT32_MAX) return def;
  return static_cast<std::int32_t>(r);
}

// ---- configuration object -------------------------------------------------------------------

std::string TOVConfig::DefaultConfigText() {
  return "[server]\n"
         "port=8080\n"
         "address=0.0.0.0\n"
         "threaded=true\n"
         "use_ssl=false\n"
         "\n"
         "[database]\n"
         "type=sqlite3\n"
         "file=data/orvanta.db\n"
         "\n"
         "[logging]\n"
         "log_type=file\n"
         "log_file=data/orvanta.log\n"
         "log_level=info\n"
         "\n"
         "[paths]\n"
         "web_root=web\n"
         "plugin_dir=plugins\n"
         "data_dir=data\n"
         "scripts_dir=scripts\n"
         "\n"
         "[security]\n"
         "jwt_secret=\n"
         "jwt_expiry_seconds=86400\n"
         "max_connections_per_ip=20\n"
         "rate_limit_per_minute=120\n"
         "login_lockout_attempts=3\n"
         "login_lockout_minutes=5\n"
         "ip_ban_threshold=10\n"
         "ip_ban_duration_minutes=30\n"
         "connection_timeout=30\n"
         "trusted_proxies=\n"
         "\n"
         "[ssl]\n"
         "cert_file=data/cert.pem\n"
         "key_file=data/key.pem\n"
         "\n"
         "[plugins]\n"
         "enabled=1\n"
         "lua_enabled=1\n"
         "auto_load=false\n"
         "\n"
         "[discovery]\n"
         "enabled=0\n"
         "port=10088\n"
         "interval=10\n"
         "key=\n";
}

void TOVConfig::CreateDefaultConfig(const std::string& path) {
  std::filesystem::path p(path);
  if (p.has_parent_path()) std::filesystem::create_directories(p.parent_path());
  // The file will hold the token secret: readable by the owner only.
  WriteFileAtomically(path, DefaultConfigText(), 0600);
}

TOVConfig::FileStamp TOVConfig::Stamp(const std::string& path) {
  FileStamp f;
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return f;
  f.exists = true;
  f.sec = st.st_mtim.tv_sec;
  f.nsec = st.st_mtim.tv_nsec;
  f.size = st.st_size;
  f.inode = st.st_ino;
  return f;
}

bool TOVConfig::ReadFile(const std::string& path, std::string& out) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::string data;
  char buf[8192];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    data.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  out = std::move(data);
  return true;
}

TOVConfig::TOVConfig(const std::string& config_file) : config_file_(config_file) {
  if (!std::filesystem::exists(config_file_)) CreateDefaultConfig(config_file_);
  std::string text;
  FileStamp st = Stamp(config_file_);
  if (!ReadFile(config_file_, text))
    throw std::runtime_error("Cannot read configuration file " + config_file_ + ": " + std::strerror(errno));
  ini_ = TOVIniFile::Parse(text);
  last_ = st;
}

bool TOVConfig::HasChanged() const {
  FileStamp now = Stamp(config_file_);
  TOVLockGuard g(lock_);
  return !(now == last_);
}

bool TOVConfig::Reload() {
  FileStamp st = Stamp(config_file_);
  std::string text;
  // An editor that saves by rename may leave the file briefly missing: keep what we have.
  if (!st.exists || !ReadFile(config_file_, text)) return false;
  TOVIniFile fresh = TOVIniFile::Parse(text);
  TOVLockGuard g(lock_);
  ini_ = std::move(fresh);
  last_ = st;
  return true;
}

std::string TOVConfig::ReadString(std::string_view section, std::string_view key, std::string_view def) const {
  TOVLockGuard g(lock_);
  const std::string* v = ini_.Find(section, key);
  return v ? *v : std::string(def);
}

std::int32_t TOVConfig::ReadInteger(std::string_view section, std::string_view key, std::int32_t def) const {
  TOVLockGuard g(lock_);
  return IniInt(ini_.Find(section, key), def);
}

bool TOVConfig::ReadBool(std::string_view section, std::string_view key, bool def) const {
  TOVLockGuard g(lock_);
  return IniBool(ini_.Find(section, key), def);
}

bool TOVConfig::HasKey(std::string_view section, std::string_view key) const {
  TOVLockGuard g(lock_);
  return ini_.HasKey(section, key);
}

void TOVConfig::WriteString(std::string_view section, std::string_view key, std::string_view value) {
  // Whatever is written must read back as this one value of this one key: a line break would
  // start a line of its own (a forged key or section), and the name characters below would
  // end the name early or turn the line into a header or comment.
  auto has_break = [](std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; };
  std::string_view tkey = TrimView(key), tsection = TrimView(section);
  if (tsection.empty() || has_break(section) || section.find(']') != std::string_view::npos)
    throw std::invalid_argument("Invalid configuration section name: " + std::string(section));
  if (tkey.empty() || has_break(key) || key.find('=') != std::string_view::npos || tkey.front() == '[' ||
      tkey.front() == ';' || tkey.front() == '#')
    throw std::invalid_argument("Invalid configuration key name: " + std::string(key));
  if (has_break(value)) throw std::invalid_argument("Configuration value for " + std::string(key) + " holds a line break");
  std::optional<mode_t> before;
  {
    TOVLockGuard g(lock_);
    TOVIniFile next = ini_;
    next.Set(section, key, value);
    // The server writes this file to keep the token secret in it: whatever the file allowed
    // before, it is now readable by its owner only.
    before = WriteFileAtomically(config_file_, next.Text(), 0600);
    ini_ = std::move(next);
    last_ = Stamp(config_file_);
  }
  if (before && (*before & 077) != 0) {
    char mode[16];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(*before));
    LogWarning("Configuration file %s holds the token secret: its mode was %s, now 0600 (readable by its owner only)",
               config_file_, mode);
  }
}

std::string TOVConfig::SecurityGateMode() const {
  std::string v = ToLowerAscii(TrimAscii(ReadString("security", "security_gate_mode", "enforce")));
  if (v == "enforce" || v == "log" || v == "off") return v;
  return "enforce";
}

std::int64_t TOVConfig::MaxBodyBytes() const {
  std::int64_t mb = ReadInteger("server", "max_body_mb", 100);
  if (mb < 1) mb = 100;
  if (mb > 1024 * 1024) mb = 1024 * 1024;  // 1 TiB: anything larger means "no practical cap"
  return mb * 1024 * 1024;
}

// ---- start-up and shutdown ----

void StartupConfig() {
  auto config = std::make_unique<TOVConfig>(GetConfigFileName());
  std::filesystem::create_directories(config->DataDir());
  Config.Publish(std::move(config));
}

void ShutdownConfig(const TOVStepFn&) { Config.Free(); }

}  // namespace ov
