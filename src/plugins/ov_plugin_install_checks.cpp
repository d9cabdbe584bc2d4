#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <system_error>

#include "ov_archiver.h"
#include "ov_database.h"
#include "ov_format.h"
#include "ov_log.h"
#include "ov_plugin_install_parts.h"
#include "ov_plugin_installer.h"
#include "ov_plugin_manager.h"
#include "ov_text.h"

namespace ov {

namespace fs = std::filesystem;

namespace {

// A text member at a path of nested objects ("" when any step is missing or not an object).
std::string NestedStr(const TJSON& o, std::initializer_list<const char*> path) {
  const TJSON* cur = &o;
  const char* last = nullptr;
  for (const char* key : path) {
    if (last) {
      const auto it = cur->find(last);
      if (it == cur->end() || !it->is_object()) return {};
      cur = &*it;
    }
    last = key;
  }
  return JStr(*cur, last);
}

}  // namespace

/* ---- manifests ---------------------------------------------------------------------------- */

std::vector<std::string> ManifestDependencies(const TJSON& m) {
  std::vector<std::string> out;
  const auto deps = m.find("dependencies");
  if (deps == m.end()) return out;
  const TJSON* list = &*deps;
  if (deps->is_object()) {
    const auto plugins = deps->find("plugins");
    if (plugins == deps->end()) return out;
    list = &*plugins;
  }
  if (!list->is_array()) return out;
  for (const TJSON& d : *list)
    if (d.is_string()) out.push_back(d.get<std::string>());
  return out;
}

std::string FindLibrary(const fs::path& dir) {
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec)) {
    const std::string n = e.path().filename().string();
    if (n.size() >= 6 && n.compare(0, 3, "lib") == 0 && n.compare(n.size() - 3, 3, ".so") == 0 && IsFile(e.path()))
      return n;
  }
  return {};
}

std::string DeclaredLibrary(const TJSON& manifest, const std::string& name) {
  std::string b = NestedStr(manifest, {"platforms", kPlatform, "binary"});
  if (b.empty()) b = NestedStr(manifest, {"binaries", kPlatform});
  if (b.empty()) b = NestedStr(manifest, {"files", "binary"});
  if (b.empty()) b = "lib" + name + ".so";
  return b;
}

/* ---- installed plug-ins ------------------------------------------------------------------- */

std::vector<TManifestEntry> InstalledManifests(const fs::path& t) {
  std::vector<TManifestEntry> out;
  std::error_code ec;
  for (const auto& d : fs::directory_iterator(t, ec)) {
    if (!IsDir(d.path())) continue;
    std::string why;
    const std::optional<std::string> text = ReadTextFile(d.path() / kManifest, why);
    const std::optional<TJSON> m = text ? ParseJson(*text) : std::nullopt;
    if (!m || !m->is_object()) continue;
    const std::string name = JStr(*m, "name", d.path().filename().string());
    out.push_back({name, DeclaredLibrary(*m, name)});
  }
  return out;
}

std::vector<std::string> PluginFolders(const fs::path& t) {
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto& d : fs::directory_iterator(t, ec))
    if (IsDir(d.path())) out.push_back(d.path().filename().string());
  return out;
}

bool SamePath(const fs::path& a, const fs::path& b) {
  std::error_code ea, eb;
  const fs::path ca = fs::weakly_canonical(a, ea), cb = fs::weakly_canonical(b, eb);
  return !ea && !eb && ca == cb;
}

fs::path LoadedLibraryIn(const TOVPluginManager& mgr, const std::string& name, const fs::path& dir) {
  const fs::path loaded = mgr.GetPluginLibPath(name);
  return !loaded.empty() && SamePath(loaded.parent_path(), dir) ? loaded : fs::path();
}

std::optional<TOVBaseLoadedPlugin> LoadedFrom(const TOVPluginManager& mgr, const fs::path& lib) {
  for (int i = 0, n = mgr.GetPluginCount(); i < n; ++i) {
    std::optional<TOVBaseLoadedPlugin> e = mgr.GetPluginIndex(i);
    if (e && !e->LibPath.empty() && SamePath(e->LibPath, lib)) return e;
  }
  return std::nullopt;
}

