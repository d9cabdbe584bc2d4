// The heart of the portable SQL library: the dialect interface IDBADialect, the schema and
// selection records, the criterion trees with their builders, and the base class
// TDBADialectBase that runs statements with JSON parameter arrays, turns rows into JSON
// objects and renders criteria as SQL.  Backends (dbapi_sqlite, and dbapi_mariadb and
// dbapi_postgres through dbapi_server) derive from TDBADialectBase and supply their SQL words.
//
// A dialect is shared: IDBADialect is an abstract class held by std::shared_ptr<IDBADialect>
// (TDBADialectRef), and dropping the last reference disconnects and frees it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "dbapi_consts.h"
#include "dbapi_hooks.h"
#include "ov_json_helpers.h"
#include "ov_sqlconn.h"

namespace ov {

// ---------------------------------------------------------------------------------------------
// Schema and selection records

struct TDBAForeignKey {
  std::string RefTable;  // empty: the column has no foreign key
  std::string RefColumn;
  TDBAOnDeleteAction OnDelete = doaNoAction;
};

struct TDBAColumnSpec {
  std::string Name;
  TDBAColumnType ColType = dctText;
  std::int32_t Length = 0;  // dctVarchar; below 1 means no length
  bool Nullable = true;
  std::string DefaultExpr;  // SQL text of the default; empty = none
  bool PrimaryKey = false;
  bool Unique = false;
  bool AutoIncrement = false;
  bool CaseInsensitive = false;
  TDBAForeignKey ForeignKey;
};

struct TDBAIndexSpec {
  std::string Name;
  std::vector<std::string> Columns;
  bool Unique = false;
};

struct TDBAUniqueConstraint {
  std::string Name;  // empty = unnamed
  std::vector<std::string> Columns;
};

struct TDBATableSpec {
  std::string Name;
  std::vector<TDBAColumnSpec> Columns;
  std::vector<TDBAIndexSpec> Indexes;
  std::vector<TDBAUniqueConstraint> UniqueConstraints;
  std::vector<std::string> PrimaryKeyColumns;
};

struct TDBAOrderSpec {
  std::string Column;
  TDBAOrderDir Direction = dodAsc;
};

class TDBACriterion;

struct TDBASelectSpec {
  std::string Table;
  std::vector<std::string> Columns;        // empty = all columns
  const TDBACriterion* Where = nullptr;    // nullptr = all rows; not owned
  std::vector<TDBAOrderSpec> OrderBy;
  std::int32_t Limit = 0;                  // 0 or less = none
  std::int32_t Offset = 0;                 // 0 or less = none
};

// ---------------------------------------------------------------------------------------------
// Criteria

class TDBACriterion {
 public:
  virtual ~TDBACriterion() = default;

 protected:
  TDBACriterion() = default;
};
using TDBACriterionPtr = std::unique_ptr<TDBACriterion>;

class TDBACompareCriterion : public TDBACriterion {
 public:
  // No value, not owning (Create).
  TDBACompareCriterion(std::string AColumn, TDBACompareOp AOp);
  // Owns its value (CreateCmp with AOwnsValue = true).
  TDBACompareCriterion(std::string AColumn, TDBACompareOp AOp, TJSON AValue);
  // Refers to a value owned elsewhere, which must outlive the criterion (AOwnsValue = false);
  // nullptr means no value.
  TDBACompareCriterion(std::string AColumn, TDBACompareOp AOp, const TJSON* AValue);

  const std::string& Column() const noexcept { return FColumn; }
  TDBACompareOp Op() const noexcept { return FOp; }
  const TJSON* Value() const noexcept { return FValue; }  // nullptr = nil
  bool OwnsValue() const noexcept { return FOwned != nullptr; }

 private:
  std::string FColumn;
  TDBACompareOp FOp;
  std::unique_ptr<TJSON> FOwned;
  const TJSON* FValue = nullptr;
};

class TDBACompoundCriterion : public TDBACriterion {
 public:
  explicit TDBACompoundCriterion(TDBABoolOp AOp) : FOp(AOp) {}
  TDBABoolOp BoolOp() const noexcept { return FOp; }
  // Appends and takes ownership; a null child is ignored.
  void Add(TDBACriterionPtr AChild);
  std::size_t ChildCount() const noexcept { return FChildren.size(); }
  const TDBACriterion* Child(std::size_t AIndex) const { return FChildren.at(AIndex).get(); }

