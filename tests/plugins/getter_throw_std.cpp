// Refused: GetDependencies throws a std::exception.
#include "common/test_plugin.hpp"

const ovt::Spec ovt::kSpec = {.name = "GetterThrowStd", .getter_throw = ovt::Throw::Std};
