// A database plug-in at schema version 1 (code 1).
#include "common/test_plugin.hpp"

const ovt::Spec ovt::kSpec = {.name = "Schema", .version = "1.0.0", .perms = OV_BIT(OV_PERM_DATABASE_CREATE_TABLES), .caps = OV_BIT(OV_CAP_SERVICE) | OV_BIT(OV_CAP_DATABASE), .schema = 1, .code = 1};
