// Refused: OVPluginCreate returns NULL.
#include "common/test_plugin.hpp"

const ovt::Spec ovt::kSpec = {.name = "CreateNull", .create_null = true};
