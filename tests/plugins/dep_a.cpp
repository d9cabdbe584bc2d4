// Dependency chain: DepA <- DepB <- DepC.
#include "common/test_plugin.hpp"

const ovt::Spec ovt::kSpec = {.name = "DepA", .caps = 0};