 private:
  TDBABoolOp FOp;
  std::vector<TDBACriterionPtr> FChildren;
};

// Record builders.
TDBAColumnSpec MakeColumn(std::string AName, TDBAColumnType AType, std::int32_t ALength = 0, bool ANullable = true,
                          std::string ADefault = {}, bool APrimaryKey = false, bool AUnique = false,
                          bool AAutoIncrement = false);
TDBAIndexSpec MakeIndex(std::string AName, std::vector<std::string> AColumns, bool AUnique = false);
TDBAUniqueConstraint MakeUnique(std::string AName, std::vector<std::string> AColumns);
TDBAForeignKey MakeFK(std::string ARefTable, std::string ARefColumn, TDBAOnDeleteAction AOnDelete = doaNoAction);
TDBAOrderSpec MakeOrder(std::string AColumn, TDBAOrderDir ADir = dodAsc);

// Criterion builders; the caller owns the result.
std::unique_ptr<TDBACompareCriterion> Cmp(std::string AColumn, TDBACompareOp AOp, TJSON AValue);
std::unique_ptr<TDBACompareCriterion> CmpStr(std::string AColumn, TDBACompareOp AOp, std::string AValue);
std::unique_ptr<TDBACompareCriterion> CmpInt(std::string AColumn, TDBACompareOp AOp, std::int64_t AValue);
std::unique_ptr<TDBACompareCriterion> CmpBool(std::string AColumn, TDBACompareOp AOp, bool AValue);
std::unique_ptr<TDBACompareCriterion> IsNull(std::string AColumn);
std::unique_ptr<TDBACompareCriterion> IsNotNull(std::string AColumn);
std::unique_ptr<TDBACompoundCriterion> AndOf(std::vector<TDBACriterionPtr> AChildren);
std::unique_ptr<TDBACompoundCriterion> OrOf(std::vector<TDBACriterionPtr> AChildren);
// AndOf(a, b, c) / OrOf(a, b, c) with unique_ptr arguments.
template <class... C>
std::unique_ptr<TDBACompoundCriterion> AndOf(std::unique_ptr<C>... AChildren) {
  std::vector<TDBACriterionPtr> v;
  (v.push_back(std::move(AChildren)), ...);
  return AndOf(std::move(v));
}
template <class... C>
std::unique_ptr<TDBACompoundCriterion> OrOf(std::unique_ptr<C>... AChildren) {
  std::vector<TDBACriterionPtr> v;
  (v.push_back(std::move(AChildren)), ...);
  return OrOf(std::move(v));
}

// ---------------------------------------------------------------------------------------------
// The dialect interface

class IDBADialect {
 public:
  static constexpr const char* kIID = "{3F1E4A20-5B7C-4D18-9B2A-7E3A6C8D1F01}";
  virtual ~IDBADialect() = default;

  virtual TDBABackend Backend() const = 0;
  virtual std::string ServerFlavor() const = 0;
  virtual TDBAHookRegistry& Hooks() const = 0;
  virtual sql::Connection* Connection() const = 0;
  virtual bool Owned() const = 0;
  virtual bool IsConnected() const = 0;
  virtual void Connect() = 0;
  virtual void Disconnect() = 0;
  virtual std::string QuoteIdent(std::string_view AName) const = 0;
  virtual std::string NowExpr() const = 0;
  virtual std::string DateAddExpr(std::int32_t AAmount, TDBADateUnit AUnit) const = 0;
  virtual std::string AutoIncPrimaryKey(TDBAColumnType AType) const = 0;
  virtual std::string SqlType(TDBAColumnType AType, std::int32_t ALength) const = 0;
  virtual std::string BooleanLiteral(bool AValue) const = 0;
  virtual std::string UpsertStmt(std::string_view ATable, const std::vector<std::string>& AAllCols,
                                 const std::vector<std::string>& AKeyCols) const = 0;
  virtual std::string InsertReturningIdClause() const = 0;
  // Appends the values the condition needs to AParams (made an array when it is not one) and
  // numbers their placeholders :p<count after append>.  nullptr gives "".
  virtual std::string WhereToSQL(const TDBACriterion* ACriterion, TJSON& AParams) const = 0;
  virtual std::string CollationClause(bool ACaseInsensitive) const = 0;
  virtual std::string OnDeleteAction(TDBAOnDeleteAction AAction) const = 0;
  virtual std::string InsertOrIgnoreStmt(std::string_view ATable, const std::vector<std::string>& ACols) const = 0;
  // AParams: a JSON array bound as :p1, :p2, ...; JSON null (e.g. {}) means no parameters.
  // Returns the affected-row count (-1 after an error a hook handled, 0 when cancelled).
  virtual std::int64_t ExecSQL(std::string_view ASQL, const TJSON& AParams) = 0;
  virtual TJSON QuerySQL(std::string_view ASQL, const TJSON& AParams) = 0;
  virtual std::int64_t GetLastInsertID() = 0;
  virtual bool TableExists(std::string_view AName) = 0;
  virtual TJSON GetColumns(std::string_view ATable) = 0;
  // The names of the tables of the connected database (schema), ordered by name.
  virtual std::vector<std::string> ListTables() = 0;

