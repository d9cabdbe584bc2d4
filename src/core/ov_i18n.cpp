#include "ov_i18n.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "ov_config.h"
#include "ov_log.h"
#include "ov_server_state.h"
#include "ov_text.h"

namespace ov {

TOVService<TOVi18n> I18N{"I18N"};


TOVi18n::TOVi18n() = default;

bool TOVi18n::IsValidLanguageCode(std::string_view code) noexcept {
  if (code.empty() || code.size() > 32) return false;
  for (char c : code) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

void TOVi18n::SetLangDir(std::string dir) {
  TOVLockGuard g(lock_);
  lang_dir_ = std::move(dir);
}

std::string TOVi18n::LangDir() const {
  TOVLockGuard g(lock_);
  return lang_dir_;
}

std::optional<TJSON> TOVi18n::LoadFile(const std::string& file) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(file, ec)) return std::nullopt;
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream ss;
  ss << in.rdbuf();
  TJSON v;
  if (!ParseJsonText(ss.str(), v)) throw std::runtime_error("Invalid JSON in language file " + file);
  if (!v.is_object()) return std::nullopt;
  return v;
}

void TOVi18n::LoadLanguage(std::string_view code) {
  TOVLockGuard g(lock_);
  if (!fallback_) {
    auto en = LoadFile(lang_dir_ + "/en.json");
    fallback_ = en ? std::move(*en) : TJSON::object();
  }
  if (EqualsIgnoreCase(code, "en")) {
    bundle_ = *fallback_;
    lang_code_ = "en";
    return;
  }
  std::optional<TJSON> b;
  // A code that could escape the language directory counts as a missing bundle.
  if (IsValidLanguageCode(code)) b = LoadFile(lang_dir_ + "/" + std::string(code) + ".json");
  if (b) {
    bundle_ = std::move(*b);
    lang_code_ = std::string(code);
  } else {
    bundle_ = *fallback_;
    lang_code_ = "en";
  }
}

namespace {
const TJSON* Lookup(const std::optional<TJSON>& root, std::string_view key) {
  if (!root || !root->is_object()) return nullptr;
  const TJSON* cur = &*root;
  while (true) {
    std::size_t dot = key.find('.');
    std::string_view part = key.substr(0, dot);
    if (!cur->is_object()) return nullptr;
    auto it = cur->find(part);
    if (it == cur->end()) return nullptr;
    cur = &*it;
    if (dot == std::string_view::npos) break;
    key.remove_prefix(dot + 1);
  }
  return cur->is_string() ? cur : nullptr;
}
}  // namespace

std::string TOVi18n::T(std::string_view key) const {
  TOVLockGuard g(lock_);
  if (const TJSON* v = Lookup(bundle_, key)) return v->get<std::string>();
  if (const TJSON* v = Lookup(fallback_, key)) return v->get<std::string>();
  return std::string(key);
}

std::string TOVi18n::T(std::string_view key, const std::vector<TOVI18nArg>& args) const {
  std::string s = T(key);
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string text;
    const auto& a = args[i];
    if (std::holds_alternative<std::int64_t>(a)) text = std::to_string(std::get<std::int64_t>(a));
    else if (std::holds_alternative<bool>(a)) text = std::get<bool>(a) ? "true" : "false";
    else if (std::holds_alternative<std::string>(a)) text = std::get<std::string>(a);
    else text = "?";
    std::string ph = "{" + std::to_string(i) + "}";
    std::size_t pos = 0;
    while ((pos = s.find(ph, pos)) != std::string::npos) {
      s.replace(pos, ph.size(), text);
      pos += text.size();
    }
  }
  return s;
}

void TOVi18n::RegisterBundle(std::string_view name, const TJSON& bundle) {
  if (bundle.is_null()) return;
  TOVLockGuard g(lock_);
  if (!bundle_) bundle_ = TJSON::object();
  if (!fallback_) fallback_ = TJSON::object();
  (*bundle_)[std::string(name)] = bundle;
  (*fallback_)[std::string(name)] = bundle;
}

TJSON TOVi18n::GetBundle() const {
  TOVLockGuard g(lock_);
  return bundle_ ? *bundle_ : TJSON::object();
}

TJSON TOVi18n::GetAvailableLanguages() const {
  std::string dir = LangDir();
  std::vector<std::pair<std::string, std::string>> langs;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code e2;
    if (it->is_directory(e2)) continue;
    auto p = it->path();
    if (p.extension() != ".json") continue;
    std::string code = p.stem().string();
    std::string name = code;
    try {
      auto b = LoadFile(p.string());
      if (b) {
        auto m = b->find("_meta");
        if (m != b->end() && m->is_object()) {
          auto l = m->find("language");
          if (l != m->end() && l->is_string()) name = l->get<std::string>();
        }
      }
    } catch (...) {
      // A malformed bundle is still listed, by its code.
    }
    langs.emplace_back(code, name);
  }
  std::sort(langs.begin(), langs.end());
  TJSON arr = TJSON::array();
  for (auto& [code, name] : langs) {
    TJSON o = TJSON::object();
    o["code"] = code;
    o["name"] = name;
    arr.push_back(std::move(o));
  }
  return arr;
}

std::string TOVi18n::GetCurrentLanguage() const {
  TOVLockGuard g(lock_);
  return lang_code_;
}

// ---- start-up and shutdown ----

void StartupI18N() {
  auto i18n = std::make_unique<TOVi18n>();
  // The bundles next to the executable, else those below the working directory.
  std::string dir = ExecutableDir() + "config/lang";
  std::error_code ec;
  if (!std::filesystem::is_directory(dir, ec)) dir = "config/lang";
  i18n->SetLangDir(dir);
  std::string language = "en";
  if (auto config = Config.Get()) language = config->ReadString("i18n", "language", "en");
  i18n->LoadLanguage(language);
  const std::string current = i18n->GetCurrentLanguage();
  I18N.Publish(std::move(i18n));
  LogInfo("i18n initialized (language: %s)", current);
}

void ShutdownI18N(const TOVStepFn&) { I18N.Free(); }

}  // namespace ov
