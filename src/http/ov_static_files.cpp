#include "ov_static_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <stdexcept>

#include "ov_consts.h"
#include "ov_format.h"
#include "ov_json_reply.h"
#include "ov_server_state.h"

namespace ov {

namespace {

std::string ResolveRoot(const std::string& configured) {
  std::error_code ec;
  if (std::filesystem::is_directory(configured, ec)) return configured;
  return ExecutableDir() + configured;
}

void ReplaceAll(std::string& s, std::string_view from, std::string_view to) {
  std::size_t pos = 0;
  while ((pos = s.find(from, pos)) != std::string::npos) {
    s.replace(pos, from.size(), to);
    pos += to.size();
  }
}

bool HasHtmlExtension(const std::string& name) {
  std::size_t slash = name.rfind('/');
  std::size_t dot = name.rfind('.');
  return dot != std::string::npos && (slash == std::string::npos || dot > slash) &&
         EqualsIgnoreCase(std::string_view(name).substr(dot), ".html");
}

// The whole file behind fd (a regular file); closes fd.  Throws on a read error.
std::string ReadWholeFile(int fd, const std::string& name, std::size_t size_hint) {
  std::string text;
  text.reserve(size_hint);
  char buf[16384];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n < 0) {
      int err = errno;
      ::close(fd);
      throw std::runtime_error(Format("cannot read %s: %s", name, std::strerror(err)));
    }
    if (n == 0) break;
    text.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return text;
}

// A component of the path below root (both normalised) is hidden or temporary.
bool HasPrivateName(const std::string& root, const std::string& path) {
  if (path.size() <= root.size()) return false;
  std::string_view rest = std::string_view(path).substr(root == "/" ? 1 : root.size() + 1);
  while (!rest.empty()) {
    const std::size_t slash = rest.find('/');
    const std::string_view part = rest.substr(0, slash);
    if ((!part.empty() && part.front() == '.') || IsTemporaryFileName(part)) return true;
    if (slash == std::string_view::npos) break;
    rest.remove_prefix(slash + 1);
  }
  return false;
}

}  // namespace

bool IsTemporaryFileName(std::string_view name) noexcept {
  constexpr std::string_view kMark = ".new.";
  constexpr std::size_t kRandom = 6;  // mkstemp's XXXXXX
  if (name.size() < kMark.size() + kRandom + 1) return false;
  if (name.substr(name.size() - kRandom - kMark.size(), kMark.size()) != kMark) return false;
  for (char c : name.substr(name.size() - kRandom))
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return false;
  return true;
}

std::string NormalisePath(const std::string& path) {
  std::filesystem::path p(path);
  std::error_code ec;
  if (p.is_relative()) {
    auto abs = std::filesystem::absolute(p, ec);
    if (!ec) p = abs;
  }
  std::string s = p.lexically_normal().string();
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

bool IsInsideRoot(const std::string& root, const std::string& path) noexcept {
  if (root.empty() || path.empty()) return false;
  if (path == root) return true;
  if (root == "/") return path.front() == '/';
  return path.size() > root.size() && path.compare(0, root.size(), root) == 0 && path[root.size()] == '/';
}

std::string MimeTypeFor(std::string_view file_name) {
  std::size_t slash = file_name.rfind('/');
  std::string_view base = slash == std::string_view::npos ? file_name : file_name.substr(slash + 1);
  std::size_t dot = base.rfind('.');
  if (dot == std::string_view::npos) return "application/octet-stream";
  std::string ext = ToLowerAscii(base.substr(dot));
  static const std::map<std::string, const char*, std::less<>> kTypes = {
      {".html", "text/html; charset=utf-8"},
      {".htm", "text/html; charset=utf-8"},
      {".css", "text/css; charset=utf-8"},
      {".js", "application/javascript; charset=utf-8"},
      {".json", "application/json; charset=utf-8"},
      {".png", "image/png"},
      {".jpg", "image/jpeg"},
      {".jpeg", "image/jpeg"},
      {".gif", "image/gif"},
      {".svg", "image/svg+xml"},
      {".ico", "image/x-icon"},
      {".woff", "font/woff"},
      {".woff2", "font/woff2"},
      {".ttf", "font/ttf"},
      {".txt", "text/plain; charset=utf-8"},
  };
  auto it = kTypes.find(ext);
  return it == kTypes.end() ? "application/octet-stream" : it->second;
}

TOVStaticFiles::TOVStaticFiles(const std::string& web_root, const std::string& plugin_root)
    : web_root_(ResolveRoot(web_root)),
      plugin_root_(ResolveRoot(plugin_root)),
      web_root_abs_(NormalisePath(web_root_)),
      plugin_root_abs_(NormalisePath(plugin_root_)) {}

void TOVStaticFiles::ServeWebFile(const TOVHttpRequest& req, const std::string& path, TOVHttpResponse& resp) const {
  ServeFile(req, web_root_abs_, web_root_ + path, "File not found", false, resp);
}

void TOVStaticFiles::ServePluginFile(const TOVHttpRequest& req, const std::string& rel_path,
                                     TOVHttpResponse& resp) const {
  // A file being installed, and the loader's hidden copies, are nobody's to download.
  ServeFile(req, plugin_root_abs_, plugin_root_ + "/" + rel_path, "Plugin file not found", true, resp);
}

void TOVStaticFiles::ServeFile(const TOVHttpRequest& req, const std::string& root_abs, const std::string& full,
                               const char* not_found, bool private_names, TOVHttpResponse& resp) {
  const std::string name = NormalisePath(full);
  if (!IsInsideRoot(root_abs, name)) {
    TOVJsonReply::SendError(resp, 403, "Forbidden");
    return;
  }
  if (private_names && HasPrivateName(root_abs, name)) {
    TOVJsonReply::SendError(resp, 404, not_found);
    return;
  }
  // Non-blocking open: a FIFO placed in the tree must not hang the thread.
  int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR || errno == ENAMETOOLONG || errno == ELOOP) {
      TOVJsonReply::SendError(resp, 404, not_found);
      return;
    }
    if (errno == EMFILE || errno == ENFILE) {
      // Out of descriptors for a moment: the client may try again, as at the door.
      TOVJsonReply::SendError(resp, 503, "Server busy");
      resp.SetHeader("Retry-After", "5");
      return;
    }
    throw std::runtime_error(Format("cannot open %s: %s", name, std::strerror(errno)));
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    TOVJsonReply::SendError(resp, 404, not_found);
    return;
  }
  if (HasHtmlExtension(name)) {
    std::string text = ReadWholeFile(fd, name, static_cast<std::size_t>(st.st_size));
    ReplaceAll(text, "{{VERSION}}", kVersion);
    ReplaceAll(text, "{{BUILD_ID}}", GetServerBuildId());
    resp.status = 200;
    resp.SetHeader("Content-Type", MimeTypeFor(name));
    resp.SetHeader("Cache-Control", "no-cache, must-revalidate");
    resp.body = std::move(text);
    resp.file.reset();
    return;
  }
  // The connection sends from this very descriptor: the file is opened once per answer.
  auto file = std::make_shared<const TOVBodyFile>(fd, static_cast<std::uint64_t>(st.st_size));
  resp.status = 200;
  resp.SetHeader("Content-Type", MimeTypeFor(name));
  resp.SetHeader("Cache-Control", req.query.find("v=") != std::string::npos ? "public, max-age=31536000, immutable"
                                                                            : "public, max-age=300");
  resp.body.clear();
  resp.file = std::move(file);
}

}  // namespace ov
