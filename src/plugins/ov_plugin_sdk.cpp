// The plug-in SDK (extern "C", exported from the executable) and the conversions of the binary
// interface's data.  SDK functions never throw into plug-in code: bad input (NULL, a value of
// the wrong kind) does nothing or answers NULL / the default.
#include "ov_plugin_sdk.h"

#include <limits>
#include <new>
#include <stdexcept>

namespace ov {

namespace {

// The elements of a plug-in's array, element 0 and highest index.
template <class T>
std::pair<const T*, std::size_t> ArrayItems(const T* first, std::int64_t high) {
  if (high < -1 || high > kMaxOVArray) throw std::invalid_argument("Invalid array from plugin (highest index " + std::to_string(high) + ")");
  if (!first) return {nullptr, 0};
  return {first, static_cast<std::size_t>(high + 1)};
}

template <class T, class F>
auto MapArray(const T* arr, F&& f) {
  const auto [items, n] = ArrayItems(arr, ovarr_high(arr));
  std::vector<decltype(f(*items))> out;
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) out.push_back(f(items[i]));
  return out;
}

template <class T>
const T& Require(const T* spec, const char* what) {
  if (!spec) throw std::invalid_argument(std::string("Missing ") + what + " from plugin");
  return *spec;
}

}  // namespace

std::vector<std::string> OVStrArrayToVector(const OVStr* first, std::int64_t high) {
  const auto [items, n] = ArrayItems(first, high);
  std::vector<std::string> out;
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) out.push_back(OVStrText(items[i]));
  return out;
}

TDBAColumnSpec FromOVColumn(const OVDBAColumnSpec* spec) {
  const OVDBAColumnSpec& c = Require(spec, "column spec");
  TDBAColumnSpec out = MakeColumn(OVStrText(c.Name), static_cast<TDBAColumnType>(c.ColType), c.Length,
                                  c.Nullable != 0, OVStrText(c.DefaultExpr), c.PrimaryKey != 0, c.Unique != 0,
                                  c.AutoIncrement != 0);
  out.CaseInsensitive = c.CaseInsensitive != 0;
  out.ForeignKey = MakeFK(OVStrText(c.ForeignKey.RefTable), OVStrText(c.ForeignKey.RefColumn),
                          static_cast<TDBAOnDeleteAction>(c.ForeignKey.OnDelete));
  return out;
}

TDBAIndexSpec FromOVIndex(const OVDBAIndexSpec* spec) {
  const OVDBAIndexSpec& i = Require(spec, "index spec");
  return MakeIndex(OVStrText(i.Name), OVStrArrayToVector(i.Columns), i.Unique != 0);
}

TDBATableSpec FromOVTable(const OVDBATableSpec* spec) {
  const OVDBATableSpec& t = Require(spec, "table spec");
  TDBATableSpec out;
  out.Name = OVStrText(t.Name);
  out.Columns = MapArray(t.Columns, [](const OVDBAColumnSpec& c) { return FromOVColumn(&c); });
  out.Indexes = MapArray(t.Indexes, [](const OVDBAIndexSpec& i) { return FromOVIndex(&i); });
  out.UniqueConstraints = MapArray(t.UniqueConstraints, [](const OVDBAUniqueConstraint& u) {
    return MakeUnique(OVStrText(u.Name), OVStrArrayToVector(u.Columns));
  });
  out.PrimaryKeyColumns = OVStrArrayToVector(t.PrimaryKeyColumns);
  return out;
}

TDBASelectSpec FromOVSelect(const OVDBASelectSpec* spec) {
  const OVDBASelectSpec& s = Require(spec, "select spec");
  TDBASelectSpec out;
  out.Table = OVStrText(s.Table);
  out.Columns = OVStrArrayToVector(s.Columns);
  out.Where = FromOVCriterion(s.Where);
  out.OrderBy = MapArray(s.OrderBy, [](const OVDBAOrderSpec& o) {
    return MakeOrder(OVStrText(o.Column), static_cast<TDBAOrderDir>(o.Direction));
  });
  out.Limit = s.Limit;
  out.Offset = s.Offset;
  return out;
}

}  // namespace ov

// ---- the SDK ------------------------------------------------------------------------------

using ov::TJSON;

