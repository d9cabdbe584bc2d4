#include "ov_http_auth.h"

#include <string>

#include "ov_route_api.h"

namespace ov {

bool AuthenticateRequest(const TOVHttpRequest& req, TOVAuthUser& user) {
  user.Clear();
  std::string auth = req.Header("Authorization");
  if (auth.size() > 7 && EqualsIgnoreCase(std::string_view(auth).substr(0, 7), "Bearer "))
    return TOVAuth::ValidateJWT(std::string_view(auth).substr(7), user);
  std::string key = req.Header("X-API-Key");
  if (!key.empty()) return ValidateAPIKey(key, user);
  return false;
}

}  // namespace ov
