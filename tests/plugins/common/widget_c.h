/* A C99 service plug-in whose only function is GetDashboardWidgets.  A plug-in source defines
 * WIDGET_NAME (its name) and WIDGET_REPLY (the JSON text of the reply) and includes this file. */
#include <stddef.h>
#include <string.h>

#include "c_util.h"

typedef struct Widget {
  IOVPlugin plugin;
  IOVServicePlugin service;
} Widget;

static void get_name(IOVPlugin* self, OVStr* r) { (void)self, set_text(r, WIDGET_NAME); }
static void get_version(IOVPlugin* self, OVStr* r) { (void)self, set_text(r, "1.0.0"); }
static void get_description(IOVPlugin* self, OVStr* r) { (void)self, set_text(r, "dashboard widgets"); }
static void get_author(IOVPlugin* self, OVStr* r) { (void)self, set_text(r, "Orvanta tests"); }
static void get_dependencies(IOVPlugin* self, OVStr** r) { (void)self, (void)r; }
static uint32_t get_permissions(IOVPlugin* self) { return (void)self, 0; }
static uint32_t get_capabilities(IOVPlugin* self) { return (void)self, OV_BIT(OV_CAP_SERVICE); }
static int32_t get_target(IOVPlugin* self) { return (void)self, OV_TARGET_SERVER; }
static IOVServicePlugin* get_service(IOVPlugin* self) { return &((Widget*)self)->service; }
static OVBool initialize(IOVPlugin* self, IOVPluginHost* host) { return (void)self, (void)host, 1; }
static void finalize(IOVPlugin* self) { (void)self; }

static const IOVPluginVtbl plugin_vtbl = {
    get_name, get_version, get_description, get_author, get_dependencies, get_permissions, get_capabilities,
    get_target, NULL, NULL, NULL, NULL, NULL, get_service, NULL, NULL, initialize, finalize};

static OVJson* call_function(IOVServicePlugin* self, OVStr name, OVJson* args) {
  (void)self, (void)args;
  return name && strcmp(name, "GetDashboardWidgets") == 0 ? ovj_parse(WIDGET_REPLY) : NULL;
}

static const IOVServicePluginVtbl service_vtbl = {NULL, call_function};

IOVPlugin* OVPluginCreate(IOVPluginHost* host) {
  Widget* p = (Widget*)calloc(1, sizeof(Widget));
  (void)host;
  if (!p) return NULL;
  p->plugin.vtbl = &plugin_vtbl;
  p->service.vtbl = &service_vtbl;
  return &p->plugin;
}

void OVPluginDestroy(IOVPlugin* plugin) { free(plugin); }