  // ---- transaction, paging, batches and DDL fitting ----
  // The transaction every statement of this dialect runs in (nullptr for a borrowed
  // connection without one: statements then run in the owner's transaction state).
  virtual sql::Transaction* Transaction() const = 0;
  // " LIMIT n", " OFFSET m" or both for a selection (n, m <= 0: none).  An offset without a
  // limit uses the dialect's no-limit form (SQLite " LIMIT -1 OFFSET m", MariaDB
  // " LIMIT 18446744073709551615 OFFSET m", PostgreSQL " OFFSET m").
  virtual std::string LimitOffsetClause(std::int64_t ALimit, std::int64_t AOffset) const = 0;
  // While an explicit batch is open an owning dialect neither commits after ExecSQL nor rolls
  // back after a failing statement: the batch's owner does.  Outside a batch an owning
  // dialect commits-retaining after each ExecSQL and rolls its transaction back when a
  // statement fails, so the connection is clean for the next writer.
  virtual void SetExplicitBatch(bool AOn) = 0;
  virtual bool InExplicitBatch() const = 0;
  // Fits a table declaration to the server before its DDL is written (MariaDB gives integer
  // foreign-key columns the type of the key they reference, and unique TEXT keys an index
  // that can find a row).  Nothing by default.
  virtual void AdaptTableSpec(TDBATableSpec& ASpec) = 0;
  // The statement that ensures an index (MariaDB gives TEXT/BLOB columns of non-unique indexes
  // a prefix length).  Default: BuildCreateIndex.
  virtual std::string CreateIndexSQL(std::string_view ATable, const TDBAIndexSpec& ASpec) = 0;
};
using TDBADialectRef = std::shared_ptr<IDBADialect>;

// ---------------------------------------------------------------------------------------------
// Helpers shared by the backends

// How BindJSONParams maps a JSON array onto a statement's placeholders.  The defaults are the
// dialects' own rules; the hub's SQL bridge, which writes ":p0, :p1, ..." itself for a node's
// "?" placeholders, numbers from 0, refuses surplus items and passes huge unsigned numbers on
// as doubles.
struct TDBABindRules {
  // Item i binds ":p<i + FirstNumber>" (the number without leading zeros, "p" in either case).
  std::size_t FirstNumber = 1;
  // Set: the number of placeholders the statement was written with; an array with more items
  // is refused before anything is bound (sql::SqlError "Too many parameters: <items> given
  // for <MaxItems> placeholders").  Unset: items without a placeholder are skipped.
  std::optional<std::size_t> MaxItems;
  // An unsigned number above 2^63-1: its decimal text (false) or a double (true).
  bool HugeUnsignedAsDouble = false;
};

// Binds a JSON array to a query: item i (from 0) to ":p<i + FirstNumber>" when the query
// names it; a placeholder without an item is left as it is (NULL on a fresh query).
// null -> NULL, floating-point number -> double, other number -> 64-bit integer (an unsigned
// value above 2^63-1 as ARules says), string -> text, boolean -> boolean, array/object ->
// text in the spaced JSON form (JsonSpaced), binary -> blob.  JSON null AParams binds nothing.
void BindJSONParams(sql::Query& AQuery, const TJSON& AParams, const TDBABindRules& ARules = {});
// A field as JSON: NULL -> null, Int64 -> 64-bit integer, Bool -> boolean, Double -> number,
// everything else (text, dates, times, blobs) -> string of its text.
TJSON DBAValueToJSON(const sql::Value& AValue);
// The current row of an open query as a JSON object (one member per field, field order).
TJSON DBARowToJSON(const sql::Query& AQuery);
// Quoted names joined by ", ".
std::string DBAJoinQuoted(const IDBADialect& ADialect, const std::vector<std::string>& ANames);
// ":p1, :p2, ..., :pN".
std::string DBAPlaceholders(std::size_t ACount);
// AName between two AQuote characters, an AQuote inside doubled; ALowerCase folds ASCII
// letters to lower case first.
std::string DBAQuoteName(std::string_view AName, char AQuote, bool ALowerCase = false);
// "<AInsertInto> q(ATable) (q(c1), q(c2), ...) VALUES (:p1, :p2, ...)", AInsertInto being e.g.
// "INSERT INTO" or "INSERT IGNORE INTO".
std::string DBAInsertStmt(const IDBADialect& ADialect, std::string_view AInsertInto, std::string_view ATable,
                          const std::vector<std::string>& ACols);
// The SET list of an upsert: "q(c) = <ANewBefore>q(c)<ANewAfter>" for every column of AAllCols
// that is not one of AKeyCols, joined by ", " ("" when every column is a key).
std::string DBAUpdateSets(const IDBADialect& ADialect, const std::vector<std::string>& AAllCols,
                          const std::vector<std::string>& AKeyCols, std::string_view ANewBefore,
                          std::string_view ANewAfter);
// One entry of GetColumns: {"name", "type", "nullable", "default" (null = none), "is_pk"}.
TJSON DBAColumnInfo(std::string AName, std::string AType, bool ANullable, TJSON ADefault, bool AIsPk);
// Refuses a connection a dialect cannot borrow: nullptr ("<AUnit>: CreateFromConnection: AConn
// is nil") or one of another kind ("<AUnit>: CreateFromConnection: not <AKindName> connection").
void DBACheckBorrowed(const sql::Connection* AConn, sql::Backend AKind, std::string_view AUnit,
                      std::string_view AKindName);
// ASCII case-insensitive equality of names.
bool DBASameName(std::string_view A, std::string_view B) noexcept;
sql::Backend DBAToSqlBackend(TDBABackend ABackend) noexcept;

// ---------------------------------------------------------------------------------------------
// Base class

class TDBADialectBase : public IDBADialect {
 public:
  TDBADialectBase();
  ~TDBADialectBase() override;
  TDBADialectBase(const TDBADialectBase&) = delete;
  TDBADialectBase& operator=(const TDBADialectBase&) = delete;

