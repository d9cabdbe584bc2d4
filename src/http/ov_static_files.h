// Files served from the web root and the plug-in directory: the root check, MIME types,
// cache headers and the page templates ({{VERSION}}, {{BUILD_ID}} in .html files).
//
// A handler only decides what to send: an HTML page is read and templated into the body,
// any other file is opened once and handed over in TOVHttpResponse::file, and the connection
// sends it from that descriptor.
#pragma once

#include <string>
#include <string_view>

#include "ov_http_types.h"

namespace ov {

// "." and ".." resolved lexically on the absolute form; no trailing "/" (except "/").
std::string NormalisePath(const std::string& path);
// True when path is root itself or lies below it (both normalised).
bool IsInsideRoot(const std::string& normalised_root, const std::string& normalised_path) noexcept;
// True for the name of a file still being written: "<name>.new.XXXXXX" (the temporary a file
// is copied to, and flushed, before it is renamed into place).
bool IsTemporaryFileName(std::string_view file_name) noexcept;
// The Content-Type for a file name, by its extension (any letter case);
// "application/octet-stream" for anything unknown.
std::string MimeTypeFor(std::string_view file_name);

// The two directories files are served from.  Constant after construction, so any thread
// may use it without a lock.
class TOVStaticFiles {
 public:
  // Roots as configured: a directory that exists as given is used as given, otherwise it is
  // taken relative to the executable's directory.
  TOVStaticFiles(const std::string& web_root, const std::string& plugin_root);

  // As resolved (logged and reported).
  const std::string& WebRoot() const noexcept { return web_root_; }
  const std::string& PluginRoot() const noexcept { return plugin_root_; }

  // path: the decoded request path, beginning with "/".  403 outside the root, 404 "File not
  // found" for anything but a regular file.  Throws when an existing file cannot be read.
  void ServeWebFile(const TOVHttpRequest& req, const std::string& path, TOVHttpResponse& resp) const;
  // rel_path: relative to the plug-in directory; 404 "Plugin file not found", also for a
  // hidden name (a leading ".") or a temporary one anywhere below the plug-in directory.
  void ServePluginFile(const TOVHttpRequest& req, const std::string& rel_path, TOVHttpResponse& resp) const;

 private:
  // private_names: hidden and temporary names below the root are not found.
  static void ServeFile(const TOVHttpRequest& req, const std::string& root_abs, const std::string& full,
                        const char* not_found, bool private_names, TOVHttpResponse& resp);

  std::string web_root_;
  std::string plugin_root_;
  std::string web_root_abs_;  // normalised absolute forms for the root check
  std::string plugin_root_abs_;
};

}  // namespace ov
