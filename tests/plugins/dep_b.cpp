// Dependency chain: DepB needs DepA.
#include "common/test_plugin.hpp"

const ovt::Spec ovt::kSpec = {.name = "DepB", .deps = "DepA"};
