// Refused: no name.
#include "common/test_plugin.hpp"

const ovt::Spec ovt::kSpec = {.name = nullptr};
