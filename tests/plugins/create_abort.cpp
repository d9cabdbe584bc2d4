// Refused by the probe: OVPluginCreate aborts the process.  Never loaded into a test process.
#include "common/test_plugin.hpp"

const ovt::Spec ovt::kSpec = {.name = "CreateAbort", .create_misbehave = ovt::Misbehave::Abort};
