#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "ov_plugin_updates.h"

using namespace ov;

TEST(PluginUpdates, VersionRule) {
  const std::vector<std::tuple<std::string, int, int, int>> parts = {
      {"1.2.3", 1, 2, 3},   {"v1.10", 1, 10, 0},    {"V2", 2, 0, 0},     {"1.0.0-beta", 1, 0, 0},
      {"1.2.3.4", 1, 2, 3}, {"x.5", 0, 5, 0},       {"", 0, 0, 0},       {"1..3", 1, 0, 3},
      {"vv1", 0, 0, 0},     {"99999999999.1", 0, 1, 0}};
  for (const auto& [text, ma, mi, pa] : parts) {
    std::int32_t a = -1, b = -1, c = -1;
    TOVPluginUpdateChecker::ParseVersionParts(text, a, b, c);
    EXPECT_EQ(std::make_tuple(a, b, c), std::make_tuple(ma, mi, pa)) << text;
  }
  const std::vector<std::tuple<std::string, std::string, int>> compare = {
      {"1.2.0", "v1.10", 1},   {"2.0", "2.0.0", 0},   {"1.0.0-beta", "1.0.1", 1},
      {"1.0.1", "1.0.0", -1},  {"1.9.9", "2", 1},     {"garbage", "0.0.1", 1}};
  for (const auto& [installed, latest, want] : compare)
    EXPECT_EQ(TOVPluginUpdateChecker::CompareVersions(installed, latest), want) << installed << " vs " << latest;
}
