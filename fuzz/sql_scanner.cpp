// libFuzzer target for the colon-name scanner of the SQL connection layer (ScanNamedParams).
//
// The first byte picks the backend (SQLite, MariaDB, PostgreSQL); the rest is the statement
// text.  Besides memory safety, checks what every result must satisfy:
//   - every positional entry names one of the distinct names, and every name is used;
//   - "$n" backends list each name once (order == names); "?" backends once per use;
//   - the native text is no longer than the statement with each use of a name replaced by its
//     placeholder (one use of a one-letter name from $10 on adds a byte);
//   - scanning is deterministic.
#include <algorithm>
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

std::size_t DecimalDigits(std::size_t n) {
  std::size_t digits = 1;
  for (; n >= 10; n /= 10) ++digits;
  return digits;
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

  // The native text is the statement up to its terminating ';', with each use of a name (':' and
  // the name as written, as long as its listed spelling) replaced by its placeholder: '?', or "$k"
  // for the k-th name.  order lists every use on "?" backends; on PostgreSQL it lists one use of
  // each name, and every other use takes a ':' of its own, so the colons left over bound how many
  // more uses there are, each adding at most what the most growing listed use adds.
  using Bytes = std::ptrdiff_t;
  Bytes bound = static_cast<Bytes>(sql.size());
  Bytes most_per_use = 0;
  for (std::size_t k = 0; k < s.order.size(); ++k) {
    const std::size_t placeholder = backend == ov::sql::Backend::Postgres ? 1 + DecimalDigits(k + 1) : 1;
    const Bytes adds = static_cast<Bytes>(placeholder) - static_cast<Bytes>(1 + s.order[k].size());
    bound += adds;
    most_per_use = std::max(most_per_use, adds);
  }
  if (backend == ov::sql::Backend::Postgres) {
    const Bytes colons = std::count(sql.begin(), sql.end(), ':');
    Check(colons >= static_cast<Bytes>(s.order.size()));
    bound += (colons - static_cast<Bytes>(s.order.size())) * most_per_use;
  }
  Check(static_cast<Bytes>(s.native.size()) <= bound);
  for (char c : s.verb) Check(!(c >= 'a' && c <= 'z'));

  const ov::sql::ScannedSQL again = ov::sql::ScanNamedParams(sql, backend);
  Check(again.native == s.native && again.order == s.order && again.names == s.names && again.verb == s.verb);
  return 0;
}