namespace {

TJSON* J(OVJson* v) noexcept { return ov::FromOVJson(v); }
const TJSON* J(const OVJson* v) noexcept { return ov::FromOVJson(v); }
OVJson* OV(TJSON* v) noexcept { return reinterpret_cast<OVJson*>(v); }

// Runs f; an exception (only allocation failures can reach here) gives fallback.
template <class R, class F>
R Safely(R fallback, F&& f) noexcept {
  try {
    return f();
  } catch (...) {
    return fallback;
  }
}
template <class F>
void Safely(F&& f) noexcept {
  try {
    f();
  } catch (...) {
  }
}

// Sets obj[name] when obj is an object and name is given.
void SetMember(OVJson* obj, const char* name, TJSON value) {
  TJSON* o = J(obj);
  if (o && name && o->is_object()) (*o)[name] = std::move(value);
}

const TJSON* Member(const OVJson* obj, const char* name) {
  const TJSON* o = J(obj);
  if (!o || !name || !o->is_object()) return nullptr;
  auto it = o->find(name);
  return it == o->end() ? nullptr : &*it;
}

ov::TDBACriterion* C(OVDBACriterion* c) noexcept { return reinterpret_cast<ov::TDBACriterion*>(c); }
OVDBACriterion* OVC(std::unique_ptr<ov::TDBACriterion> c) noexcept { return reinterpret_cast<OVDBACriterion*>(c.release()); }
std::string Text(const char* s) { return s ? std::string(s) : std::string(); }

}  // namespace

OVJson* ovj_parse(const char* text) {
  return Safely<OVJson*>(nullptr, [&]() -> OVJson* {
    if (!text) return nullptr;
    auto v = ov::ParseJson(text);
    return v ? OV(new TJSON(std::move(*v))) : nullptr;
  });
}

OVStr ovj_write(const OVJson* value) {
  return Safely<OVStr>(nullptr, [&] { return value ? ov::NewOVStr(ov::JsonCompact(*J(value))) : nullptr; });
}

void ovj_free(OVJson* value) { delete J(value); }

OVJson* ovj_new_object(void) {
  return Safely<OVJson*>(nullptr, [] { return OV(new TJSON(TJSON::object())); });
}

OVJson* ovj_new_array(void) {
  return Safely<OVJson*>(nullptr, [] { return OV(new TJSON(TJSON::array())); });
}

void ovj_set_str(OVJson* obj, const char* name, const char* value) {
  Safely([&] { SetMember(obj, name, TJSON(Text(value))); });
}

void ovj_set_int(OVJson* obj, const char* name, int64_t value) {
  Safely([&] { SetMember(obj, name, TJSON(value)); });
}

void ovj_set_bool(OVJson* obj, const char* name, int value) {
  Safely([&] { SetMember(obj, name, TJSON(value != 0)); });
}

void ovj_set(OVJson* obj, const char* name, OVJson* value) {
  std::unique_ptr<TJSON> v(J(value));
  if (v) Safely([&] { SetMember(obj, name, std::move(*v)); });
}

void ovj_push(OVJson* arr, OVJson* value) {
  std::unique_ptr<TJSON> v(J(value));
  TJSON* a = J(arr);
  if (v && a && a->is_array()) Safely([&] { a->push_back(std::move(*v)); });
}

OVJson* ovj_get(const OVJson* obj, const char* name) { return OV(const_cast<TJSON*>(Member(obj, name))); }

OVJson* ovj_at(const OVJson* arr, int64_t index) {
  const TJSON* a = J(arr);
  if (!a || !a->is_array() || index < 0 || static_cast<uint64_t>(index) >= a->size()) return nullptr;
  return OV(const_cast<TJSON*>(&(*a)[static_cast<std::size_t>(index)]));
}

int64_t ovj_size(const OVJson* value) {
  const TJSON* v = J(value);
  return v && (v->is_object() || v->is_array()) ? static_cast<int64_t>(v->size()) : 0;
}

int ovj_type(const OVJson* value) {
  const TJSON* v = J(value);
  if (!v) return OVJ_NONE;
  switch (v->type()) {
    case TJSON::value_t::object: return OVJ_OBJECT;
    case TJSON::value_t::array: return OVJ_ARRAY;
    case TJSON::value_t::string: return OVJ_STRING;
    case TJSON::value_t::boolean: return OVJ_BOOL;
    case TJSON::value_t::number_integer:
    case TJSON::value_t::number_unsigned: return OVJ_INT;
    case TJSON::value_t::number_float: return OVJ_FLOAT;
    default: return OVJ_NULL;
  }
}

