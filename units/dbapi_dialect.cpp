// Dialect base class, records, criteria and helpers of the portable SQL library.
#include "dbapi_dialect.h"
#include "dbapi_storage.h"

#include <chrono>
#include <limits>
#include <stdexcept>

namespace ov {

// ---------------------------------------------------------------------------------------------
// Criteria

TDBACompareCriterion::TDBACompareCriterion(std::string AColumn, TDBACompareOp AOp)
    : FColumn(std::move(AColumn)), FOp(AOp) {}

TDBACompareCriterion::TDBACompareCriterion(std::string AColumn, TDBACompareOp AOp, TJSON AValue)
    : FColumn(std::move(AColumn)), FOp(AOp), FOwned(std::make_unique<TJSON>(std::move(AValue))) {
  FValue = FOwned.get();
}

TDBACompareCriterion::TDBACompareCriterion(std::string AColumn, TDBACompareOp AOp, const TJSON* AValue)
    : FColumn(std::move(AColumn)), FOp(AOp), FValue(AValue) {}

void TDBACompoundCriterion::Add(TDBACriterionPtr AChild) {
  if (AChild) FChildren.push_back(std::move(AChild));
}

// ---------------------------------------------------------------------------------------------
// Builders

TDBAColumnSpec MakeColumn(std::string AName, TDBAColumnType AType, std::int32_t ALength, bool ANullable,
                          std::string ADefault, bool APrimaryKey, bool AUnique, bool AAutoIncrement) {
  TDBAColumnSpec c;
  c.Name = std::move(AName);
  c.ColType = AType;
  c.Length = ALength;
  c.Nullable = ANullable;
  c.DefaultExpr = std::move(ADefault);
  c.PrimaryKey = APrimaryKey;
  c.Unique = AUnique;
  c.AutoIncrement = AAutoIncrement;
  return c;
}

TDBAIndexSpec MakeIndex(std::string AName, std::vector<std::string> AColumns, bool AUnique) {
  return TDBAIndexSpec{std::move(AName), std::move(AColumns), AUnique};
}

TDBAUniqueConstraint MakeUnique(std::string AName, std::vector<std::string> AColumns) {
  return TDBAUniqueConstraint{std::move(AName), std::move(AColumns)};
}

TDBAForeignKey MakeFK(std::string ARefTable, std::string ARefColumn, TDBAOnDeleteAction AOnDelete) {
  return TDBAForeignKey{std::move(ARefTable), std::move(ARefColumn), AOnDelete};
}

TDBAOrderSpec MakeOrder(std::string AColumn, TDBAOrderDir ADir) { return TDBAOrderSpec{std::move(AColumn), ADir}; }

std::unique_ptr<TDBACompareCriterion> Cmp(std::string AColumn, TDBACompareOp AOp, TJSON AValue) {
  return std::make_unique<TDBACompareCriterion>(std::move(AColumn), AOp, std::move(AValue));
}
std::unique_ptr<TDBACompareCriterion> CmpStr(std::string AColumn, TDBACompareOp AOp, std::string AValue) {
  return Cmp(std::move(AColumn), AOp, TJSON(std::move(AValue)));
}
std::unique_ptr<TDBACompareCriterion> CmpInt(std::string AColumn, TDBACompareOp AOp, std::int64_t AValue) {
  return Cmp(std::move(AColumn), AOp, TJSON(AValue));
}
std::unique_ptr<TDBACompareCriterion> CmpBool(std::string AColumn, TDBACompareOp AOp, bool AValue) {
  return Cmp(std::move(AColumn), AOp, TJSON(AValue));
}
std::unique_ptr<TDBACompareCriterion> IsNull(std::string AColumn) {
  return std::make_unique<TDBACompareCriterion>(std::move(AColumn), dcoIsNull);
}
std::unique_ptr<TDBACompareCriterion> IsNotNull(std::string AColumn) {
  return std::make_unique<TDBACompareCriterion>(std::move(AColumn), dcoIsNotNull);
}
std::unique_ptr<TDBACompoundCriterion> AndOf(std::vector<TDBACriterionPtr> AChildren) {
  auto c = std::make_unique<TDBACompoundCriterion>(dboAnd);
  for (auto& ch : AChildren) c->Add(std::move(ch));
  return c;
}
std::unique_ptr<TDBACompoundCriterion> OrOf(std::vector<TDBACriterionPtr> AChildren) {
  auto c = std::make_unique<TDBACompoundCriterion>(dboOr);
  for (auto& ch : AChildren) c->Add(std::move(ch));
  return c;
}

// ---------------------------------------------------------------------------------------------
// Helpers

bool DBASameName(std::string_view A, std::string_view B) noexcept {
  if (A.size() != B.size()) return false;
  for (std::size_t i = 0; i < A.size(); ++i) {
    char a = A[i], b = B[i];
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
    if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
    if (a != b) return false;
  }
  return true;
}

sql::Backend DBAToSqlBackend(TDBABackend ABackend) noexcept {
  switch (ABackend) {
    case dbMariaDB: return sql::Backend::MariaDB;
    case dbPostgres: return sql::Backend::Postgres;
    default: return sql::Backend::SQLite;
  }
}

std::string DBAJoinQuoted(const IDBADialect& ADialect, const std::vector<std::string>& ANames) {
  std::string out;
  for (std::size_t i = 0; i < ANames.size(); ++i) {
    if (i) out += ", ";
    out += ADialect.QuoteIdent(ANames[i]);
  }
  return out;
}

std::string DBAPlaceholders(std::size_t ACount) {
  std::string out;
  out.reserve(ACount * 5);
  for (std::size_t i = 0; i < ACount; ++i) {
    if (i) out += ", ";
    out += ":p";
    out += std::to_string(i + 1);
  }
  return out;
}

namespace {

sql::Value JsonToValue(const TJSON& item) {
  switch (item.type()) {
    case TJSON::value_t::boolean:
      return sql::Value::Boolean(item.get<bool>());
    case TJSON::value_t::number_integer:
      return sql::Value::Int(item.get<std::int64_t>());
    case TJSON::value_t::number_unsigned: {
      const auto u = item.get<std::uint64_t>();
      if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        return sql::Value::Int(static_cast<std::int64_t>(u));
      return sql::Value::Text(std::to_string(u));
    }
    case TJSON::value_t::number_float:
      return sql::Value::Real(item.get<double>());
    case TJSON::value_t::string:
      return sql::Value::Text(item.get_ref<const std::string&>());
    case TJSON::value_t::array:
    case TJSON::value_t::object:
      return sql::Value::Text(JsonSpaced(item));
    case TJSON::value_t::binary: {
      const auto& bin = item.get_binary();
      return sql::Value::Blob(std::string(bin.begin(), bin.end()));
    }
    default:
      return sql::Value::Null();
  }
}

// "p<n>" with n a decimal number without leading zeros (as BindJSONParams names them): n, else 0.
std::size_t PNumber(std::string_view name) noexcept {
  if (name.size() < 2 || (name[0] != 'p' && name[0] != 'P') || name[1] == '0') return 0;
  std::size_t n = 0;
  for (std::size_t i = 1; i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9' || n > 100000000) return 0;
    n = n * 10 + static_cast<std::size_t>(name[i] - '0');
  }
  return n;
}

// Statements are timed only when an after-query handler listens.
struct StatementTimer {
  bool on;
  std::chrono::steady_clock::time_point t0;
  explicit StatementTimer(bool timed) : on(timed), t0(timed ? std::chrono::steady_clock::now() : decltype(t0)()) {}
  std::int64_t ElapsedMs() const {
    if (!on) return 0;
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
  }
};

}  // namespace

namespace {

// JsonToValue into an existing value, reusing its text buffer.
void AssignJson(sql::Value& v, const TJSON& item) {
  switch (item.type()) {
    case TJSON::value_t::boolean:
      v.kind = sql::FieldKind::Bool;
      v.b = item.get<bool>();
      return;
    case TJSON::value_t::number_integer:
      v.kind = sql::FieldKind::Int64;
      v.i = item.get<std::int64_t>();
      return;
    case TJSON::value_t::number_float:
      v.kind = sql::FieldKind::Double;
      v.d = item.get<double>();
      return;
    case TJSON::value_t::string:
      v.kind = sql::FieldKind::Text;
      v.s.assign(item.get_ref<const std::string&>());
      return;
    case TJSON::value_t::null:
    case TJSON::value_t::discarded:
      v.kind = sql::FieldKind::Null;
      return;
    default:
      v = JsonToValue(item);
      return;
  }
}

// Binds AParams into a query that may have run before: every parameter is set, those without
// an item to NULL.
void BindJSONParamsFresh(sql::Query& AQuery, const TJSON& AParams) {
  const auto& names = AQuery.ParamNames();
  const std::size_t count = AParams.is_array() ? AParams.size() : 0;
  for (std::size_t k = 0; k < names.size(); ++k) {
    sql::Value& v = AQuery.ParamAt(k);
    const std::size_t n = PNumber(names[k]);
    if (n == 0 || n > count)
      v.kind = sql::FieldKind::Null;
    else
      AssignJson(v, AParams[n - 1]);
  }
}

}  // namespace

void BindJSONParams(sql::Query& AQuery, const TJSON& AParams) {
  if (!AParams.is_array()) return;
  // Walk the names the statement uses (fewer than the items, as a rule); each "p<i+1>" takes
  // item i.  Items without a placeholder are skipped; placeholders without an item stay NULL.
  const auto& names = AQuery.ParamNames();
  for (std::size_t k = 0; k < names.size(); ++k) {
    const std::size_t n = PNumber(names[k]);
    if (n == 0 || n > AParams.size()) continue;
    AQuery.SetParamAt(k, JsonToValue(AParams[n - 1]));
  }
}

TJSON DBAValueToJSON(const sql::Value& AValue) {
  switch (AValue.kind) {
    case sql::FieldKind::Null: return TJSON();
    case sql::FieldKind::Int64: return TJSON(AValue.i);
    case sql::FieldKind::Bool: return TJSON(AValue.b);
    case sql::FieldKind::Double: return TJSON(AValue.d);
    default: return TJSON(AValue.s);
  }
}

TJSON DBARowToJSON(const sql::Query& AQuery) {
  TJSON obj = TJSON::object();
  const std::size_t n = AQuery.FieldCount();
  for (std::size_t i = 0; i < n; ++i) obj[AQuery.FieldName(i)] = DBAValueToJSON(AQuery.Field(i));
  return obj;
}

// ---------------------------------------------------------------------------------------------
// TDBADialectBase

TDBADialectBase::TDBADialectBase() : FHooks(std::make_unique<TDBAHookRegistry>()) {}

TDBADialectBase::~TDBADialectBase() {
  FStatement.reset();
  if (FConnected) {
    try {
      TDBADialectBase::Disconnect();
    } catch (...) {
    }
  }
  FTransaction = nullptr;
  FOwnedTransaction.reset();  // the transaction first, then the connection
  FConnection = nullptr;
  FOwnedConnection.reset();
}

void TDBADialectBase::AttachConnection(std::unique_ptr<sql::Connection> AConn) {
  FStatement.reset();
  FOwnedTransaction.reset();
  FOwnedConnection = std::move(AConn);
  FConnection = FOwnedConnection.get();
  FOwnsConnection = FConnection != nullptr;
  if (FConnection) FOwnedTransaction = std::make_unique<sql::Transaction>(*FConnection);
  FTransaction = FOwnedTransaction.get();
}

void TDBADialectBase::AttachConnection(sql::Connection* AConn, sql::Transaction* ATrans) {
  FStatement.reset();
  FOwnedTransaction.reset();
  FOwnedConnection.reset();
  FConnection = AConn;
  FTransaction = ATrans;
  FOwnsConnection = false;
}

bool TDBADialectBase::IsConnected() const { return FConnected && FConnection && FConnection->Connected(); }

TDBADialectBase::VersionRead TDBADialectBase::ReadVersion(std::string_view AVersionSQL, std::string& AText) noexcept {
  try {
    sql::Query q(*FConnection);
    q.SetSQL(std::string(AVersionSQL));
    q.Open();
    if (q.Eof() || q.FieldCount() == 0) {
      AText.clear();
      return VersionRead::NoRow;
    }
    AText = q.Field(0).AsText();
    return VersionRead::Row;
  } catch (const std::exception& e) {
    try {
      AText = e.what();
    } catch (...) {
    }
    return VersionRead::Failed;
  } catch (...) {
    return VersionRead::Failed;
  }
}

void TDBADialectBase::Connect() {
  if (FConnected) return;
  if (!FConnection) throw sql::SqlError("dbapi: dialect has no connection attached");
  if (FOwnsConnection) FConnection->Open();
  FConnected = true;
  std::string text;
  FServerFlavor = ReadVersion("SELECT VERSION()", text) == VersionRead::Row ? text : std::string();
  FHooks->FireConnect(FServerFlavor);
}

void TDBADialectBase::Disconnect() {
  if (!FConnected) return;
  FConnected = false;
  if (FOwnsConnection && FConnection && FConnection->Connected()) {
    if (FTransaction) {
      try {
        FTransaction->Rollback();
      } catch (...) {
        FTransaction->Reset();
      }
    }
    FConnection->Close();
  }
  FHooks->FireDisconnect("requested");
}

std::string TDBADialectBase::OnDeleteAction(TDBAOnDeleteAction AAction) const {
  switch (AAction) {
    case doaCascade: return "CASCADE";
    case doaSetNull: return "SET NULL";
    case doaRestrict: return "RESTRICT";
    case doaSetDefault: return "SET DEFAULT";
    default: return {};
  }
}

std::string TDBADialectBase::InsertOrIgnoreStmt(std::string_view ATable, const std::vector<std::string>& ACols) const {
  return "INSERT INTO " + QuoteIdent(ATable) + " (" + DBAJoinQuoted(*this, ACols) + ") VALUES (" +
         DBAPlaceholders(ACols.size()) + ") ON CONFLICT DO NOTHING";
}

std::string TDBADialectBase::LimitOffsetClause(std::int64_t ALimit, std::int64_t AOffset) const {
  std::string out;
  if (ALimit > 0) out += " LIMIT " + std::to_string(ALimit);
  if (AOffset > 0) out += " OFFSET " + std::to_string(AOffset);
  return out;
}

namespace {
std::string AppendParam(TJSON& AParams, const TJSON& AValue) {
  AParams.push_back(AValue);
  return ":p" + std::to_string(AParams.size());
}
}  // namespace

std::string TDBADialectBase::CompareToSQL(const TDBACompareCriterion& C, TJSON& AParams) const {
  const std::string q = QuoteIdent(C.Column());
  const TJSON* v = C.Value();
  auto need_value = [&]() -> const TJSON& {
    if (!v)
      throw std::invalid_argument("dbapi: compare criterion on " + C.Column() + " (operator " +
                                  std::to_string(static_cast<int>(C.Op())) + ") has no value");
    return *v;
  };
  switch (C.Op()) {
    case dcoEq: return q + " = " + AppendParam(AParams, need_value());
    case dcoNeq: return q + " <> " + AppendParam(AParams, need_value());
    case dcoLt: return q + " < " + AppendParam(AParams, need_value());
    case dcoLe: return q + " <= " + AppendParam(AParams, need_value());
    case dcoGt: return q + " > " + AppendParam(AParams, need_value());
    case dcoGe: return q + " >= " + AppendParam(AParams, need_value());
    case dcoLike: return q + " LIKE " + AppendParam(AParams, need_value());
    case dcoILike: return "LOWER(" + q + ") LIKE LOWER(" + AppendParam(AParams, need_value()) + ")";
    case dcoIn:
    case dcoNotIn: {
      if (!v || !v->is_array() || v->empty()) {
        // Not an array, or an empty one: nothing is IN it; everything is NOT IN it.
        return (C.Op() == dcoNotIn && v && v->is_array()) ? "1=1" : "1=0";
      }
      std::string out = q + (C.Op() == dcoIn ? " IN (" : " NOT IN (");
      bool first = true;
      for (const auto& el : *v) {
        if (!first) out += ", ";
        first = false;
        out += AppendParam(AParams, el);
      }
      return out + ")";
    }
    case dcoIsNull: return q + " IS NULL";
    case dcoIsNotNull: return q + " IS NOT NULL";
  }
  throw std::invalid_argument("dbapi: unknown compare operator " + std::to_string(static_cast<int>(C.Op())));
}

std::string TDBADialectBase::WhereToSQL(const TDBACriterion* ACriterion, TJSON& AParams) const {
  if (!ACriterion) return {};
  if (!AParams.is_array()) {
    if (!AParams.is_null()) throw std::invalid_argument("dbapi: WhereToSQL: parameters must be a JSON array");
    AParams = TJSON::array();
  }
  if (const auto* cmp = dynamic_cast<const TDBACompareCriterion*>(ACriterion)) return CompareToSQL(*cmp, AParams);
  if (const auto* comp = dynamic_cast<const TDBACompoundCriterion*>(ACriterion)) {
    if (comp->ChildCount() == 0) return "1=1";
    const char* sep = comp->BoolOp() == dboOr ? " OR " : " AND ";
    std::string out;
    for (std::size_t i = 0; i < comp->ChildCount(); ++i) {
      const std::string t = WhereToSQL(comp->Child(i), AParams);  // virtual: a backend may override
      if (t.empty()) continue;
      if (!out.empty()) out += sep;
      out += "(" + t + ")";
    }
    return out.empty() ? "1=1" : out;
  }
  return {};
}

void TDBADialectBase::RollbackAfterFailure() noexcept {
  if (!FOwnsConnection || FExplicitBatch || !FTransaction) return;
  try {
    FTransaction->Rollback();
  } catch (...) {
    FTransaction->Reset();
  }
}

void TDBADialectBase::FireQueryLog(std::string_view ASQL, std::int64_t ADurationMs, const TJSON& AParams,
                                   std::int64_t ARowsAffected) {
  FHooks->FireAfterQuery(ASQL, AParams, ADurationMs, ARowsAffected);
}

sql::Query& TDBADialectBase::LeaseStatement(std::string_view ASQL, std::unique_ptr<sql::Query>& ATemp) {
  if (FStatementBusy) {
    ATemp = std::make_unique<sql::Query>(*FConnection, FTransaction);
    ATemp->SetSQL(std::string(ASQL));
    return *ATemp;
  }
  if (!FStatement) FStatement = std::make_unique<sql::Query>(*FConnection, FTransaction);
  if (FStatement->SQL() != ASQL || ASQL.empty()) FStatement->SetSQL(std::string(ASQL));
  FStatementBusy = true;
  return *FStatement;
}

void TDBADialectBase::ReturnStatement(sql::Query& AQuery) noexcept {
  AQuery.Close();
  if (&AQuery != FStatement.get()) return;
  FStatementBusy = false;
  // Do not keep large parameter values alive until the next statement.
  for (std::size_t k = 0; k < AQuery.ParamNames().size(); ++k) {
    sql::Value& v = AQuery.ParamAt(k);
    if (v.s.capacity() > 4096) v.s = std::string();
  }
}

std::int64_t TDBADialectBase::ExecSQL(std::string_view ASQL, const TJSON& AParams) {
  bool cancel = false;
  FHooks->FireBeforeQuery(ASQL, AParams, cancel);
  if (cancel) return 0;
  if (!FConnection) throw sql::SqlError("dbapi: dialect has no connection attached");
  const StatementTimer timer(FHooks->HasAfterQuery());
  std::int64_t affected = -1;
  try {
    std::unique_ptr<sql::Query> temp;
    sql::Query* q = nullptr;
    try {
      q = &LeaseStatement(ASQL, temp);
      BindJSONParamsFresh(*q, AParams);
      affected = q->ExecSQL();
    } catch (...) {
      if (q) ReturnStatement(*q);
      throw;
    }
    ReturnStatement(*q);
    if (FOwnsConnection && !FExplicitBatch && FTransaction) FTransaction->CommitRetaining();
  } catch (const std::exception& e) {
    RollbackAfterFailure();
    bool handled = false;
    FHooks->FireError(ASQL, e.what(), handled);
    if (!handled) throw;
    affected = -1;
  }
  FireQueryLog(ASQL, timer.ElapsedMs(), AParams, affected);
  return affected;
}

TJSON TDBADialectBase::QuerySQL(std::string_view ASQL, const TJSON& AParams) {
  TJSON rows = TJSON::array();
  bool cancel = false;
  FHooks->FireBeforeQuery(ASQL, AParams, cancel);
  if (cancel) return rows;
  if (!FConnection) throw sql::SqlError("dbapi: dialect has no connection attached");
  const StatementTimer timer(FHooks->HasAfterQuery());
  try {
    std::unique_ptr<sql::Query> temp;
    sql::Query* q = nullptr;
    try {
      q = &LeaseStatement(ASQL, temp);
      BindJSONParamsFresh(*q, AParams);
      q->Open();
      while (!q->Eof()) {
        rows.push_back(DBARowToJSON(*q));
        q->Next();
      }
    } catch (...) {
      if (q) ReturnStatement(*q);
      throw;
    }
    ReturnStatement(*q);
  } catch (const std::exception& e) {
    RollbackAfterFailure();
    bool handled = false;
    FHooks->FireError(ASQL, e.what(), handled);
    if (!handled) throw;
  }
  FireQueryLog(ASQL, timer.ElapsedMs(), AParams, -1);
  return rows;
}

}  // namespace ov

namespace ov {

std::string TDBADialectBase::CreateIndexSQL(std::string_view ATable, const TDBAIndexSpec& ASpec) {
  return BuildCreateIndex(*this, ATable, ASpec);
}

}  // namespace ov
