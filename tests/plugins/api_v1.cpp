// Loads with backward compatibility: API version 1.
#include "common/test_plugin.hpp"

const ovt::Spec ovt::kSpec = {.name = "Legacy", .api_version = 1};
