// Refused by the probe: OVPluginCreate never returns.  Never loaded into a test process.
#include "common/test_plugin.hpp"

const ovt::Spec ovt::kSpec = {.name = "CreateHang", .create_misbehave = ovt::Misbehave::Hang};
