#include "ov_route_i18n.h"

#include "ov_i18n.h"
#include "ov_route_path.h"
#include "ov_route_reply.h"
#include "ov_text.h"

namespace ov {

void HandleI18nLanguages(TOVApiRequest& c) { SendSuccess(c.resp, I18N->GetAvailableLanguages()); }

void HandleI18nBundle(TOVApiRequest& c) {
  std::string lang = ExtractPathSegment(c.req, 0);
  if (lang.empty()) lang = "en";
  auto i18n = I18N.Get();
  if (!i18n) throw ServiceUnavailable("Translations not available");
  if (EqualsIgnoreCase(lang, i18n->GetCurrentLanguage())) {
    SendSuccess(c.resp, i18n->GetBundle());
    return;
  }
  // A translation object of this request's own: loading never touches the server's language.
  // Codes outside [A-Za-z0-9_-]{1,32} never reach a file name (TOVi18n falls back to English).
  TOVi18n other;
  other.SetLangDir(i18n->LangDir());
  other.LoadLanguage(lang);
  SendSuccess(c.resp, other.GetBundle());
}

}  // namespace ov
