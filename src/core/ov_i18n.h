// Translation bundles: one JSON file per language with English as the fallback.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "ov_json_helpers.h"
#include "ov_locks.h"
#include "ov_service.h"

namespace ov {

using TOVI18nArg = std::variant<std::int64_t, bool, std::string, double>;

class TOVi18n {
 public:
  TOVi18n();
  // Language codes must match [A-Za-z0-9_-]{1,32}; anything else counts as a missing bundle.
  static bool IsValidLanguageCode(std::string_view code) noexcept;

  void SetLangDir(std::string dir) EXCLUDES(lock_);
  std::string LangDir() const EXCLUDES(lock_);
  // Throws when the file exists but is not valid JSON.
  void LoadLanguage(std::string_view code) EXCLUDES(lock_);
  std::string T(std::string_view key) const EXCLUDES(lock_);
  std::string T(std::string_view key, const std::vector<TOVI18nArg>& args) const EXCLUDES(lock_);
  void RegisterBundle(std::string_view name, const TJSON& bundle) EXCLUDES(lock_);
  TJSON GetBundle() const EXCLUDES(lock_);
  // [{ "code", "name" }], sorted by code; malformed files are listed by code.
  TJSON GetAvailableLanguages() const EXCLUDES(lock_);
  std::string GetCurrentLanguage() const EXCLUDES(lock_);
  // nullopt when the file does not exist or is not a JSON object; throws on malformed JSON.
  static std::optional<TJSON> LoadFile(const std::string& file);

 private:
  // ---- Guarded by lock_ (a leaf: held around look-ups and the loading of one bundle) ----
  mutable TOVLock lock_{LockLevel::Leaf};
  std::optional<TJSON> bundle_ GUARDED_BY(lock_);
  std::optional<TJSON> fallback_ GUARDED_BY(lock_);
  std::string lang_code_ GUARDED_BY(lock_) = "en";
  std::string lang_dir_ GUARDED_BY(lock_) = "config/lang";
};

extern TOVService<TOVi18n> I18N;

// Start-up and shutdown of the global translations (rows of the daemon's service table).
// Start-up loads [i18n] language (default "en") from the "config/lang" directory next to the
// executable, else below the working directory, and logs "i18n initialized (language: %s)".
void StartupI18N();
void ShutdownI18N(const TOVStepFn& step);

}  // namespace ov
