// Loads: OVPluginCreate prints what looks like a probe's answer naming another plug-in.
#include "common/test_plugin.hpp"

const ovt::Spec ovt::kSpec = {.name = "CreateNoisy", .create_misbehave = ovt::Misbehave::Print};
