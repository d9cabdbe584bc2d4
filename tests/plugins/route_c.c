/* A C99 plug-in ("RouteC") that extends the server through its host: HTTP routes, an admin menu
 * item and page, event subscriptions and dashboard widgets.  It has no plugin.call permission.
 *
 * Routes under /api/v1/plugins/RouteC:
 *   GET   stats   registered first, without the leading "/": refused, the others still register
 *   GET   /echo   answers the request object it was given (query parameters and caller)
 *   PATCH /any    registered with a method the router does not know: answers every method
 *                 with {"method": <the request's method>, "path": <its path>}
 *   GET   /none   answers no body with code 404
 * Admin: menu item "Route C" (group "Tools", position 20) and the page /admin/routec ->
 *   <plugin dir>/RouteC/web/index.html.
 * Events: "user.create" and "demo.ping" are recorded as {"type", "data"}.
 * Service functions:
 *   Events               {"events": [...]} recorded so far
 *   CallOther            PluginCall without the permission: the host's error unwinds through here
 *   GetDashboardWidgets  {"success": true, "widgets": [{"id": "routec"}]}
 * Built with ROUTE_C_NAME="config" it is a plug-in named "config", whose routes would all take
 * the server's GET /api/v1/plugins/config/:name. */
#include <pthread.h>
#include <stddef.h>
#include <string.h>

#include "common/c_util.h"

#ifndef ROUTE_C_NAME
#define ROUTE_C_NAME "RouteC"
#endif

typedef struct RouteC {
  IOVPlugin plugin; /* first: the plug-in reference is the object */
  IOVRoutePlugin routes;
  IOVAdminPlugin admin;
  IOVEventPlugin events;
  IOVServicePlugin service;
  IOVPluginHost* host;
  pthread_mutex_t lock; /* events may be delivered on several threads at once */
  OVJson* received;
} RouteC;

#define CONTAINER(ptr, member) ((RouteC*)((char*)(ptr)-offsetof(RouteC, member)))

/* Constant strings (count -1): nothing to release if a host call fails on the way. */
#define CONST_STR(var, literal)        \
  static struct {                      \
    OVStrHeader header;                \
    char text[sizeof(literal)];        \
  } var = {{65001, 1, 0, -1, sizeof(literal) - 1}, literal}

/* ---- IOVPlugin ---- */

static void get_name(IOVPlugin* self, OVStr* r) { (void)self, set_text(r, ROUTE_C_NAME); }
static void get_version(IOVPlugin* self, OVStr* r) { (void)self, set_text(r, "1.0.0"); }
static void get_description(IOVPlugin* self, OVStr* r) { (void)self, set_text(r, "C99 routes and admin pages"); }
static void get_author(IOVPlugin* self, OVStr* r) { (void)self, set_text(r, "Orvanta tests"); }
static void get_dependencies(IOVPlugin* self, OVStr** r) { (void)self, (void)r; }
static uint32_t get_permissions(IOVPlugin* self) {
  (void)self;
  return OV_BIT(OV_PERM_ROUTES_REGISTER) | OV_BIT(OV_PERM_ADMIN_MENU) | OV_BIT(OV_PERM_EVENTS_SUBSCRIBE);
}
static uint32_t get_capabilities(IOVPlugin* self) {
  (void)self;
  return OV_BIT(OV_CAP_ROUTES) | OV_BIT(OV_CAP_ADMIN) | OV_BIT(OV_CAP_EVENTS) | OV_BIT(OV_CAP_SERVICE);
}
static int32_t get_target(IOVPlugin* self) { return (void)self, OV_TARGET_SERVER; }
static IOVRoutePlugin* get_routes(IOVPlugin* self) { return &CONTAINER(self, plugin)->routes; }
static IOVAdminPlugin* get_admin(IOVPlugin* self) { return &CONTAINER(self, plugin)->admin; }
static IOVEventPlugin* get_events(IOVPlugin* self) { return &CONTAINER(self, plugin)->events; }
static IOVServicePlugin* get_service(IOVPlugin* self) { return &CONTAINER(self, plugin)->service; }
static OVBool initialize(IOVPlugin* self, IOVPluginHost* host) {
  CONTAINER(self, plugin)->host = host;
  return 1;
}
static void finalize(IOVPlugin* self) { (void)self; }

static const IOVPluginVtbl plugin_vtbl = {
    get_name, get_version, get_description, get_author, get_dependencies, get_permissions, get_capabilities,
    get_target, NULL /* protocol */, get_routes, get_admin, NULL /* database */, get_events, get_service,
    NULL /* detector */, NULL /* scheduled */, initialize, finalize};

/* ---- routes ---- */

static void echo_route(void* data, OVStr method, OVStr path, OVJson* body, int32_t* code, OVJson** out) {
  (void)data, (void)method, (void)path;
  *code = 200;
  *out = copy_json(body);
}

static void any_route(void* data, OVStr method, OVStr path, OVJson* body, int32_t* code, OVJson** out) {
  (void)data, (void)body;
  *code = 200;
  *out = ovj_new_object();
  ovj_set_str(*out, "method", method);
  ovj_set_str(*out, "path", path);
}

