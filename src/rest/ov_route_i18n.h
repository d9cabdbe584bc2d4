// REST endpoints for the web client's translations: the languages on offer and one language's
// bundle.  Any authenticated caller may read them; the server's own language never changes.
#pragma once

#include "ov_route_api.h"

namespace ov {

void HandleI18nLanguages(TOVApiRequest& c);
// The live bundle when the code is the server's language (letter case ignored); otherwise the
// language read on its own from the same directory, English when it is missing or its code
// is not a plain language code.
void HandleI18nBundle(TOVApiRequest& c);

}  // namespace ov
