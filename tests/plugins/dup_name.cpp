// Refused when SampleCpp is loaded: the same name in other letter case.
#include "common/test_plugin.hpp"

const ovt::Spec ovt::kSpec = {.name = "samplecpp"};
