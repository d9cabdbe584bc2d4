// Refused: GetDependencies throws an int.
#include "common/test_plugin.hpp"

const ovt::Spec ovt::kSpec = {.name = "GetterThrowOther", .getter_throw = ovt::Throw::Other};
