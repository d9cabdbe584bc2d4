/* Hello: the smallest useful Orvanta BBS plug-in, in plain C99.
 *
 * It keeps a table of greetings, answers one HTTP route, adds one entry to the web
 * administration menu and greets every new user through an event:
 *
 *   POST /api/v1/plugins/Hello/greet {"name": "Ada"}
 *        -> {"greeting": "Hello, Ada!", "count": <greetings stored so far>}
 *   menu entry "Hello" (group "Examples") pointing at /admin/hello
 *   event "user.create" -> a greeting for the new user is stored
 *
 * Build (the SDK functions ovj_* and ovdba_* are resolved from the server when it loads the
 * library, so nothing else is linked):
 *
 *   gcc -std=c99 -Wall -Wextra -pedantic -Werror -fPIC -shared -I<server>/include \
 *       -o libHello.so hello.c
 *
 * docs/plugins.md walks through this file. */
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "orvanta/plugin_abi.h"

#define TABLE "p_hello_greetings" /* every table of a plug-in begins p_<name lower-cased>_ */

/* The plug-in object.  Each interface is a struct whose first member points to its table of
 * functions; embedding them in one object lets every function find the object again. */
typedef struct Hello {
  IOVPlugin plugin; /* what OVPluginCreate returns */
  IOVRoutePlugin routes;
  IOVAdminPlugin admin;
  IOVEventPlugin events;
  IOVDatabasePlugin database;
  IOVPluginHost* host; /* given to initialize; valid until the plug-in is destroyed */
} Hello;

#define HELLO(ptr, member) ((Hello*)((char*)(ptr)-offsetof(Hello, member)))

/* A string result handed to the server: a new OVStr (the server releases it). */
static void set_result(OVStr* result, const char* text) {
  OVStr old = *result;
  *result = ovstr_new(text);
  ovstr_release(old);
}

/* ---- IOVPlugin ------------------------------------------------------------------------- */

static void get_name(IOVPlugin* self, OVStr* r) { (void)self, set_result(r, "Hello"); }
static void get_version(IOVPlugin* self, OVStr* r) { (void)self, set_result(r, "1.0.0"); }
static void get_description(IOVPlugin* self, OVStr* r) { (void)self, set_result(r, "Greets people"); }
static void get_author(IOVPlugin* self, OVStr* r) { (void)self, set_result(r, "Orvanta BBS"); }
static void get_dependencies(IOVPlugin* self, OVStr** r) { (void)self, (void)r; /* none */ }

static uint32_t get_permissions(IOVPlugin* self) {
  (void)self;
  return OV_BIT(OV_PERM_ROUTES_REGISTER) | OV_BIT(OV_PERM_ADMIN_MENU) | OV_BIT(OV_PERM_EVENTS_SUBSCRIBE) |
         OV_BIT(OV_PERM_DATABASE_READ) | OV_BIT(OV_PERM_DATABASE_WRITE) | OV_BIT(OV_PERM_DATABASE_CREATE_TABLES);
}

static uint32_t get_capabilities(IOVPlugin* self) {
  (void)self;
  return OV_BIT(OV_CAP_ROUTES) | OV_BIT(OV_CAP_ADMIN) | OV_BIT(OV_CAP_EVENTS) | OV_BIT(OV_CAP_DATABASE);
}

static int32_t get_target(IOVPlugin* self) { return (void)self, OV_TARGET_SERVER; }
static IOVRoutePlugin* get_routes(IOVPlugin* self) { return &HELLO(self, plugin)->routes; }
static IOVAdminPlugin* get_admin(IOVPlugin* self) { return &HELLO(self, plugin)->admin; }
static IOVEventPlugin* get_events(IOVPlugin* self) { return &HELLO(self, plugin)->events; }
static IOVDatabasePlugin* get_database(IOVPlugin* self) { return &HELLO(self, plugin)->database; }

static OVBool initialize(IOVPlugin* self, IOVPluginHost* host) {
  HELLO(self, plugin)->host = host;
  return 1;
}

static void finalize(IOVPlugin* self) { (void)self; }

static const IOVPluginVtbl plugin_vtbl = {
    get_name,         get_version,    get_description, get_author, get_dependencies, get_permissions,
    get_capabilities, get_target,     NULL /* protocol */, get_routes, get_admin, get_database,
    get_events,       NULL /* service */, NULL /* detector */, NULL /* scheduled */, initialize, finalize};

/* ---- the greetings table ----------------------------------------------------------------- */

static int32_t schema_version(IOVDatabasePlugin* self) { return (void)self, 1; }

/* Called once, at the first load (and again at every start until it succeeds). */
static void create_schema(IOVDatabasePlugin* self) {
  IOVPluginHost* host = HELLO(self, database)->host;
  OVDBATableSpec spec;
  OVDBAColumnSpec* cols = (OVDBAColumnSpec*)ovarr_new(sizeof(OVDBAColumnSpec), 2);
  cols[0] = ovdba_make_column("id", OVDBA_BIGINT, 0, 0, NULL, 1, 0, 1);
  cols[1] = ovdba_make_column("name", OVDBA_VARCHAR, 64, 0, "''", 0, 0, 0);
  memset(&spec, 0, sizeof spec);
  spec.Name = ovstr_new(TABLE);
  spec.Columns = cols;
  /* The last call that can fail: a host error unwinds straight back to the server, so
   * nothing is held across it but these few bytes. */
  host->vtbl->DeclareTable(host, &spec);
  ovstr_release(spec.Name);
  ovdba_column_release(&cols[0]);
  ovdba_column_release(&cols[1]);
  ovarr_free(cols);
}

