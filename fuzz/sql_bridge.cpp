// The SQL bridge's statement check: no input crashes it, and what it accepts it accepts again
// in its rewritten form.
#include <cstddef>
#include <cstdint>
#include <string>

#include "ov_ws_sqlbridge.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const auto kind = static_cast<ov::TWSSqlKind>(data[0] % 3);
  const auto backend = static_cast<ov::TDBABackend>((data[0] / 3) % 3);
  std::string sql(reinterpret_cast<const char*>(data + 1), size - 1);
  try {
    ov::TWSSqlChecked r = ov::ValidatePluginSandbox("Chat-Log", sql, kind, backend);
    if (kind != ov::TWSSqlKind::ExecParams) {
      ov::TWSSqlChecked again = ov::ValidatePluginSandbox("Chat-Log", r.sql, kind, backend);
      if (again.sql != r.sql || again.verb != r.verb) __builtin_trap();
    }
  } catch (const ov::ESqlSandbox&) {
  }
  return 0;
}
