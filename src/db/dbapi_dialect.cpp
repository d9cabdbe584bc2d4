// Dialect base class, records, criteria and helpers of the portable SQL library.
#include "dbapi_dialect.h"
#include "dbapi_storage.h"

#include <chrono>
#include <limits>
#include <optional>
#include <stdexcept>

#include "ov_format.h"

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

bool DBASameName(std::string_view A, std::string_view B) noexcept { return EqualsIgnoreCase(A, B); }

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

std::string DBAQuoteName(std::string_view AName, char AQuote, bool ALowerCase) {
  std::string out;
  out.reserve(AName.size() + 2);
  out += AQuote;
  for (char c : AName) {
    if (c == AQuote) out += AQuote;
    out += (ALowerCase && c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  }
  out += AQuote;
  return out;
}

std::string DBAInsertStmt(const IDBADialect& ADialect, std::string_view AInsertInto, std::string_view ATable,
                          const std::vector<std::string>& ACols) {
  return std::string(AInsertInto) + " " + ADialect.QuoteIdent(ATable) + " (" + DBAJoinQuoted(ADialect, ACols) +
         ") VALUES (" + DBAPlaceholders(ACols.size()) + ")";
}

std::string DBAUpdateSets(const IDBADialect& ADialect, const std::vector<std::string>& AAllCols,
                          const std::vector<std::string>& AKeyCols, std::string_view ANewBefore,
                          std::string_view ANewAfter) {
  std::string sets;
  for (const auto& c : AAllCols) {
    bool key = false;
    for (const auto& k : AKeyCols)
      if (DBASameName(c, k)) key = true;
    if (key) continue;
    if (!sets.empty()) sets += ", ";
    const std::string q = ADialect.QuoteIdent(c);
    sets += q + " = ";
    sets += ANewBefore;
    sets += q;
    sets += ANewAfter;
  }
  return sets;
}

TJSON DBAColumnInfo(std::string AName, std::string AType, bool ANullable, TJSON ADefault, bool AIsPk) {
  TJSON col = TJSON::object();
  col["name"] = std::move(AName);
  col["type"] = std::move(AType);
  col["nullable"] = ANullable;
  col["default"] = std::move(ADefault);
  col["is_pk"] = AIsPk;
  return col;
}

void DBACheckBorrowed(const sql::Connection* AConn, sql::Backend AKind, std::string_view AUnit,
                      std::string_view AKindName) {
  if (!AConn) throw sql::SqlError(std::string(AUnit) + ": CreateFromConnection: AConn is nil");
  if (AConn->Kind() != AKind)
    throw sql::SqlError(std::string(AUnit) + ": CreateFromConnection: not " + std::string(AKindName) + " connection");
}

namespace {

// The item a placeholder name takes under ARules: "p<n>", n a decimal number without leading
// zeros and not below FirstNumber, gives item n - FirstNumber; any other name none.
std::optional<std::size_t> ItemOf(std::string_view name, const TDBABindRules& ARules) noexcept {
  if (name.size() < 2 || (name[0] != 'p' && name[0] != 'P') || (name[1] == '0' && name.size() > 2))
    return std::nullopt;
  std::size_t n = 0;
  for (std::size_t i = 1; i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9' || n > 100000000) return std::nullopt;
    n = n * 10 + static_cast<std::size_t>(name[i] - '0');
  }
  if (n < ARules.FirstNumber) return std::nullopt;
  return n - ARules.FirstNumber;
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

// A JSON item as a parameter value, assigned in place so that a statement run again and again
// reuses its text buffers.  Only the fields of the new kind are set.
void AssignJson(sql::Value& v, const TJSON& item, const TDBABindRules& ARules) {
  switch (item.type()) {
    case TJSON::value_t::boolean:
      v.kind = sql::FieldKind::Bool;
      v.b = item.get<bool>();
      return;
    case TJSON::value_t::number_integer:
      v.kind = sql::FieldKind::Int64;
      v.i = item.get<std::int64_t>();
      return;
    case TJSON::value_t::number_unsigned: {
      const auto u = item.get<std::uint64_t>();
      if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        v.kind = sql::FieldKind::Int64;
        v.i = static_cast<std::int64_t>(u);
      } else if (ARules.HugeUnsignedAsDouble) {
        v.kind = sql::FieldKind::Double;
        v.d = static_cast<double>(u);
      } else {
        v.kind = sql::FieldKind::Text;
        v.s = std::to_string(u);
      }
      return;
    }
    case TJSON::value_t::number_float:
      v.kind = sql::FieldKind::Double;
      v.d = item.get<double>();
      return;
    case TJSON::value_t::string:
      v.kind = sql::FieldKind::Text;
      v.s.assign(item.get_ref<const std::string&>());
      return;
    case TJSON::value_t::array:
    case TJSON::value_t::object:
      v.kind = sql::FieldKind::Text;
      v.s = JsonSpaced(item);
      return;
    case TJSON::value_t::binary: {
      const auto& bin = item.get_binary();
      v.kind = sql::FieldKind::Blob;
      v.s.assign(bin.begin(), bin.end());
      return;
    }
    default:
      v.kind = sql::FieldKind::Null;
      return;
  }
}

constexpr std::size_t kNoItem = static_cast<std::size_t>(-1);

// Per name the statement uses, in ParamNames order, the item it takes under ARules (kNoItem:
// none).  Worked out once per statement text, not once per run.
void MapItems(const sql::Query& AQuery, const TDBABindRules& ARules, std::vector<std::size_t>& AItems) {
  AItems.clear();
  for (const std::string& name : AQuery.ParamNames()) AItems.push_back(ItemOf(name, ARules).value_or(kNoItem));
}

// Walks the names the statement uses (fewer than the items, as a rule); each placeholder
// named for an item takes it and items without a placeholder are skipped (or refused, see
// TDBABindRules::MaxItems).  A placeholder without an item is set to NULL when AClearMissing
// (a statement that may have run before), else left as it is.  AItems is MapItems' answer.
void BindItems(sql::Query& AQuery, const TJSON& AParams, const TDBABindRules& ARules, bool AClearMissing,
               const std::vector<std::size_t>& AItems) {
  const std::size_t count = AParams.is_array() ? AParams.size() : 0;
  if (ARules.MaxItems && count > *ARules.MaxItems)
    throw sql::SqlError(Format("Too many parameters: %d given for %d placeholders", count, *ARules.MaxItems));
  for (std::size_t k = 0; k < AItems.size(); ++k) {
    const std::size_t item = AItems[k];
    if (item < count)
      AssignJson(AQuery.ParamAt(k), AParams[item], ARules);
    else if (AClearMissing)
      AQuery.ParamAt(k).kind = sql::FieldKind::Null;
  }
}

// The server's version text from its first field, read outside any transaction.
enum class VersionRead { Row, NoRow, Failed };
VersionRead ReadVersion(sql::Connection& AConn, std::string_view AVersionSQL, std::string& AText) noexcept {
  try {
    sql::Query q(AConn);
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

}  // namespace

void BindJSONParams(sql::Query& AQuery, const TJSON& AParams, const TDBABindRules& ARules) {
  if (!AParams.is_array()) return;
  std::vector<std::size_t> items;
  MapItems(AQuery, ARules, items);
  BindItems(AQuery, AParams, ARules, /*AClearMissing=*/false, items);
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

bool TDBADialectBase::OpenAndNameServer(const TServerNaming& ANaming) {
  if (FConnected) return false;
  if (!FConnection) throw sql::SqlError(ANaming.NoConnection);
  if (FOwnsConnection) FConnection->Open();
  FConnected = true;
  std::string text;
  switch (ReadVersion(*FConnection, ANaming.VersionSQL, text)) {
    case VersionRead::Row: FServerFlavor = ANaming.OnRow(text); break;
    case VersionRead::NoRow: FServerFlavor = ANaming.NoRow; break;
    case VersionRead::Failed: FServerFlavor = ANaming.Failed; break;
  }
  return true;
}

void TDBADialectBase::Connect() {
  static constexpr TServerNaming kGeneric{"dbapi: dialect has no connection attached", "SELECT VERSION()",
                                          [](const std::string& v) { return v; }, "", ""};
  if (OpenAndNameServer(kGeneric)) FHooks->FireConnect(FServerFlavor);
}

std::unique_ptr<sql::Query> TDBADialectBase::OpenCatalogQuery(const char* ANoConnection, std::string ASQL,
                                                              std::string AName, bool ARollBackOnFailure) {
  if (!FConnection) throw sql::SqlError(ANoConnection);
  auto q = std::make_unique<sql::Query>(*FConnection, FTransaction);
  q->SetSQL(std::move(ASQL));
  if (q->HasParam("n")) q->SetParam("n", sql::Value::Text(std::move(AName)));
  try {
    q->Open();
  } catch (...) {
    if (ARollBackOnFailure) RollbackAfterFailure();
    throw;
  }
  return q;
}

std::vector<std::string> TDBADialectBase::CatalogNames(const char* ANoConnection, std::string ASQL,
                                                       bool ARollBackOnFailure) {
  const auto q = OpenCatalogQuery(ANoConnection, std::move(ASQL), {}, ARollBackOnFailure);
  std::vector<std::string> out;
  for (; !q->Eof(); q->Next()) out.push_back(q->Field(0).AsText());
  return out;
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
  return DBAInsertStmt(*this, "INSERT INTO", ATable, ACols) + " ON CONFLICT DO NOTHING";
}

std::string TDBADialectBase::OnConflictUpsert(std::string_view ATable, const std::vector<std::string>& AAllCols,
                                              const std::vector<std::string>& AKeyCols,
                                              std::string_view AExcluded) const {
  const std::string sets = DBAUpdateSets(*this, AAllCols, AKeyCols, AExcluded, "");
  return DBAInsertStmt(*this, "INSERT INTO", ATable, AAllCols) + " ON CONFLICT (" + DBAJoinQuoted(*this, AKeyCols) +
         ")" + (sets.empty() ? " DO NOTHING" : " DO UPDATE SET " + sets);
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

sql::Query& TDBADialectBase::LeaseStatement(std::string_view ASQL, std::unique_ptr<sql::Query>& ATemp,
                                            std::vector<std::size_t>& ATempItems,
                                            const std::vector<std::size_t>*& AItems) {
  if (FStatementBusy) {
    ATemp = std::make_unique<sql::Query>(*FConnection, FTransaction);
    ATemp->SetSQL(std::string(ASQL));
    MapItems(*ATemp, TDBABindRules{}, ATempItems);
    AItems = &ATempItems;
    return *ATemp;
  }
  if (!FStatement) FStatement = std::make_unique<sql::Query>(*FConnection, FTransaction);
  if (FStatement->SQL() != ASQL || ASQL.empty()) {
    FStatementItems.clear();
    FStatement->SetSQL(std::string(ASQL));
    MapItems(*FStatement, TDBABindRules{}, FStatementItems);
  }
  FStatementBusy = true;
  AItems = &FStatementItems;
  return *FStatement;
}

void TDBADialectBase::ReturnStatement(sql::Query& AQuery) noexcept {
  AQuery.Close();
  if (&AQuery != FStatement.get()) return;
  FStatementBusy = false;
  // Do not keep large parameter values alive until the next statement.
  AQuery.ReleaseLargeParams(4096);
}

template <class Run>
bool TDBADialectBase::RunStatement(std::string_view ASQL, const TJSON& AParams, bool ACommit, std::int64_t& ALogged,
                                   Run&& ARun) {
  bool cancel = false;
  FHooks->FireBeforeQuery(ASQL, AParams, cancel);
  if (cancel) return false;
  if (!FConnection) throw sql::SqlError("dbapi: dialect has no connection attached");
  const StatementTimer timer(FHooks->HasAfterQuery());
  ALogged = -1;
  try {
    std::unique_ptr<sql::Query> temp;
    std::vector<std::size_t> temp_items;
    sql::Query* q = nullptr;
    const std::vector<std::size_t>* items = nullptr;
    try {
      q = &LeaseStatement(ASQL, temp, temp_items, items);
      BindItems(*q, AParams, TDBABindRules{}, /*AClearMissing=*/true, *items);
      ALogged = ARun(*q);
    } catch (...) {
      if (q) ReturnStatement(*q);
      throw;
    }
    ReturnStatement(*q);
    if (ACommit && FOwnsConnection && !FExplicitBatch && FTransaction) FTransaction->CommitRetaining();
  } catch (const std::exception& e) {
    RollbackAfterFailure();
    bool handled = false;
    FHooks->FireError(ASQL, e.what(), handled);
    if (!handled) throw;
    ALogged = -1;
  }
  FireQueryLog(ASQL, timer.ElapsedMs(), AParams, ALogged);
  return true;
}

std::int64_t TDBADialectBase::ExecSQL(std::string_view ASQL, const TJSON& AParams) {
  std::int64_t affected = 0;  // a cancelled statement affects nothing
  RunStatement(ASQL, AParams, /*ACommit=*/true, affected, [](sql::Query& q) { return q.ExecSQL(); });
  return affected;
}

TJSON TDBADialectBase::QuerySQL(std::string_view ASQL, const TJSON& AParams) {
  TJSON rows = TJSON::array();
  std::int64_t logged = -1;
  RunStatement(ASQL, AParams, /*ACommit=*/false, logged, [&rows](sql::Query& q) -> std::int64_t {
    q.Open();
    while (!q.Eof()) {
      rows.push_back(DBARowToJSON(q));
      q.Next();
    }
    return -1;  // a query's row count is not logged as affected rows
  });
  return rows;
}

std::string TDBADialectBase::CreateIndexSQL(std::string_view ATable, const TDBAIndexSpec& ASpec) {
  return BuildCreateIndex(*this, ATable, ASpec);
}

}  // namespace ov
