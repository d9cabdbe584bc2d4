// Skipped on the server: a node-only plug-in.
#include "common/test_plugin.hpp"

const ovt::Spec ovt::kSpec = {.name = "ClientOnly", .target = OV_TARGET_CLIENT};
