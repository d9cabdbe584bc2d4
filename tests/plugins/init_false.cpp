// Loaded, Initialize answers false.
#include "common/test_plugin.hpp"

const ovt::Spec ovt::kSpec = {.name = "InitFalse", .init_result = false};
