/* A plug-in in plain C99 against orvanta/plugin_abi.h alone: a service plug-in with its own
 * table.  It exports no OVPluginAPIVersion (it loads as the current API).
 *
 * Service functions:
 *   Echo     a copy of the arguments ({} without)
 *   Spin     {"op": "perm" | "version", "n": N}: N host round trips (HasPermission or
 *            GetServerVersion); answers {"n": N}
 *   Denied   ConfigSet, which it has no permission for: the host's error unwinds through here
 *   Store    {"name": s}: a row of p_samplec_notes; answers {"id": id}
 *   Find     {"name": s}: StoreSelect with a criterion tree; answers {"rows": [...]}
 *   Config   {"key": k}: ConfigGet(k, "none"); answers {"value": v} */
#include <stddef.h>
#include <string.h>

#include "common/c_util.h"

typedef struct SampleC {
  IOVPlugin plugin; /* first: the plug-in reference is the object */
  IOVServicePlugin service;
  IOVDatabasePlugin database;
  IOVPluginHost* host;
} SampleC;

#define CONTAINER(ptr, member) ((SampleC*)((char*)(ptr)-offsetof(SampleC, member)))


static void host_log(IOVPluginHost* host, const char* text) {
  OVStr s = ovstr_new(text);
  host->vtbl->LogInfo(host, s); /* may not fail: nothing to clean up if it did */
  ovstr_release(s);
}

/* ---- IOVPlugin ---- */

static void get_name(IOVPlugin* self, OVStr* r) { (void)self, set_text(r, "SampleC"); }
static void get_version(IOVPlugin* self, OVStr* r) { (void)self, set_text(r, "1.0.0"); }
static void get_description(IOVPlugin* self, OVStr* r) { (void)self, set_text(r, "C99 sample plug-in"); }
static void get_author(IOVPlugin* self, OVStr* r) { (void)self, set_text(r, "Orvanta tests"); }
static void get_dependencies(IOVPlugin* self, OVStr** r) { (void)self, (void)r; }
static uint32_t get_permissions(IOVPlugin* self) {
  (void)self;
  return OV_BIT(OV_PERM_DATABASE_READ) | OV_BIT(OV_PERM_DATABASE_WRITE) | OV_BIT(OV_PERM_DATABASE_CREATE_TABLES) |
         OV_BIT(OV_PERM_CONFIG_READ);
}
static uint32_t get_capabilities(IOVPlugin* self) { return (void)self, OV_BIT(OV_CAP_SERVICE) | OV_BIT(OV_CAP_DATABASE); }
static int32_t get_target(IOVPlugin* self) { return (void)self, OV_TARGET_BOTH; }
static IOVServicePlugin* get_service(IOVPlugin* self) { return &CONTAINER(self, plugin)->service; }
static IOVDatabasePlugin* get_database(IOVPlugin* self) { return &CONTAINER(self, plugin)->database; }
static OVBool initialize(IOVPlugin* self, IOVPluginHost* host) {
  CONTAINER(self, plugin)->host = host;
  host_log(host, "SampleC initialized");
  return 1;
}
static void finalize(IOVPlugin* self) { host_log(CONTAINER(self, plugin)->host, "SampleC finalized"); }

static const IOVPluginVtbl plugin_vtbl = {
    get_name, get_version, get_description, get_author, get_dependencies, get_permissions, get_capabilities,
    get_target, NULL /* protocol */, NULL /* routes */, NULL /* admin */, get_database, NULL /* events */,
    get_service, NULL /* detector */, NULL /* scheduled */, initialize, finalize};

/* ---- IOVServicePlugin ---- */

static OVJson* echo(OVJson* args) { return args ? copy_json(args) : ovj_new_object(); }

static OVJson* spin(IOVPluginHost* host, OVJson* args) {
  const char* op = ovj_get_str(args, "op");
  int64_t n = ovj_get_int(args, "n", 1), i;
  OVJson* r = ovj_new_object();
  if (op && strcmp(op, "version") == 0) {
    for (i = 0; i < n; ++i) {
      OVStr v = NULL;
      host->vtbl->GetServerVersion(host, &v);
      ovstr_release(v);
    }
  } else {
    for (i = 0; i < n; ++i) host->vtbl->HasPermission(host, OV_PERM_DATABASE_READ);
  }
  ovj_set_int(r, "n", n);
  return r;
}

/* Holds nothing across the host call, as a C plug-in must: the host's error leaves this frame
 * without running the rest of it, so the argument is a constant string (count -1), not an
 * allocated one. */
static struct {
  OVStrHeader header;
  char text[2];
} const_key = {{65001, 1, 0, -1, 1}, "k"};

static OVJson* denied(IOVPluginHost* host) {
  host->vtbl->ConfigSet(host, const_key.text, const_key.text);
  return ovj_new_object();
}

