/* The "doors" plug-in as the script package tests need it, in plain C99 against
 * orvanta/plugin_abi.h alone: a service plug-in named "doors" whose two functions log what
 * they were given, so a test can read the exact argument object in the server's log:
 *   CreateDoorFromPackage  logs "doors: CreateDoorFromPackage <arguments as compact JSON>"
 *   RemoveDoorByName       logs "doors: RemoveDoorByName <arguments as compact JSON>"
 * While a file named "doors_refuse" exists in the server's working directory, both raise
 * after logging (a host call the plug-in has no permission for: the host's error unwinds
 * through this frame to the caller). */
#define _POSIX_C_SOURCE 200809L
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "orvanta/plugin_abi.h"

typedef struct Doors {
  IOVPlugin plugin; /* first: the plug-in reference is the object */
  IOVServicePlugin service;
  IOVPluginHost* host;
} Doors;

#define CONTAINER(ptr, member) ((Doors*)((char*)(ptr)-offsetof(Doors, member)))

static void set_text(OVStr* result, const char* text) {
  OVStr old = *result;
  *result = ovstr_new(text);
  ovstr_release(old);
}

static void get_name(IOVPlugin* self, OVStr* r) { (void)self, set_text(r, "doors"); }
static void get_version(IOVPlugin* self, OVStr* r) { (void)self, set_text(r, "1.0.0"); }
static void get_description(IOVPlugin* self, OVStr* r) { (void)self, set_text(r, "Door registry for tests"); }
static void get_author(IOVPlugin* self, OVStr* r) { (void)self, set_text(r, "Orvanta tests"); }
static void get_dependencies(IOVPlugin* self, OVStr** r) { (void)self, (void)r; }
static uint32_t get_permissions(IOVPlugin* self) { return (void)self, 0; }
static uint32_t get_capabilities(IOVPlugin* self) { return (void)self, OV_BIT(OV_CAP_SERVICE); }
static int32_t get_target(IOVPlugin* self) { return (void)self, OV_TARGET_SERVER; }
static IOVServicePlugin* get_service(IOVPlugin* self) { return &CONTAINER(self, plugin)->service; }
static OVBool initialize(IOVPlugin* self, IOVPluginHost* host) {
  CONTAINER(self, plugin)->host = host;
  return 1;
}
static void finalize(IOVPlugin* self) { (void)self; }

static const IOVPluginVtbl plugin_vtbl = {
    get_name, get_version, get_description, get_author, get_dependencies, get_permissions, get_capabilities,
    get_target, NULL /* protocol */, NULL /* routes */, NULL /* admin */, NULL /* database */, NULL /* events */,
    get_service, NULL /* detector */, NULL /* scheduled */, initialize, finalize};

/* A constant key (count -1): nothing allocated is held when the host's error leaves the frame. */
static struct {
  OVStrHeader header;
  char text[2];
} const_key = {{65001, 1, 0, -1, 1}, "k"};

static OVJson* call_function(IOVServicePlugin* self, OVStr name, OVJson* args) {
  IOVPluginHost* host = CONTAINER(self, service)->host;
  const char* prefix = "doors: ";
  OVStr text, line;
  size_t n;
  char* buf;
  if (!name || (strcmp(name, "CreateDoorFromPackage") != 0 && strcmp(name, "RemoveDoorByName") != 0)) return NULL;
  text = ovj_write(args);
  n = strlen(prefix) + strlen(name) + 1 + (text ? strlen(text) : 4) + 1;
  buf = (char*)malloc(n);
  if (buf) {
    strcpy(buf, prefix);
    strcat(buf, name);
    strcat(buf, " ");
    strcat(buf, text ? text : "null");
    line = ovstr_new(buf);
    host->vtbl->LogInfo(host, line);
    ovstr_release(line);
    free(buf);
  }
  ovstr_release(text);
  if (access("doors_refuse", F_OK) == 0) host->vtbl->ConfigSet(host, const_key.text, const_key.text);
  return ovj_new_object();
}

static const IOVServicePluginVtbl service_vtbl = {NULL, call_function};

IOVPlugin* OVPluginCreate(IOVPluginHost* host) {
  Doors* p = (Doors*)calloc(1, sizeof(Doors));
  (void)host;
  if (!p) return NULL;
  p->plugin.vtbl = &plugin_vtbl;
  p->service.vtbl = &service_vtbl;
  return &p->plugin;
}

void OVPluginDestroy(IOVPlugin* plugin) { free(CONTAINER(plugin, plugin)); }
