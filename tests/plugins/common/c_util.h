/* Small helpers of the C99 test plug-ins, against orvanta/plugin_abi.h alone. */
#ifndef OV_TEST_C_UTIL_H
#define OV_TEST_C_UTIL_H

#include "orvanta/plugin_abi.h"

/* *result := a new string holding text (a string result handed to the server). */
static inline void set_text(OVStr* result, const char* text) {
  OVStr old = *result;
  *result = ovstr_new(text);
  ovstr_release(old);
}

/* A new copy of a JSON value (NULL for NULL). */
static inline OVJson* copy_json(const OVJson* v) {
  OVStr text;
  OVJson* c;
  if (!v) return NULL;
  text = ovj_write(v);
  c = ovj_parse(text);
  ovstr_release(text);
  return c;
}

#endif