static OVJson* store(IOVPluginHost* host, OVJson* args) {
  OVStr table = ovstr_new("p_samplec_notes");
  OVJson* row = ovj_new_object();
  OVJson* r = ovj_new_object();
  ovj_set_str(row, "name", ovj_get_str(args, "name"));
  ovj_set_int(r, "id", host->vtbl->StoreInsert(host, table, row));
  ovj_free(row);
  ovstr_release(table);
  return r;
}

static OVJson* find(IOVPluginHost* host, OVJson* args) {
  OVDBASelectSpec spec;
  OVDBACriterion* where = ovdba_and();
  OVDBAOrderSpec* order = (OVDBAOrderSpec*)ovarr_new(sizeof(OVDBAOrderSpec), 1);
  OVJson* rows;
  OVJson* r = ovj_new_object();
  ovdba_add(where, ovdba_cmp_str("name", OVDBA_EQ, ovj_get_str(args, "name")));
  ovdba_add(where, ovdba_is_not_null("id"));
  order[0].Column = ovstr_new("id");
  order[0].Direction = OVDBA_DESC;
  memset(&spec, 0, sizeof spec);
  spec.Table = ovstr_new("p_samplec_notes");
  spec.Where = where;
  spec.OrderBy = order;
  rows = host->vtbl->StoreSelect(host, &spec);
  ovj_set(r, "rows", rows);
  ovstr_release(spec.Table);
  ovstr_release(order[0].Column);
  ovarr_free(order);
  ovdba_free(where);
  return r;
}

static OVJson* config(IOVPluginHost* host, OVJson* args) {
  OVStr key = ovstr_new(ovj_get_str(args, "key"));
  OVStr dflt = ovstr_new("none");
  OVStr value = NULL;
  OVJson* r = ovj_new_object();
  host->vtbl->ConfigGet(host, &value, key, dflt);
  ovj_set_str(r, "value", value);
  ovstr_release(value);
  ovstr_release(dflt);
  ovstr_release(key);
  return r;
}

static OVJson* call_function(IOVServicePlugin* self, OVStr name, OVJson* args) {
  IOVPluginHost* host = CONTAINER(self, service)->host;
  if (!name) return NULL;
  if (strcmp(name, "Echo") == 0) return echo(args);
  if (strcmp(name, "Spin") == 0) return spin(host, args);
  if (strcmp(name, "Denied") == 0) return denied(host);
  if (strcmp(name, "Store") == 0) return store(host, args);
  if (strcmp(name, "Find") == 0) return find(host, args);
  if (strcmp(name, "Config") == 0) return config(host, args);
  return NULL;
}

static const IOVServicePluginVtbl service_vtbl = {NULL, call_function};

/* ---- IOVDatabasePlugin ---- */

static int32_t schema_version(IOVDatabasePlugin* self) { return (void)self, 1; }

static void create_schema(IOVDatabasePlugin* self) {
  IOVPluginHost* host = CONTAINER(self, database)->host;
  const char* const index_cols[] = {"name"};
  OVDBATableSpec spec;
  OVDBAColumnSpec* cols = (OVDBAColumnSpec*)ovarr_new(sizeof(OVDBAColumnSpec), 2);
  OVDBAIndexSpec* indexes = (OVDBAIndexSpec*)ovarr_new(sizeof(OVDBAIndexSpec), 1);
  cols[0] = ovdba_make_column("id", OVDBA_BIGINT, 0, 0, NULL, 1, 0, 1);
  cols[1] = ovdba_make_column("name", OVDBA_VARCHAR, 64, 0, "''", 0, 0, 0);
  indexes[0].Name = ovstr_new("idx_p_samplec_notes_name");
  indexes[0].Columns = ovstrarr_new(index_cols, 1);
  memset(&spec, 0, sizeof spec);
  spec.Name = ovstr_new("p_samplec_notes");
  spec.Columns = cols;
  spec.Indexes = indexes;
  /* A failure here leaks these few bytes: the declaration is the last call that can fail. */
  host->vtbl->DeclareTable(host, &spec);
  ovstr_release(spec.Name);
  ovstr_release(indexes[0].Name);
  ovstrarr_release(indexes[0].Columns);
  ovarr_free(indexes);
  ovdba_column_release(&cols[0]);
  ovdba_column_release(&cols[1]);
  ovarr_free(cols);
}

static void migrate_schema(IOVDatabasePlugin* self, int32_t from) { (void)self, (void)from; }

static const IOVDatabasePluginVtbl database_vtbl = {schema_version, create_schema, migrate_schema};

/* ---- exports ---- */

IOVPlugin* OVPluginCreate(IOVPluginHost* host) {
  SampleC* p = (SampleC*)calloc(1, sizeof(SampleC));
  (void)host; /* the loading host is not kept */
  if (!p) return NULL;
  p->plugin.vtbl = &plugin_vtbl;
  p->service.vtbl = &service_vtbl;
  p->database.vtbl = &database_vtbl;
  return &p->plugin;
}

void OVPluginDestroy(IOVPlugin* plugin) {
  SampleC* p = CONTAINER(plugin, plugin);
  if (p->host) host_log(p->host, "SampleC destroyed");
  free(p);
}
