// The table sandbox of the hub's SQL bridge (db_query, db_exec, db_exec_params): a node
// plug-in may run SQL only on tables whose names carry its prefix.
//
// The statement is tokenized as the database would read it (quotes, any white space, lists
// after FROM and JOIN, subqueries); only a short list of statement kinds is accepted, and
// anything the tokenizer cannot judge safely (comments, statement chains, schema-qualified
// names, file and SQL-text functions) is refused.  On SQLite an authorizer checks the
// prepared statement as well.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "dbapi_consts.h"

namespace ov {

enum class TWSSqlKind : std::uint8_t { Query = 0, Exec = 1, ExecParams = 2 };

// A refused statement; the message is the answer's "error".
class ESqlSandbox : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// "p_" + the name lower-cased with "-" replaced by "_" + "_".
std::string NormalizePluginPrefix(std::string_view plugin_name);

struct TWSSqlChecked {
  std::string sql;          // the statement to run ("?" rewritten to :p0, :p1, ... for ExecParams)
  int placeholders = 0;     // number of "?" placeholders
  std::string verb;         // main statement keyword, upper case
  bool ddl = false;         // CREATE, DROP or ALTER
};

// Checks a statement for the plug-in; throws ESqlSandbox when it is refused.  A table outside
// the prefix gives "Plugin \"<name>\" cannot access table \"<table>\" — must use prefix \"<prefix>*\"".
TWSSqlChecked ValidatePluginSandbox(std::string_view plugin_name, std::string_view sql, TWSSqlKind kind,
                                    TDBABackend backend);

// Installs a SQLite authorizer on a raw sqlite3 handle for one bridge statement and removes it
// when destroyed.  A null handle does nothing.
class TWSSqliteGuard {
 public:
  TWSSqliteGuard(void* sqlite_handle, std::string prefix, TWSSqlKind kind, bool ddl);
  ~TWSSqliteGuard();
  TWSSqliteGuard(const TWSSqliteGuard&) = delete;
  TWSSqliteGuard& operator=(const TWSSqliteGuard&) = delete;
  struct Context {
    std::string prefix;
    TWSSqlKind kind;
    bool ddl;
  };

 private:
  void* db_;
  Context ctx_;
};

}  // namespace ov
