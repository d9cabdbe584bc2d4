// A dependency cycle with CycleX.
#include "common/test_plugin.hpp"

const ovt::Spec ovt::kSpec = {.name = "CycleY", .deps = "CycleX"};
