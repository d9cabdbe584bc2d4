// The unit tests' main: GoogleTest's, except that this executable also serves as the plug-in
// probe, as the server's does (the installer starts its own executable again to check a
// library).
#include <gtest/gtest.h>

#include "ov_plugin_probe.h"

int main(int argc, char** argv) {
  ov::RunPluginProbeIfAsked(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