static void migrate_schema(IOVDatabasePlugin* self, int32_t from_version) { (void)self, (void)from_version; }

static const IOVDatabasePluginVtbl database_vtbl = {schema_version, create_schema, migrate_schema};

/* Stores one greeting. */
static void store_greeting(IOVPluginHost* host, const char* name) {
  OVStr table = ovstr_new(TABLE);
  OVJson* row = ovj_new_object();
  ovj_set_str(row, "name", name);
  host->vtbl->StoreInsert(host, table, row);
  ovj_free(row);
  ovstr_release(table);
}

/* The number of greetings stored. */
static int64_t greeting_count(IOVPluginHost* host) {
  OVStr sql = ovstr_new("SELECT COUNT(*) AS n FROM " TABLE);
  OVJson* rows = host->vtbl->DBQuery(host, sql); /* an array of row objects; ours to free */
  int64_t n = ovj_get_int(ovj_at(rows, 0), "n", 0);
  ovj_free(rows);
  ovstr_release(sql);
  return n;
}

/* ---- the route --------------------------------------------------------------------------- */

/* POST /api/v1/plugins/Hello/greet.  The body is the request's JSON object (the server frees
 * it) with "_auth_user_id", "_auth_username" and "_auth_is_admin" added; *code starts at 200
 * and *response is ours to create (the server sends and frees it). */
static void greet(void* data, OVStr method, OVStr path, OVJson* body, int32_t* code, OVJson** response) {
  Hello* p = (Hello*)data;
  const char* name = ovj_get_str(body, "name");
  char text[128];
  (void)method, (void)path;
  if (!name || !*name || strlen(name) > 64) {
    *code = 400;
    *response = ovj_new_object();
    ovj_set_str(*response, "error", "name: 1 to 64 characters");
    return;
  }
  store_greeting(p->host, name);
  snprintf(text, sizeof text, "Hello, %s!", name);
  *response = ovj_new_object();
  ovj_set_str(*response, "greeting", text);
  ovj_set_int(*response, "count", greeting_count(p->host));
}

static void register_routes(IOVRoutePlugin* self) {
  Hello* p = HELLO(self, routes);
  OVStr method = ovstr_new("POST"), path = ovstr_new("/greet"); /* relative to /api/v1/plugins/Hello */
  p->host->vtbl->RouteRegister(p->host, method, path, greet, p);
  ovstr_release(path);
  ovstr_release(method);
}

static void unregister_routes(IOVRoutePlugin* self) { (void)self; /* the server clears them */ }

static const IOVRoutePluginVtbl routes_vtbl = {register_routes, unregister_routes};

/* ---- the menu entry ---------------------------------------------------------------------- */

static void register_admin(IOVAdminPlugin* self) {
  Hello* p = HELLO(self, admin);
  OVStr title = ovstr_new("Hello"), url = ovstr_new("/admin/hello"), icon = ovstr_new("smile");
  OVStr group = ovstr_new("Examples");
  p->host->vtbl->AdminAddMenu(p->host, title, url, icon, 50, group);
  ovstr_release(group);
  ovstr_release(icon);
  ovstr_release(url);
  ovstr_release(title);
}

static void unregister_admin(IOVAdminPlugin* self) { (void)self; }

static const IOVAdminPluginVtbl admin_vtbl = {register_admin, unregister_admin};

/* ---- the event --------------------------------------------------------------------------- */

/* Runs on the thread that fired the event (here the REST request that created the user); the
 * data belongs to the firer: read it, never free or keep it. */
static void on_user_create(void* data, OVStr event_type, OVJson* event_data) {
  Hello* p = (Hello*)data;
  const char* user = ovj_get_str(event_data, "username");
  (void)event_type;
  if (user) store_greeting(p->host, user);
}

static void subscribe_events(IOVEventPlugin* self) {
  Hello* p = HELLO(self, events);
  OVStr event = ovstr_new(OV_EVENT_USER_CREATE);
  p->host->vtbl->EventSubscribe(p->host, event, on_user_create, p);
  ovstr_release(event);
}

static void unsubscribe_events(IOVEventPlugin* self) { (void)self; /* the server removes them */ }

static const IOVEventPluginVtbl events_vtbl = {subscribe_events, unsubscribe_events};

/* ---- exports ----------------------------------------------------------------------------- */

OV_ABI_EXPORT int32_t OVPluginAPIVersion(void) { return OV_PLUGIN_API_VERSION; }

OV_ABI_EXPORT IOVPlugin* OVPluginCreate(IOVPluginHost* loading_host) {
  Hello* p = (Hello*)calloc(1, sizeof(Hello));
  (void)loading_host; /* only for the metadata calls: never keep it */
  if (!p) return NULL;
  p->plugin.vtbl = &plugin_vtbl;
  p->routes.vtbl = &routes_vtbl;
  p->admin.vtbl = &admin_vtbl;
  p->events.vtbl = &events_vtbl;
  p->database.vtbl = &database_vtbl;
  return &p->plugin;
}

OV_ABI_EXPORT void OVPluginDestroy(IOVPlugin* plugin) { free(HELLO(plugin, plugin)); }
