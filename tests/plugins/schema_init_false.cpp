// The database plug-in Schema in a build whose Initialize fails.
#include "common/test_plugin.hpp"

const ovt::Spec ovt::kSpec = {.name = "Schema", .perms = OV_BIT(OV_PERM_DATABASE_CREATE_TABLES), .caps = OV_BIT(OV_CAP_SERVICE) | OV_BIT(OV_CAP_DATABASE), .init_result = false, .schema = 2, .code = 3};