static void none_route(void* data, OVStr method, OVStr path, OVJson* body, int32_t* code, OVJson** out) {
  (void)data, (void)method, (void)path, (void)body, (void)out;
  *code = 404;
}

CONST_STR(k_get, "GET");
CONST_STR(k_patch, "PATCH");
CONST_STR(k_echo, "/echo");
CONST_STR(k_any, "/any");
CONST_STR(k_none, "/none");
CONST_STR(k_stats, "stats");

static void register_routes(IOVRoutePlugin* self) {
  RouteC* p = CONTAINER(self, routes);
  p->host->vtbl->RouteRegister(p->host, k_get.text, k_stats.text, echo_route, p);
  p->host->vtbl->RouteRegister(p->host, k_get.text, k_echo.text, echo_route, p);
  p->host->vtbl->RouteRegister(p->host, k_patch.text, k_any.text, any_route, p);
  p->host->vtbl->RouteRegister(p->host, k_get.text, k_none.text, none_route, p);
}
static void unregister_routes(IOVRoutePlugin* self) { (void)self; }
static const IOVRoutePluginVtbl routes_vtbl = {register_routes, unregister_routes};

/* ---- admin ---- */

CONST_STR(k_title, "Route C");
CONST_STR(k_url, "/admin/routec");
CONST_STR(k_icon, "puzzle");
CONST_STR(k_group, "Tools");
CONST_STR(k_page, "index.html");

static void register_admin(IOVAdminPlugin* self) {
  RouteC* p = CONTAINER(self, admin);
  p->host->vtbl->AdminAddMenu(p->host, k_title.text, k_url.text, k_icon.text, 20, k_group.text);
  p->host->vtbl->AdminRegisterPage(p->host, k_url.text, k_page.text);
}
static void unregister_admin(IOVAdminPlugin* self) { (void)self; }
static const IOVAdminPluginVtbl admin_vtbl = {register_admin, unregister_admin};

/* ---- events ---- */

static void on_event(void* data, OVStr type, OVJson* event_data) {
  RouteC* p = (RouteC*)data;
  OVJson* e = ovj_new_object();
  ovj_set_str(e, "type", type);
  ovj_set(e, "data", event_data ? copy_json(event_data) : ovj_new_object());
  pthread_mutex_lock(&p->lock);
  ovj_push(p->received, e);
  pthread_mutex_unlock(&p->lock);
}

CONST_STR(k_user_create, "user.create");
CONST_STR(k_demo_ping, "demo.ping");

static void subscribe_events(IOVEventPlugin* self) {
  RouteC* p = CONTAINER(self, events);
  p->host->vtbl->EventSubscribe(p->host, k_user_create.text, on_event, p);
  p->host->vtbl->EventSubscribe(p->host, k_demo_ping.text, on_event, p);
}
static void unsubscribe_events(IOVEventPlugin* self) { (void)self; }
static const IOVEventPluginVtbl events_vtbl = {subscribe_events, unsubscribe_events};

/* ---- service ---- */

CONST_STR(k_svc, "SvcCpp");
CONST_STR(k_code, "Code");

static OVJson* call_function(IOVServicePlugin* self, OVStr name, OVJson* args) {
  RouteC* p = CONTAINER(self, service);
  OVJson* r;
  (void)args;
  if (!name) return NULL;
  if (strcmp(name, "Events") == 0) {
    r = ovj_new_object();
    pthread_mutex_lock(&p->lock);
    ovj_set(r, "events", copy_json(p->received));
    pthread_mutex_unlock(&p->lock);
    return r;
  }
  if (strcmp(name, "CallOther") == 0) return p->host->vtbl->PluginCall(p->host, k_svc.text, k_code.text, NULL);
  if (strcmp(name, "GetDashboardWidgets") == 0) {
    OVJson* widgets = ovj_new_array();
    OVJson* w = ovj_new_object();
    ovj_set_str(w, "id", "routec");
    ovj_push(widgets, w);
    r = ovj_new_object();
    ovj_set_bool(r, "success", 1);
    ovj_set(r, "widgets", widgets);
    return r;
  }
  return NULL;
}

static const IOVServicePluginVtbl service_vtbl = {NULL, call_function};

/* ---- exports ---- */

IOVPlugin* OVPluginCreate(IOVPluginHost* host) {
  RouteC* p = (RouteC*)calloc(1, sizeof(RouteC));
  (void)host;
  if (!p) return NULL;
  p->plugin.vtbl = &plugin_vtbl;
  p->routes.vtbl = &routes_vtbl;
  p->admin.vtbl = &admin_vtbl;
  p->events.vtbl = &events_vtbl;
  p->service.vtbl = &service_vtbl;
  pthread_mutex_init(&p->lock, NULL);
  p->received = ovj_new_array();
  return &p->plugin;
}

void OVPluginDestroy(IOVPlugin* plugin) {
  RouteC* p = CONTAINER(plugin, plugin);
  ovj_free(p->received);
  pthread_mutex_destroy(&p->lock);
  free(p);
}
