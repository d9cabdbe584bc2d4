// The C++ sample: service and scheduled tasks.
#include "common/test_plugin.hpp"

const ovt::Spec ovt::kSpec = {.perms = OV_BIT(OV_PERM_CONFIG_READ) | OV_BIT(OV_PERM_DATABASE_READ), .caps = OV_BIT(OV_CAP_SERVICE) | OV_BIT(OV_CAP_SCHEDULED)};
