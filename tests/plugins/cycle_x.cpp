// A dependency cycle with CycleY.
#include "common/test_plugin.hpp"

const ovt::Spec ovt::kSpec = {.name = "CycleX", .deps = "CycleY"};