  std::string ServerFlavor() const override { return FServerFlavor; }
  TDBAHookRegistry& Hooks() const override { return *FHooks; }
  sql::Connection* Connection() const override { return FConnection; }
  bool Owned() const override { return FOwnsConnection; }
  bool IsConnected() const override;
  void Connect() override;  // generic: the server named by "SELECT VERSION()"; backends override it
  void Disconnect() override;
  std::string InsertReturningIdClause() const override { return {}; }
  std::string WhereToSQL(const TDBACriterion* ACriterion, TJSON& AParams) const override;
  std::string CollationClause(bool) const override { return {}; }
  std::string OnDeleteAction(TDBAOnDeleteAction AAction) const override;
  std::string InsertOrIgnoreStmt(std::string_view ATable, const std::vector<std::string>& ACols) const override;
  std::int64_t ExecSQL(std::string_view ASQL, const TJSON& AParams) override;
  TJSON QuerySQL(std::string_view ASQL, const TJSON& AParams) override;
  // The id captured on the connection when its last INSERT/REPLACE ran (0 when it generated
  // none): no extra query, and not moved by other statements run in between.
  std::int64_t GetLastInsertID() override { return FConnection ? FConnection->LastInsertId() : 0; }

  sql::Transaction* Transaction() const override { return FTransaction; }
  // Base: " LIMIT n" and/or " OFFSET m" (standard SQL; an offset alone is " OFFSET m").
  std::string LimitOffsetClause(std::int64_t ALimit, std::int64_t AOffset) const override;
  void SetExplicitBatch(bool AOn) override { FExplicitBatch = AOn; }
  void AdaptTableSpec(TDBATableSpec&) override {}
  std::string CreateIndexSQL(std::string_view ATable, const TDBAIndexSpec& ASpec) override;
  bool InExplicitBatch() const override { return FExplicitBatch; }