const char* ovj_get_str(const OVJson* obj, const char* name) {
  const TJSON* m = Member(obj, name);
  return m && m->is_string() ? m->get_ref<const std::string&>().c_str() : nullptr;
}

int64_t ovj_get_int(const OVJson* obj, const char* name, int64_t default_value) {
  const TJSON* o = J(obj);
  if (!o || !name) return default_value;
  return ov::JInt(*o, name, default_value);
}

OVDBACriterion* ovdba_cmp(const char* column, int32_t op, OVJson* value) {
  std::unique_ptr<TJSON> v(J(value));
  return Safely<OVDBACriterion*>(nullptr, [&] {
    const auto o = static_cast<ov::TDBACompareOp>(op);
    if (!v) return OVC(std::make_unique<ov::TDBACompareCriterion>(Text(column), o));
    return OVC(ov::Cmp(Text(column), o, std::move(*v)));
  });
}

OVDBACriterion* ovdba_cmp_str(const char* column, int32_t op, const char* value) {
  return Safely<OVDBACriterion*>(nullptr, [&] {
    return OVC(ov::CmpStr(Text(column), static_cast<ov::TDBACompareOp>(op), Text(value)));
  });
}

OVDBACriterion* ovdba_cmp_int(const char* column, int32_t op, int64_t value) {
  return Safely<OVDBACriterion*>(nullptr, [&] {
    return OVC(ov::CmpInt(Text(column), static_cast<ov::TDBACompareOp>(op), value));
  });
}

OVDBACriterion* ovdba_cmp_bool(const char* column, int32_t op, int value) {
  return Safely<OVDBACriterion*>(nullptr, [&] {
    return OVC(ov::CmpBool(Text(column), static_cast<ov::TDBACompareOp>(op), value != 0));
  });
}

OVDBACriterion* ovdba_is_null(const char* column) {
  return Safely<OVDBACriterion*>(nullptr, [&] { return OVC(ov::IsNull(Text(column))); });
}

OVDBACriterion* ovdba_is_not_null(const char* column) {
  return Safely<OVDBACriterion*>(nullptr, [&] { return OVC(ov::IsNotNull(Text(column))); });
}

OVDBACriterion* ovdba_and(void) {
  return Safely<OVDBACriterion*>(nullptr, [] { return OVC(std::make_unique<ov::TDBACompoundCriterion>(ov::dboAnd)); });
}

OVDBACriterion* ovdba_or(void) {
  return Safely<OVDBACriterion*>(nullptr, [] { return OVC(std::make_unique<ov::TDBACompoundCriterion>(ov::dboOr)); });
}

int ovdba_add(OVDBACriterion* compound, OVDBACriterion* child) {
  std::unique_ptr<ov::TDBACriterion> ch(C(child));
  auto* parent = dynamic_cast<ov::TDBACompoundCriterion*>(C(compound));
  if (!parent) return 0;
  return Safely<int>(0, [&] {
    parent->Add(std::move(ch));
    return 1;
  });
}

void ovdba_free(OVDBACriterion* criterion) { delete C(criterion); }

OVDBAColumnSpec ovdba_make_column(const char* name, int32_t col_type, int32_t length, int nullable,
                                  const char* default_expr, int primary_key, int unique, int auto_increment) {
  OVDBAColumnSpec c;
  std::memset(&c, 0, sizeof c);
  c.Name = ovstr_new(name);
  c.ColType = col_type;
  c.Length = length;
  c.Nullable = nullable != 0;
  c.DefaultExpr = ovstr_new(default_expr);
  c.PrimaryKey = primary_key != 0;
  c.Unique = unique != 0;
  c.AutoIncrement = auto_increment != 0;
  c.ForeignKey.OnDelete = OVDBA_NO_ACTION;
  return c;
}

void ovdba_column_release(OVDBAColumnSpec* column) {
  if (!column) return;
  ovstr_release(column->Name);
  ovstr_release(column->DefaultExpr);
  ovstr_release(column->ForeignKey.RefTable);
  ovstr_release(column->ForeignKey.RefColumn);
  std::memset(column, 0, sizeof *column);
}
