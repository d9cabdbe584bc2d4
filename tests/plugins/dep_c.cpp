// Dependency chain: DepC needs DepB.
#include "common/test_plugin.hpp"

const ovt::Spec ovt::kSpec = {.name = "DepC", .deps = "depb"};