  // Owned: the dialect opens, commits, closes and frees the connection and its own
  // transaction object.
  void AttachConnection(std::unique_ptr<sql::Connection> AConn);
  // Borrowed: statements run on AConn in ATrans (may be nullptr); nothing is opened, committed
  // or freed by the dialect.
  void AttachConnection(sql::Connection* AConn, sql::Transaction* ATrans);
  void FireQueryLog(std::string_view ASQL, std::int64_t ADurationMs, const TJSON& AParams, std::int64_t ARowsAffected);

 protected:
  // Rendering of one compare criterion (q = QuoteIdent(column)); used by WhereToSQL.
  std::string CompareToSQL(const TDBACompareCriterion& C, TJSON& AParams) const;
  // "INSERT INTO ... ON CONFLICT (keys) DO UPDATE SET c = <AExcluded>c, ..." (DO NOTHING when
  // every column is a key), AExcluded naming the proposed row ("EXCLUDED." or "excluded.").
  std::string OnConflictUpsert(std::string_view ATable, const std::vector<std::string>& AAllCols,
                               const std::vector<std::string>& AKeyCols, std::string_view AExcluded) const;
  // After a failing statement outside an explicit batch, an owning dialect rolls back.
  void RollbackAfterFailure() noexcept;

  // How Connect names the server (FServerFlavor): OnRow(text of the version query's first
  // field) when it answers a row, NoRow when it answers none, Failed when it fails.
  struct TServerNaming {
    const char* NoConnection;  // the error when no connection is attached
    const char* VersionSQL;
    std::string (*OnRow)(const std::string& AVersion);
    const char* NoRow;
    const char* Failed;
  };
  // The shared part of Connect.  False when already connected.  Otherwise throws without a
  // connection, opens an owned one, marks the dialect connected and names the server; the
  // version query runs outside any transaction, so connecting never leaves one open.  The
  // caller fires the connect hook.
  bool OpenAndNameServer(const TServerNaming& ANaming);

  // A catalog query (TableExists, GetColumns) opened on this dialect's connection and
  // transaction, ":n" bound to AName when the text names it.  Throws ANoConnection without a
  // connection.  When it fails, an owning dialect outside a batch rolls back first if
  // ARollBackOnFailure (needed where a failed statement aborts the transaction).
  std::unique_ptr<sql::Query> OpenCatalogQuery(const char* ANoConnection, std::string ASQL, std::string AName,
                                               bool ARollBackOnFailure = false);
  // The first column of every row of a catalog query, as text.
  std::vector<std::string> CatalogNames(const char* ANoConnection, std::string ASQL, bool ARollBackOnFailure = false);

  sql::Connection* FConnection = nullptr;
  sql::Transaction* FTransaction = nullptr;
  bool FOwnsConnection = false;
  std::unique_ptr<TDBAHookRegistry> FHooks;
  std::string FServerFlavor;
  bool FConnected = false;
  bool FExplicitBatch = false;

 private:
  // ExecSQL and QuerySQL reuse one query object while the statement text stays the same (the
  // usual case for repeated inserts): no scan, no allocation per run.  A re-entrant call (from
  // a hook handler) gets a query of its own.
  // AItems gets the item each of its placeholders takes from a parameter array (held in
  // ATempItems for a query of its own).
  sql::Query& LeaseStatement(std::string_view ASQL, std::unique_ptr<sql::Query>& ATemp,
                             std::vector<std::size_t>& ATempItems, const std::vector<std::size_t>*& AItems);
  void ReturnStatement(sql::Query& AQuery) noexcept;
  // The frame of ExecSQL and QuerySQL: the before-query hook (false when a handler cancels:
  // ALogged is left alone), the leased statement with AParams bound, ARun on it (its result
  // goes to ALogged), commit-retaining when ACommit and an owning dialect is outside a batch,
  // the error hook after a failure (rethrown unless a handler takes it: ALogged = -1) and the
  // after-query hook with ALogged.
  template <class Run>
  bool RunStatement(std::string_view ASQL, const TJSON& AParams, bool ACommit, std::int64_t& ALogged, Run&& ARun);

  std::unique_ptr<sql::Connection> FOwnedConnection;
  std::unique_ptr<sql::Transaction> FOwnedTransaction;
  std::unique_ptr<sql::Query> FStatement;
  std::vector<std::size_t> FStatementItems;  // per placeholder of FStatement, its array item
  bool FStatementBusy = false;
};

}  // namespace ov
