// Refused: OVPluginCreate throws a std::exception.
#include "common/test_plugin.hpp"

const ovt::Spec ovt::kSpec = {.name = "CreateThrowStd", .create_throw = ovt::Throw::Std};
