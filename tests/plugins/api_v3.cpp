// Refused: API version 3.
#include "common/test_plugin.hpp"

const ovt::Spec ovt::kSpec = {.name = "ApiV3", .api_version = 3};
