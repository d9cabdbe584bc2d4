// The server's side of the plug-in binary interface's data: OVStr strings and arrays, JSON
// values and the database records, turned into the server's own types and back.  The
// extern "C" SDK that plug-ins call (ovj_*, ovdba_*) is defined in ov_plugin_sdk.cpp and
// exported by the executable through the linker's dynamic list (ov_plugin_sdk.dynlist).
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "dbapi_dialect.h"
#include "ov_json_helpers.h"
#include "orvanta/plugin_abi.h"

namespace ov {

// ---- strings ----

// The text of a borrowed string; NULL reads "".  The text ends at its NUL, so a plug-in that
// passes a plain C string by mistake is read correctly too.
inline std::string_view OVStrView(const char* s) noexcept { return s ? std::string_view(s, std::strlen(s)) : std::string_view(); }
inline std::string OVStrText(const char* s) { return std::string(OVStrView(s)); }

// A new string with one reference; NULL for "".
inline OVStr NewOVStr(std::string_view text) { return ovstr_new_len(text.data(), text.size()); }

// A string that is never counted or freed (reference count -1), for texts fixed for the life of
// the process.
inline OVStr NewConstOVStr(std::string_view text) {
  OVStr s = NewOVStr(text);
  if (s) OVSTR_HEADER(s)->refcount = -1;
  return s;
}
// *dst := value (taking over its reference), releasing what *dst held.  A NULL dst is ignored.
inline void ReplaceOVStr(OVStr* dst, OVStr value) {
  if (!dst) return;
  OVStr old = *dst;
  *dst = value;
  ovstr_release(old);
}

// Owns one reference to a string: the form in which the server passes text into a plug-in.
class TOVStrRef {
 public:
  TOVStrRef() = default;
  explicit TOVStrRef(std::string_view text) : s_(NewOVStr(text)) {}
  ~TOVStrRef() { ovstr_release(s_); }
  TOVStrRef(TOVStrRef&& o) noexcept : s_(std::exchange(o.s_, nullptr)) {}
  TOVStrRef& operator=(TOVStrRef&& o) noexcept {
    std::swap(s_, o.s_);
    return *this;
  }
  TOVStrRef(const TOVStrRef&) = delete;
  TOVStrRef& operator=(const TOVStrRef&) = delete;
  OVStr get() const noexcept { return s_; }
  // The variable a callee assigns a string result to (holding NULL or this reference).
  OVStr* out() noexcept { return &s_; }
  std::string str() const { return OVStrText(s_); }

 private:
  OVStr s_ = nullptr;
};

// *dst := a new string holding text, releasing what *dst held (a string result the server
// hands to a plug-in).  A NULL dst is ignored.
inline void AssignOVStr(OVStr* dst, std::string_view text) {
  if (dst) ReplaceOVStr(dst, NewOVStr(text));
}

// Owns a string array a plug-in returned.
class TOVStrArrayRef {
 public:
  TOVStrArrayRef() = default;
  ~TOVStrArrayRef() { ovstrarr_release(a_); }
  TOVStrArrayRef(const TOVStrArrayRef&) = delete;
  TOVStrArrayRef& operator=(const TOVStrArrayRef&) = delete;
  OVStr** out() noexcept { return &a_; }
  OVStr* get() const noexcept { return a_; }

 private:
  OVStr* a_ = nullptr;
};

// The texts of an array given as element 0 and its highest index (-1: none).  A highest index
// below -1 or above kMaxOVArray is refused with std::invalid_argument.
inline constexpr std::int64_t kMaxOVArray = 1'000'000;
std::vector<std::string> OVStrArrayToVector(const OVStr* first, std::int64_t high);
// The same for an array that carries its header (NULL: empty).
inline std::vector<std::string> OVStrArrayToVector(const OVStr* arr) { return OVStrArrayToVector(arr, ovarr_high(arr)); }

// ---- JSON ----

inline TJSON* FromOVJson(OVJson* j) noexcept { return reinterpret_cast<TJSON*>(j); }
inline const TJSON* FromOVJson(const OVJson* j) noexcept { return reinterpret_cast<const TJSON*>(j); }
// A borrowed value handed to a plug-in, which must not change or free it.
inline OVJson* BorrowOVJson(const TJSON* j) noexcept { return reinterpret_cast<OVJson*>(const_cast<TJSON*>(j)); }
// A value handed over: the receiver frees it with ovj_free.
inline OVJson* GiveOVJson(TJSON value) { return reinterpret_cast<OVJson*>(new TJSON(std::move(value))); }
// Takes over a value a plug-in handed to the server (NULL stays empty).
inline std::unique_ptr<TJSON> AdoptOVJson(OVJson* j) noexcept { return std::unique_ptr<TJSON>(FromOVJson(j)); }

// ---- database records ----

// Copies of the records a plug-in passes (its strings and arrays are only read).  A NULL
// record is refused with std::invalid_argument.
TDBAColumnSpec FromOVColumn(const OVDBAColumnSpec* spec);
TDBAIndexSpec FromOVIndex(const OVDBAIndexSpec* spec);
TDBATableSpec FromOVTable(const OVDBATableSpec* spec);
TDBASelectSpec FromOVSelect(const OVDBASelectSpec* spec);
inline const TDBACriterion* FromOVCriterion(const OVDBACriterion* c) noexcept {
  return reinterpret_cast<const TDBACriterion*>(c);
}

// ---- calling through a plug-in's interface tables ----

// The table of an interface a plug-in handed out; a NULL reference or table is refused.
template <class I>
const auto& PluginVtbl(I* obj) {
  if (!obj || !obj->vtbl) throw std::runtime_error("Plugin returned a broken interface");
  return *obj->vtbl;
}

// A slot the server calls must be filled.
template <class Fn>
Fn PluginSlot(Fn fn, const char* slot) {
  if (!fn) throw std::runtime_error(std::string("Plugin interface slot is empty: ") + slot);
  return fn;
}

}  // namespace ov

// obj->vtbl->slot(obj, args...), refusing a broken interface or an empty slot.
#define OV_PCALL(obj, slot, ...) ::ov::PluginSlot(::ov::PluginVtbl(obj).slot, #slot)((obj)__VA_OPT__(, ) __VA_ARGS__)
