// Refused: API version 0.
#include "common/test_plugin.hpp"

const ovt::Spec ovt::kSpec = {.name = "ApiV0", .api_version = 0};