/* ---- checksums ---------------------------------------------------------------------------- */

std::vector<TOVChecksumLine> ParseChecksumList(std::string_view text) {
  std::vector<TOVChecksumLine> out;
  std::size_t p = 0;
  while (p < text.size()) {
    std::size_t e = text.find('\n', p);
    if (e == std::string_view::npos) e = text.size();
    const std::string line = TrimAscii(text.substr(p, e - p));
    p = e + 1;
    // A digest has 64 characters: a line whose first space comes earlier is not a checksum line.
    const std::size_t space = line.find(' ');
    if (line.empty() || space == std::string::npos || space < 63) continue;
    TOVChecksumLine l{ToLowerAscii(std::string_view(line).substr(0, space)), TrimAscii(std::string_view(line).substr(space + 1))};
    if (!l.file.empty() && (l.file[0] == '*' || l.file[0] == '.')) l.file.erase(0, 1);
    if (!l.file.empty() && l.file[0] == '/') l.file.erase(0, 1);
    out.push_back(std::move(l));
  }
  return out;
}

std::string Sha256File(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) throw std::runtime_error(ErrnoText(errno));
  FdCloser closer{fd};
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) throw std::runtime_error("SHA-256 unavailable");
  std::vector<unsigned char> buf(1 << 16);
  for (;;) {
    const ssize_t n = ::read(fd, buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw std::runtime_error(ErrnoText(errno));
    if (n == 0) break;
    EVP_DigestUpdate(ctx.get(), buf.data(), static_cast<std::size_t>(n));
  }
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_DigestFinal_ex(ctx.get(), md, &len);
  return HexEncode(md, len);
}

bool TOVPluginInstaller::VerifyChecksums(const std::string& root) {
  const fs::path list = fs::path(root) / kChecksums;
  if (!Exists(list)) {
    LogInfo("No CHECKSUMS.sha256 in package \xE2\x80\x94 skipping verification");
    return true;
  }
  std::string why;
  const std::optional<std::string> text = ReadTextFile(list, why);
  if (!text) {
    LogWarning("Cannot read CHECKSUMS.sha256: %s", why);
    return false;
  }
  for (const TOVChecksumLine& line : ParseChecksumList(*text)) {
    // Only files of the package are hashed: a name leading anywhere else is refused before
    // anything is read (a digest of an outside file must never reach the log).
    std::string rel;
    if (!NormaliseRelativePath(line.file, rel)) {
      LogWarning("Checksum file references a path outside the package: %s", line.file);
      return false;
    }
    const fs::path file = fs::path(root) / rel;
    if (!IsFile(file)) {
      LogWarning("Checksum file references missing file: %s", line.file);
      return false;
    }
    std::string actual;
    try {
      actual = Sha256File(file.string());
    } catch (const std::exception& e) {
      LogWarning("sha256sum failed for %s: %s", line.file, e.what());
      return false;
    }
    if (actual != line.digest) {
      LogError("Checksum mismatch for %s: expected %s, got %s", line.file, line.digest, actual);
      return false;
    }
  }
  LogInfo("All checksums verified for package in %s", root);
  return true;
}

std::optional<TJSON> TOVPluginInstaller::ValidateManifest(const std::string& root) {
  const fs::path file = fs::path(root) / kManifest;
  if (!Exists(file)) {
    LogWarning("No plugin.json in package");
    return std::nullopt;
  }
  std::string why;
  const std::optional<std::string> text = ReadTextFile(file, why);
  std::optional<TJSON> m = text ? ParseJson(*text) : std::nullopt;
  if (!m) {
    LogWarning("Invalid plugin.json: %s", text ? std::string("not valid JSON") : why);
    return std::nullopt;
  }
  if (!m->is_object()) {
    LogWarning("plugin.json is not a JSON object");
    return std::nullopt;
  }
  const std::int64_t api = JInt(*m, "api_version", 0);
  if (api > kInstallerApiVersion) {
    LogWarning("Plugin requires API version %d, server supports %d", api, kInstallerApiVersion);
    return std::nullopt;
  }
  return m;
}

