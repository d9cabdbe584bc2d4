// Loaded, Initialize throws an int.
#include "common/test_plugin.hpp"

const ovt::Spec ovt::kSpec = {.name = "InitThrowOther", .init_throw = ovt::Throw::Other};
