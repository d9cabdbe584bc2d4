// Skipped: a target outside 0-2.
#include "common/test_plugin.hpp"

const ovt::Spec ovt::kSpec = {.name = "GarbageTarget", .target = 7};