/* ---- which plug-in is which ---------------------------------------------------------------- */

std::string TOVPluginInstaller::OwnerOf(const std::string& file, const std::string& name, const std::string& target_dir) {
  const fs::path t(target_dir);
  if (auto mgr = PluginMgr.Get()) {
    for (int i = 0, n = mgr->GetPluginCount(); i < n; ++i) {
      const std::optional<TOVBaseLoadedPlugin> e = mgr->GetPluginIndex(i);
      if (e && !EqualsFoldCase(e->Name, name) && !e->LibPath.empty() && SamePath(e->LibPath, t / file)) return e->Name;
    }
  }
  // An installed plug-in's manifest names its library (the plug-in need not be loaded: a
  // library that failed to load, or plug-ins switched off).
  for (const TManifestEntry& m : InstalledManifests(t))
    if (!EqualsFoldCase(m.name, name) && m.library == file) return m.name;
  return {};
}

std::string LoadedPluginSpelling(const std::string& name) {
  if (auto mgr = PluginMgr.Get()) {
    for (int i = 0, n = mgr->GetPluginCount(); i < n; ++i) {
      const std::optional<TOVBaseLoadedPlugin> e = mgr->GetPluginIndex(i);
      if (e && EqualsFoldCase(e->Name, name)) return e->Name;
    }
  }
  return {};
}

std::string TOVPluginInstaller::InstalledSpelling(const std::string& name, const std::string& target_dir) {
  if (std::string loaded = LoadedPluginSpelling(name); !loaded.empty()) return loaded;
  const fs::path t(target_dir);
  for (const TManifestEntry& m : InstalledManifests(t))
    if (EqualsFoldCase(m.name, name) && IsFile(t / m.library)) return m.name;
  // A folder spelt otherwise would become a twin of the package's own (and the loader reads a
  // plug-in's version from the folder of its exact name).
  std::string folder;
  for (const std::string& d : PluginFolders(t)) {
    if (d == name) return d;
    if (folder.empty() && EqualsFoldCase(d, name)) folder = d;
  }
  return folder;
}

std::string TOVPluginInstaller::InstalledNameForRemoval(const std::string& name, std::string& error) const {
  if (std::string loaded = LoadedPluginSpelling(name); !loaded.empty()) return loaded;
  const fs::path t(plugin_dir_);
  const std::vector<std::function<std::vector<std::string>()>> sources = {
      [&] {
        std::vector<std::string> names;
        for (const TManifestEntry& m : InstalledManifests(t)) names.push_back(m.name);
        return names;
      },
      [&] { return PluginFolders(t); },
      [] {
        std::vector<std::string> names;
        if (auto db = DB.Get()) {
          TOVWriteQuery q = db->NewQuery();
          q.SetSQL("SELECT plugin_name FROM plugin_state");
          q.Open();
          for (; !q.Eof(); q.Next()) names.push_back(q.Str("plugin_name"));
        }
        return names;
      },
  };
  for (const auto& source : sources) {
    std::vector<std::string> found;
    for (const std::string& n : source()) {
      // A name that is no safe name (a hand-edited plugin.json) never becomes a path to remove.
      if (!EqualsFoldCase(n, name) || !IsSafeName(n)) continue;
      if (n == name) return n;
      if (std::find(found.begin(), found.end(), n) == found.end()) found.push_back(n);
    }
    std::sort(found.begin(), found.end());
    if (found.size() > 1) {
      error = Format("Plugin name %s is ambiguous: installed as %s and %s", name, found[0], found[1]);
      return {};
    }
    if (found.size() == 1) return found[0];
  }
  return name;
}

}  // namespace ov
