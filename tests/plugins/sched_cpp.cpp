// A scheduled plug-in ("SchedCpp") for the scheduler's end-to-end tests.  It declares one task
// that succeeds ("tick", logging "task tick ran"), one that throws a std::exception ("fail") and
// one that throws an int ("fail_other"), one left to the defaults ("idle": description "idle",
// every 60 s) and two items the server skips (not an object, no name).
#include "common/test_plugin.hpp"

const ovt::Spec ovt::kSpec = {
    .name = "SchedCpp",
    .description = "C++ scheduled tasks",
    .caps = OV_BIT(OV_CAP_SCHEDULED),
    .tasks = R"([{"name": "tick", "description": "Counts its runs", "interval_seconds": 3600},
                {"name": "fail", "description": "Throws std::runtime_error", "interval_seconds": 3600},
                {"name": "fail_other", "description": "Throws an int", "interval_seconds": 3600},
                {"name": "idle"},
                7,
                {"description": "nameless", "interval_seconds": 5}])",
};
