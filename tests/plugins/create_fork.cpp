// Loads: OVPluginCreate forks a process that sleeps holding the probe's descriptors (its pid in
// forked.pid beside the library).  Never loaded into a test process.
#include "common/test_plugin.hpp"

const ovt::Spec ovt::kSpec = {.name = "CreateFork", .create_misbehave = ovt::Misbehave::Fork};
