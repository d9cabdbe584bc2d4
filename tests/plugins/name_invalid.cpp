// Refused: a name that would leave the plug-in directory.
#include "common/test_plugin.hpp"

const ovt::Spec ovt::kSpec = {.name = "../evil"};
