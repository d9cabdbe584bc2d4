// Loaded, Initialize throws a std::exception.
#include "common/test_plugin.hpp"

const ovt::Spec ovt::kSpec = {.name = "InitThrowStd", .init_throw = ovt::Throw::Std};
