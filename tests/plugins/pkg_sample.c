/* A plug-in in plain C99 for the package tests, built once per PKG_BUILD (CMake makes
 * pkg_sample.so with build "A" and pkg_sample_b.so with build "B"), so a test can tell which
 * build of the same plug-in the server runs: the description is "Package sample build <B>" and
 * Initialize logs "PkgSample build <B> initialized".  PKG_NAME (default "PkgSample") is the name
 * it reports; the messages below carry it in place of PkgSample (pkg_hello.so is "Hello",
 * pkg_hello_lower.so "hello").
 *
 * Scheduled tasks (interval one day):
 *   hold    logs "PkgSample hold started", then runs while a file named "hold" exists in the
 *           server's working directory (at most 20 s), so a test can keep a call in flight
 *   whoami  logs "PkgSample build <B> running" */
#define _POSIX_C_SOURCE 200809L
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "orvanta/plugin_abi.h"

#ifndef PKG_BUILD
#define PKG_BUILD "A"
#endif
#ifndef PKG_NAME
#define PKG_NAME "PkgSample"
#endif

typedef struct PkgSample {
  IOVPlugin plugin; /* first: the plug-in reference is the object */
  IOVScheduledPlugin scheduled;
  IOVPluginHost* host;
} PkgSample;

#define CONTAINER(ptr, member) ((PkgSample*)((char*)(ptr)-offsetof(PkgSample, member)))

static void set_text(OVStr* result, const char* text) {
  OVStr old = *result;
  *result = ovstr_new(text);
  ovstr_release(old);
}

static void host_log(IOVPluginHost* host, const char* text) {
  OVStr s = ovstr_new(text);
  host->vtbl->LogInfo(host, s);
  ovstr_release(s);
}

static void get_name(IOVPlugin* self, OVStr* r) { (void)self, set_text(r, PKG_NAME); }
static void get_version(IOVPlugin* self, OVStr* r) { (void)self, set_text(r, "1.0.0"); }
static void get_description(IOVPlugin* self, OVStr* r) { (void)self, set_text(r, "Package sample build " PKG_BUILD); }
static void get_author(IOVPlugin* self, OVStr* r) { (void)self, set_text(r, "Orvanta tests"); }
static void get_dependencies(IOVPlugin* self, OVStr** r) { (void)self, (void)r; }
static uint32_t get_permissions(IOVPlugin* self) { return (void)self, 0; }
static uint32_t get_capabilities(IOVPlugin* self) { return (void)self, OV_BIT(OV_CAP_SCHEDULED); }
static int32_t get_target(IOVPlugin* self) { return (void)self, OV_TARGET_SERVER; }
static IOVScheduledPlugin* get_scheduled(IOVPlugin* self) { return &CONTAINER(self, plugin)->scheduled; }
static OVBool initialize(IOVPlugin* self, IOVPluginHost* host) {
  CONTAINER(self, plugin)->host = host;
  host_log(host, PKG_NAME " build " PKG_BUILD " initialized");
  return 1;
}
static void finalize(IOVPlugin* self) { (void)self; }

static const IOVPluginVtbl plugin_vtbl = {
    get_name, get_version, get_description, get_author, get_dependencies, get_permissions, get_capabilities,
    get_target, NULL /* protocol */, NULL /* routes */, NULL /* admin */, NULL /* database */, NULL /* events */,
    NULL /* service */, NULL /* detector */, get_scheduled, initialize, finalize};

static OVJson* task(const char* name) {
  OVJson* t = ovj_new_object();
  ovj_set_str(t, "name", name);
  ovj_set_int(t, "interval_seconds", 86400);
  return t;
}

static OVJson* get_scheduled_tasks(IOVScheduledPlugin* self) {
  OVJson* list = ovj_new_array();
  (void)self;
  ovj_push(list, task("hold"));
  ovj_push(list, task("whoami"));
  return list;
}

static void run_task(IOVScheduledPlugin* self, OVStr name) {
  PkgSample* p = CONTAINER(self, scheduled);
  if (name && strcmp(name, "hold") == 0) {
    const struct timespec pause = {0, 20 * 1000 * 1000};
    int i;
    host_log(p->host, PKG_NAME " hold started");
    for (i = 0; i < 1000 && access("hold", F_OK) == 0; ++i) nanosleep(&pause, NULL);
  } else {
    host_log(p->host, PKG_NAME " build " PKG_BUILD " running");
  }
}

static const IOVScheduledPluginVtbl scheduled_vtbl = {get_scheduled_tasks, run_task};

IOVPlugin* OVPluginCreate(IOVPluginHost* host) {
  PkgSample* p = (PkgSample*)calloc(1, sizeof(PkgSample));
  (void)host;
  if (!p) return NULL;
  p->plugin.vtbl = &plugin_vtbl;
  p->scheduled.vtbl = &scheduled_vtbl;
  return &p->plugin;
}

void OVPluginDestroy(IOVPlugin* plugin) { free(CONTAINER(plugin, plugin)); }
