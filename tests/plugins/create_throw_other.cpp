// Refused: OVPluginCreate throws an int.
#include "common/test_plugin.hpp"

const ovt::Spec ovt::kSpec = {.name = "CreateThrowOther", .create_throw = ovt::Throw::Other};
