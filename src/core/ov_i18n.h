// Translation bundles: one JSON file per language with English as the fallback.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "ov_json_helpers.h"
#include "ov_service.h"

namespace ov {

using TOVI18nArg = std::variant<std::int64_t, bool, std::string, double>;

class TOVi18n {
 public:
  TOVi18n();
  // Language codes must match [A-Za-z0-9_-]{1,32}; anything else counts as a missing bundle.
  static bool IsValidLanguageCode(std::string_view code) noexcept;

  void SetLangDir(std::string dir);
  std::string LangDir() const;
  // Throws when the file exists but is not valid JSON.
  void LoadLanguage(std::string_view code);
  std::string T(std::string_view key) const;
  std::string T(std::string_view key, const std::vector<TOVI18nArg>& args) const;
  void RegisterBundle(std::string_view name, const TJSON& bundle);
  TJSON GetBundle() const;
  // [{ "code", "name" }], sorted by code; malformed files are listed by code.
  TJSON GetAvailableLanguages() const;
  std::string GetCurrentLanguage() const;
  // nullopt when the file does not exist or is not a JSON object; throws on malformed JSON.
  static std::optional<TJSON> LoadFile(const std::string& file);

 private:
  mutable std::mutex lock_;
  std::optional<TJSON> bundle_;
  std::optional<TJSON> fallback_;
  std::string lang_code_ = "en";
  std::string lang_dir_ = "config/lang";
};

extern TOVService<TOVi18n> I18N;

// Start-up and shutdown of the global translations (rows of the daemon's service table).
// Start-up loads [i18n] language (default "en") from the "config/lang" directory next to the
// executable, else below the working directory, and logs "i18n initialized (language: %s)".
void StartupI18N();
void ShutdownI18N(const TOVStepFn& step);

}  // namespace ov
