/* Orvanta BBS native plug-in binary interface (API version 2).
 *
 * One C99 header, usable from C and C++, that a plug-in library compiles against.  Nothing
 * else of the server is needed: the SDK functions declared at the end (ovj_*, ovdba_*) are
 * exported by the server executable itself.
 *
 * The rules of the boundary:
 *  - An interface reference is a pointer to a struct whose only member points to a table of
 *    function pointers in slot order (slot 0 first).  No base interface, no reference counting:
 *    a reference is a borrowed pointer that lives as long as its owner says.
 *  - Every entry point takes the interface reference first.  A string or string-array result
 *    comes back through a pointer to the caller's variable passed right after it (the callee
 *    assigns it: the caller passes a variable holding NULL or a value it owns, which the
 *    callee releases); other results are returned.  Then the declared arguments in order.
 *  - Strings are OVStr: UTF-8 text preceded by a 24-byte header; NULL is the empty string.
 *    String arguments are borrowed; a callee that keeps one takes a reference (ovstr_addref).
 *  - A string array is an OVStr* to element 0 preceded by a 16-byte header {refcount, highest
 *    index}; NULL is the empty array.  An array argument is passed as a pointer to element 0
 *    and the highest index (-1 for none).
 *  - A callback is two words, code and data, invoked as code(data, arguments...).
 *  - Booleans are one byte (0 false, anything else true).
 *  - All memory comes from malloc/free, shared with the server.
 *
 * Errors.  A host operation that fails (a missing permission, a table outside the plug-in's
 * prefix, a database error the operation passes on) raises a C++ exception derived from
 * std::exception.  It unwinds through the calling plug-in's frames back to the server code that
 * called into the plug-in, where it is logged or reported.  A C++ plug-in may catch it
 * (catch (const std::exception&)).  A plug-in written in C must therefore:
 *  - be built with unwind tables (-fexceptions, or the x86-64 default
 *    -fasynchronous-unwind-tables; never -fno-asynchronous-unwind-tables alone), and
 *  - hold no resource (memory, lock, open handle) across a host call that can fail, since the
 *    frames between the host and the server are left without running any of their code.
 * An exception thrown by the plug-in itself is caught by the server; it never ends the server.
 */
#ifndef ORVANTA_PLUGIN_ABI_H
#define ORVANTA_PLUGIN_ABI_H

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#ifdef __cplusplus
extern "C" {
#define OV_ABI_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define OV_ABI_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

#define OV_ABI_EXPORT __attribute__((visibility("default")))

/* ---- versions, permissions, capabilities, targets ------------------------------------- */

#define OV_PLUGIN_API_VERSION 2
#define OV_MIN_PLUGIN_API_VERSION 1

typedef uint8_t OVBool;

/* TOVPermission ordinals; a permission set is 32 bits with bit n = ordinal n. */
enum {
  OV_PERM_NETWORK_LISTEN = 0,
  OV_PERM_NETWORK_CONNECT = 1,
  OV_PERM_DATABASE_READ = 2,
  OV_PERM_DATABASE_WRITE = 3,
  OV_PERM_DATABASE_CREATE_TABLES = 4,
  OV_PERM_FILESYSTEM_READ = 5,
  OV_PERM_FILESYSTEM_WRITE = 6,
  OV_PERM_SYSTEM_EXEC = 7,
  OV_PERM_EVENTS_SUBSCRIBE = 8,
  OV_PERM_EVENTS_FIRE = 9,
  OV_PERM_ROUTES_REGISTER = 10,
  OV_PERM_ADMIN_MENU = 11,
  OV_PERM_CONFIG_READ = 12,
  OV_PERM_CONFIG_WRITE = 13,
  OV_PERM_USERS_READ = 14,
  OV_PERM_USERS_WRITE = 15,
  OV_PERM_SESSIONS_READ = 16,
  OV_PERM_SESSIONS_WRITE = 17,
  OV_PERM_PLUGIN_CALL = 18
};

/* TOVPluginCapability ordinals; a capability set is 32 bits with bit n = ordinal n. */
enum {
  OV_CAP_PROTOCOL = 0,
  OV_CAP_ROUTES = 1,
  OV_CAP_ADMIN = 2,
  OV_CAP_DATABASE = 3,
  OV_CAP_EVENTS = 4,
  OV_CAP_MENU = 5,
  OV_CAP_CONFIG = 6,
  OV_CAP_SCHEDULED = 7,
  OV_CAP_SERVICE = 8,
  OV_CAP_PROTOCOL_DETECTOR = 9
};

#define OV_BIT(ordinal) ((uint32_t)1u << (ordinal))

/* TOVPluginTarget. */
enum { OV_TARGET_SERVER = 0, OV_TARGET_CLIENT = 1, OV_TARGET_BOTH = 2 };

/* Protocol dispatch results. */
enum { OV_PDR_COMPLETED = 0, OV_PDR_IEMSI = 1, OV_PDR_ABORT_TO_BBS = 2, OV_PDR_FAILED = 3 };

/* The names of the library's exports: OVPluginAPIVersion (optional, returns the API version the
 * plug-in was built for), OVPluginCreate (required) and OVPluginDestroy (optional). */
#define OV_EXPORT_API_VERSION "OVPluginAPIVersion"
#define OV_EXPORT_CREATE "OVPluginCreate"
#define OV_EXPORT_DESTROY "OVPluginDestroy"

/* Permission names, as plug-in manifests, the REST API and the database write them (exact,
 * case-sensitive); OV_PERM_NAME_x is the name of ordinal OV_PERM_x. */
#define OV_PERM_NAME_NETWORK_LISTEN "network.listen"
#define OV_PERM_NAME_NETWORK_CONNECT "network.connect"
#define OV_PERM_NAME_DATABASE_READ "database.read"
#define OV_PERM_NAME_DATABASE_WRITE "database.write"
#define OV_PERM_NAME_DATABASE_CREATE_TABLES "database.create_tables"
#define OV_PERM_NAME_FILESYSTEM_READ "filesystem.read"
#define OV_PERM_NAME_FILESYSTEM_WRITE "filesystem.write"
#define OV_PERM_NAME_SYSTEM_EXEC "system.exec"
#define OV_PERM_NAME_EVENTS_SUBSCRIBE "events.subscribe"
#define OV_PERM_NAME_EVENTS_FIRE "events.fire"
#define OV_PERM_NAME_ROUTES_REGISTER "routes.register"
#define OV_PERM_NAME_ADMIN_MENU "admin.menu"
#define OV_PERM_NAME_CONFIG_READ "config.read"
#define OV_PERM_NAME_CONFIG_WRITE "config.write"
#define OV_PERM_NAME_USERS_READ "users.read"
#define OV_PERM_NAME_USERS_WRITE "users.write"
#define OV_PERM_NAME_SESSIONS_READ "sessions.read"
#define OV_PERM_NAME_SESSIONS_WRITE "sessions.write"
#define OV_PERM_NAME_PLUGIN_CALL "plugin.call"

/* Event names.  The server fires server.start/stop, user.login/create/updated/deleted,
 * config.changed, plugin.loaded/unloaded and scheduler.task_result (and "scheduler.task_start");
 * user.logout, session.* and connection.* are named for plug-ins to fire.  Names are matched
 * exactly (case-sensitive); a subscription to "*" receives every event. */
#define OV_EVENT_SERVER_START "server.start"
#define OV_EVENT_SERVER_STOP "server.stop"
#define OV_EVENT_USER_LOGIN "user.login"
#define OV_EVENT_USER_LOGOUT "user.logout"
#define OV_EVENT_USER_CREATE "user.create"
#define OV_EVENT_SESSION_START "session.start"
#define OV_EVENT_SESSION_END "session.end"
#define OV_EVENT_CONNECTION_NEW "connection.new"
#define OV_EVENT_CONNECTION_CLOSE "connection.close"
#define OV_EVENT_PLUGIN_LOADED "plugin.loaded"
#define OV_EVENT_PLUGIN_UNLOADED "plugin.unloaded"
#define OV_EVENT_CONFIG_CHANGED "config.changed"
#define OV_EVENT_USER_UPDATED "user.updated"
#define OV_EVENT_USER_DELETED "user.deleted"
#define OV_EVENT_SCHEDULER_RESULT "scheduler.task_result"

/* ---- strings --------------------------------------------------------------------------- */

typedef char* OVStr;

/* The 24 bytes before an OVStr's text. */
typedef struct OVStrHeader {
  uint16_t code_page; /* 65001 (UTF-8) */
  uint16_t elem_size; /* 1 */
  uint32_t padding;
  int64_t refcount; /* -1: a constant, never freed */
  int64_t length;   /* bytes, without the terminating NUL */
} OVStrHeader;

OV_ABI_ASSERT(sizeof(OVStrHeader) == 24, "string header is 24 bytes");
OV_ABI_ASSERT(offsetof(OVStrHeader, refcount) == 8, "refcount at 8");
OV_ABI_ASSERT(offsetof(OVStrHeader, length) == 16, "length at 16");

#define OVSTR_HEADER(s) ((OVStrHeader*)((char*)(s) - sizeof(OVStrHeader)))

/* A new string with one reference; NULL for NULL or "". */
static inline OVStr ovstr_new_len(const char* text, size_t len) {
  OVStrHeader* h;
  if (!text || len == 0) return NULL;
  h = (OVStrHeader*)malloc(sizeof(OVStrHeader) + len + 1);
  if (!h) return NULL;
  h->code_page = 65001;
  h->elem_size = 1;
  h->padding = 0;
  h->refcount = 1;
  h->length = (int64_t)len;
  memcpy((char*)(h + 1), text, len);
  ((char*)(h + 1))[len] = '\0';
  return (OVStr)(h + 1);
}

static inline OVStr ovstr_new(const char* text) { return text ? ovstr_new_len(text, strlen(text)) : NULL; }

/* Length in bytes; 0 for NULL. */
static inline int64_t ovstr_len(OVStr s) { return s ? OVSTR_HEADER(s)->length : 0; }

/* Takes a reference (atomic); NULL and constants are left alone.  Returns s.  The count is read
   atomically too: other threads may be changing it. */
static inline OVStr ovstr_addref(OVStr s) {
  if (s && __atomic_load_n(&OVSTR_HEADER(s)->refcount, __ATOMIC_RELAXED) >= 0)
    __atomic_add_fetch(&OVSTR_HEADER(s)->refcount, 1, __ATOMIC_RELAXED);
  return s;
}

/* Drops a reference (atomic) and frees the string with the last one. */
static inline void ovstr_release(OVStr s) {
  if (s && __atomic_load_n(&OVSTR_HEADER(s)->refcount, __ATOMIC_RELAXED) >= 0 &&
      __atomic_sub_fetch(&OVSTR_HEADER(s)->refcount, 1, __ATOMIC_ACQ_REL) == 0)
    free(OVSTR_HEADER(s));
}

/* *dst := src: references src, then releases the old value. */
static inline void ovstr_assign(OVStr* dst, OVStr src) {
  OVStr old = *dst;
  ovstr_addref(src);
  *dst = src;
  ovstr_release(old);
}

/* ---- arrays ---------------------------------------------------------------------------- */

/* The 16 bytes before element 0 of an array (strings, or the records below). */
typedef struct OVArrayHeader {
  int64_t refcount;
  int64_t high; /* highest index: count - 1 */
} OVArrayHeader;

OV_ABI_ASSERT(sizeof(OVArrayHeader) == 16, "array header is 16 bytes");

#define OVARR_HEADER(a) ((OVArrayHeader*)((char*)(a) - sizeof(OVArrayHeader)))

/* Highest index of an array; -1 for NULL. */
static inline int64_t ovarr_high(const void* a) { return a ? OVARR_HEADER(a)->high : -1; }

/* A zero-filled array of count elements of elem_size bytes (one reference); NULL for 0. */
static inline void* ovarr_new(size_t elem_size, int64_t count) {
  OVArrayHeader* h;
  if (count <= 0) return NULL;
  h = (OVArrayHeader*)calloc(1, sizeof(OVArrayHeader) + elem_size * (size_t)count);
  if (!h) return NULL;
  h->refcount = 1;
  h->high = count - 1;
  return h + 1;
}

/* Frees an array block made by ovarr_new (what its elements own is the caller's). */
static inline void ovarr_free(void* a) {
  if (a) free(OVARR_HEADER(a));
}

/* A string array holding new references to count texts. */
static inline OVStr* ovstrarr_new(const char* const* texts, int64_t count) {
  OVStr* a = (OVStr*)ovarr_new(sizeof(OVStr), count);
  int64_t i;
  if (a)
    for (i = 0; i < count; ++i) a[i] = ovstr_new(texts[i]);
  return a;
}

/* Drops a reference to a string array; the last one releases every string and the block. */
static inline void ovstrarr_release(OVStr* a) {
  int64_t i;
  if (!a || __atomic_load_n(&OVARR_HEADER(a)->refcount, __ATOMIC_RELAXED) < 0) return;
  if (__atomic_sub_fetch(&OVARR_HEADER(a)->refcount, 1, __ATOMIC_ACQ_REL) != 0) return;
  for (i = 0; i <= OVARR_HEADER(a)->high; ++i) ovstr_release(a[i]);
  free(OVARR_HEADER(a));
}

/* ---- JSON and criteria (the server's own objects, opaque here) ------------------------- */

typedef struct OVJson OVJson;
typedef struct OVDBACriterion OVDBACriterion;

/* ---- database records (twins of the server's schema and selection records) ------------- */

enum { /* TDBAColumnType */
  OVDBA_TEXT = 0, OVDBA_VARCHAR = 1, OVDBA_INTEGER = 2, OVDBA_BIGINT = 3, OVDBA_FLOAT = 4, OVDBA_DOUBLE = 5,
  OVDBA_BOOLEAN = 6, OVDBA_BLOB = 7, OVDBA_DATETIME = 8, OVDBA_DATE = 9, OVDBA_TIME = 10, OVDBA_JSON = 11,
  OVDBA_UUID = 12
};
enum { /* TDBACompareOp */
  OVDBA_EQ = 0, OVDBA_NEQ = 1, OVDBA_LT = 2, OVDBA_LE = 3, OVDBA_GT = 4, OVDBA_GE = 5, OVDBA_LIKE = 6,
  OVDBA_ILIKE = 7, OVDBA_IN = 8, OVDBA_NOT_IN = 9, OVDBA_IS_NULL = 10, OVDBA_IS_NOT_NULL = 11
};
enum { OVDBA_ASC = 0, OVDBA_DESC = 1 }; /* TDBAOrderDir */
enum { /* TDBAOnDeleteAction */
  OVDBA_NO_ACTION = 0, OVDBA_CASCADE = 1, OVDBA_SET_NULL = 2, OVDBA_RESTRICT = 3, OVDBA_SET_DEFAULT = 4
};

typedef struct OVDBAForeignKey {
  OVStr RefTable; /* NULL: no foreign key */
  OVStr RefColumn;
  int32_t OnDelete;
} OVDBAForeignKey;

typedef struct OVDBAColumnSpec {
  OVStr Name;
  int32_t ColType;
  int32_t Length; /* OVDBA_VARCHAR; below 1: no length */
  OVBool Nullable;
  OVStr DefaultExpr; /* SQL text; NULL: no default */
  OVBool PrimaryKey;
  OVBool Unique;
  OVBool AutoIncrement;
  OVBool CaseInsensitive;
  OVDBAForeignKey ForeignKey;
} OVDBAColumnSpec;

typedef struct OVDBAIndexSpec {
  OVStr Name;
  OVStr* Columns; /* string array */
  OVBool Unique;
} OVDBAIndexSpec;

typedef struct OVDBAUniqueConstraint {
  OVStr Name;
  OVStr* Columns;
} OVDBAUniqueConstraint;

typedef struct OVDBATableSpec {
  OVStr Name;
  OVDBAColumnSpec* Columns;                 /* array (ovarr_new) */
  OVDBAIndexSpec* Indexes;                  /* array */
  OVDBAUniqueConstraint* UniqueConstraints; /* array */
  OVStr* PrimaryKeyColumns;                 /* string array */
} OVDBATableSpec;

typedef struct OVDBAOrderSpec {
  OVStr Column;
  int32_t Direction;
} OVDBAOrderSpec;

typedef struct OVDBASelectSpec {
  OVStr Table;
  OVStr* Columns;                /* string array; NULL: all columns */
  const OVDBACriterion* Where;   /* NULL: all rows; not owned */
  OVDBAOrderSpec* OrderBy;       /* array */
  int32_t Limit;                 /* 0 or less: none */
  int32_t Offset;                /* 0 or less: none */
} OVDBASelectSpec;

OV_ABI_ASSERT(offsetof(OVDBAForeignKey, OnDelete) == 16 && sizeof(OVDBAForeignKey) == 24, "foreign key");
OV_ABI_ASSERT(offsetof(OVDBAColumnSpec, ColType) == 8 && offsetof(OVDBAColumnSpec, Length) == 12 &&
                  offsetof(OVDBAColumnSpec, Nullable) == 16 && offsetof(OVDBAColumnSpec, DefaultExpr) == 24 &&
                  offsetof(OVDBAColumnSpec, PrimaryKey) == 32 && offsetof(OVDBAColumnSpec, CaseInsensitive) == 35 &&
                  offsetof(OVDBAColumnSpec, ForeignKey) == 40 && sizeof(OVDBAColumnSpec) == 64,
              "column description");
OV_ABI_ASSERT(offsetof(OVDBAIndexSpec, Columns) == 8 && offsetof(OVDBAIndexSpec, Unique) == 16 &&
                  sizeof(OVDBAIndexSpec) == 24,
              "index description");
OV_ABI_ASSERT(sizeof(OVDBAUniqueConstraint) == 16, "unique constraint");
OV_ABI_ASSERT(offsetof(OVDBATableSpec, Columns) == 8 && offsetof(OVDBATableSpec, Indexes) == 16 &&
                  offsetof(OVDBATableSpec, UniqueConstraints) == 24 &&
                  offsetof(OVDBATableSpec, PrimaryKeyColumns) == 32 && sizeof(OVDBATableSpec) == 40,
              "table spec");
OV_ABI_ASSERT(offsetof(OVDBAOrderSpec, Direction) == 8 && sizeof(OVDBAOrderSpec) == 16, "order spec");
OV_ABI_ASSERT(offsetof(OVDBASelectSpec, Columns) == 8 && offsetof(OVDBASelectSpec, Where) == 16 &&
                  offsetof(OVDBASelectSpec, OrderBy) == 24 && offsetof(OVDBASelectSpec, Limit) == 32 &&
                  offsetof(OVDBASelectSpec, Offset) == 36 && sizeof(OVDBASelectSpec) == 40,
              "select spec");

/* ---- records ---------------------------------------------------------------------------- */

/* TOVScheduledTask: a plug-in's description of one of its tasks, for a plug-in's own use.  The
 * server takes scheduled tasks as JSON (IOVScheduledPlugin.GetScheduledTasks), never as this. */
typedef struct OVScheduledTask {
  OVStr Name;
  int32_t IntervalSeconds;
  int64_t LastRun; /* UTC seconds since 1970-01-01; 0: never run */
} OVScheduledTask;

OV_ABI_ASSERT(offsetof(OVScheduledTask, IntervalSeconds) == 8 && offsetof(OVScheduledTask, LastRun) == 16 &&
                  sizeof(OVScheduledTask) == 24,
              "scheduled task record");

/* ---- interfaces ------------------------------------------------------------------------ */

typedef struct IOVPlugin IOVPlugin;
typedef struct IOVPluginHost IOVPluginHost;
typedef struct IMailerIO IMailerIO;

/* Callbacks: invoked as code(data, arguments...). */
typedef void (*OVEventCallbackCode)(void* data, OVStr event_type, OVJson* event_data);
typedef void (*OVRouteHandlerCode)(void* data, OVStr method, OVStr path, OVJson* request_body,
                                   int32_t* response_code, OVJson** response_body);

#define OV_INTERFACE(name) \
  typedef struct name name; \
  struct name { const struct name##Vtbl* vtbl; }

/* IOVProtocolPlugin {A3B4C5D6-E7F8-A9B0-C1D2-E3F4A5B6C7D8} */
OV_INTERFACE(IOVProtocolPlugin);
typedef struct IOVProtocolPluginVtbl {
  void (*GetProtocolName)(IOVProtocolPlugin* self, OVStr* result);
  int32_t (*GetListenPort)(IOVProtocolPlugin* self);
  void (*HandleConnection)(IOVProtocolPlugin* self, IMailerIO* io); /* never called by the server */
  OVBool (*Start)(IOVProtocolPlugin* self);
  void (*Stop)(IOVProtocolPlugin* self);
  int32_t (*GetConnectionCount)(IOVProtocolPlugin* self);
  OVBool (*IsRunning)(IOVProtocolPlugin* self);
} IOVProtocolPluginVtbl;

/* IOVRoutePlugin {B4C5D6E7-F8A9-B0C1-D2E3-F4A5B6C7D8E9} */
OV_INTERFACE(IOVRoutePlugin);
typedef struct IOVRoutePluginVtbl {
  void (*RegisterRoutes)(IOVRoutePlugin* self);
  void (*UnregisterRoutes)(IOVRoutePlugin* self);
} IOVRoutePluginVtbl;

/* IOVAdminPlugin {C5D6E7F8-A9B0-C1D2-E3F4-A5B6C7D8E9F0} */
OV_INTERFACE(IOVAdminPlugin);
typedef struct IOVAdminPluginVtbl {
  void (*RegisterAdmin)(IOVAdminPlugin* self);
  void (*UnregisterAdmin)(IOVAdminPlugin* self); /* never called by the server */
} IOVAdminPluginVtbl;

/* IOVDatabasePlugin {D6E7F8A9-B0C1-D2E3-F4A5-B6C7D8E9F0A1} */
OV_INTERFACE(IOVDatabasePlugin);
typedef struct IOVDatabasePluginVtbl {
  int32_t (*GetSchemaVersion)(IOVDatabasePlugin* self);
  void (*CreateSchema)(IOVDatabasePlugin* self);
  void (*MigrateSchema)(IOVDatabasePlugin* self, int32_t from_version);
} IOVDatabasePluginVtbl;

/* IOVEventPlugin {E7F8A9B0-C1D2-E3F4-A5B6-C7D8E9F0A1B2} */
OV_INTERFACE(IOVEventPlugin);
typedef struct IOVEventPluginVtbl {
  void (*SubscribeEvents)(IOVEventPlugin* self);
  void (*UnsubscribeEvents)(IOVEventPlugin* self); /* never called by the server */
} IOVEventPluginVtbl;

/* IOVServicePlugin {C1D2E3F4-A5B6-C7D8-E9F0-A1B2C3D4E5F6} */
OV_INTERFACE(IOVServicePlugin);
typedef struct IOVServicePluginVtbl {
  void (*GetServiceName)(IOVServicePlugin* self, OVStr* result); /* never called by the server */
  /* args is borrowed and may be NULL; the result belongs to the caller; NULL: unknown function. */
  OVJson* (*CallFunction)(IOVServicePlugin* self, OVStr function_name, OVJson* args);
} IOVServicePluginVtbl;

/* IOVScheduledPlugin {B0C1D2E3-F4A5-B6C7-D8E9-F0A1B2C3D4E5} */
OV_INTERFACE(IOVScheduledPlugin);
typedef struct IOVScheduledPluginVtbl {
  /* An array, owned by the caller, of {"name", "description", "interval_seconds"}. */
  OVJson* (*GetScheduledTasks)(IOVScheduledPlugin* self);
  void (*RunTask)(IOVScheduledPlugin* self, OVStr task_name);
} IOVScheduledPluginVtbl;

/* IOVProtocolDetector {D2E3F4A5-B6C7-D8E9-F0A1-B2C3D4E5F6A7}: never called by the server. */
OV_INTERFACE(IOVProtocolDetector);
typedef struct IOVProtocolDetectorVtbl {
  int32_t (*GetSignatureCount)(IOVProtocolDetector* self);
  void (*GetSignature)(IOVProtocolDetector* self, int32_t index, OVStr* name, OVStr* pattern);
  OVBool (*Matches)(IOVProtocolDetector* self, OVStr buffered_data);
  void (*Reset)(IOVProtocolDetector* self);
} IOVProtocolDetectorVtbl;

/* IOVMenuPlugin {F8A9B0C1-D2E3-F4A5-B6C7-D8E9F0A1B2C3}: never called by the server. */
OV_INTERFACE(IOVMenuPlugin);
typedef struct IOVMenuPluginVtbl {
  OVJson* (*GetMenuEntries)(IOVMenuPlugin* self);
} IOVMenuPluginVtbl;

/* IOVConfigPlugin {A9B0C1D2-E3F4-A5B6-C7D8-E9F0A1B2C3D4}: never called by the server. */
OV_INTERFACE(IOVConfigPlugin);
typedef struct IOVConfigPluginVtbl {
  OVJson* (*GetConfigSchema)(IOVConfigPlugin* self);
  void (*ApplyConfig)(IOVConfigPlugin* self, OVJson* config);
} IOVConfigPluginVtbl;

/* IMailerIO {9A5F7E3D-B1C4-4D2E-8F6A-1C3D5E7F9A0B}: a node's I/O handle; never called by the server. */
struct IMailerIO { const struct IMailerIOVtbl* vtbl; };
typedef struct IMailerIOVtbl {
  int32_t (*Read)(IMailerIO* self, void* buffer, int32_t size, int32_t timeout_ms);
  int32_t (*Write)(IMailerIO* self, const void* buffer, int32_t size);
  OVBool (*Connected)(IMailerIO* self);
  void (*Disconnect)(IMailerIO* self);
  void (*GetRemoteAddress)(IMailerIO* self, OVStr* result);
  void (*SetTimeout)(IMailerIO* self, int32_t timeout_ms);
  void (*Flush)(IMailerIO* self);
  void (*Purge)(IMailerIO* self);
} IMailerIOVtbl;

/* IOVPlugin {E1A2B3C4-D5E6-F7A8-B9C0-D1E2F3A4B5C6}: implemented by every plug-in. */
struct IOVPlugin { const struct IOVPluginVtbl* vtbl; };
typedef struct IOVPluginVtbl {
  void (*GetName)(IOVPlugin* self, OVStr* result);
  void (*GetVersion)(IOVPlugin* self, OVStr* result);
  void (*GetDescription)(IOVPlugin* self, OVStr* result);
  void (*GetAuthor)(IOVPlugin* self, OVStr* result);
  void (*GetDependencies)(IOVPlugin* self, OVStr** result);
  uint32_t (*GetRequestedPermissions)(IOVPlugin* self);
  uint32_t (*GetCapabilities)(IOVPlugin* self);
  int32_t (*GetTarget)(IOVPlugin* self);
  IOVProtocolPlugin* (*GetProtocolPlugin)(IOVPlugin* self);
  IOVRoutePlugin* (*GetRoutePlugin)(IOVPlugin* self);
  IOVAdminPlugin* (*GetAdminPlugin)(IOVPlugin* self);
  IOVDatabasePlugin* (*GetDatabasePlugin)(IOVPlugin* self);
  IOVEventPlugin* (*GetEventPlugin)(IOVPlugin* self);
  IOVServicePlugin* (*GetServicePlugin)(IOVPlugin* self);
  IOVProtocolDetector* (*GetProtocolDetector)(IOVPlugin* self);
  IOVScheduledPlugin* (*GetScheduledPlugin)(IOVPlugin* self);
  OVBool (*Initialize)(IOVPlugin* self, IOVPluginHost* host);
  void (*Finalize)(IOVPlugin* self);
} IOVPluginVtbl;

/* IOVPluginHost {F2B3C4D5-E6F7-A8B9-C0D1-E2F3A4B5C6D7}: implemented by the server, 71 slots.
 * The permission a slot checks first is given in brackets. */
struct IOVPluginHost { const struct IOVPluginHostVtbl* vtbl; };
typedef struct IOVPluginHostVtbl {
  void (*LogInfo)(IOVPluginHost* self, OVStr msg);                                         /* 0 */
  void (*LogWarning)(IOVPluginHost* self, OVStr msg);                                      /* 1 */
  void (*LogError)(IOVPluginHost* self, OVStr msg);                                        /* 2 */
  void (*LogDebug)(IOVPluginHost* self, OVStr msg);                                        /* 3 */
  void (*SystemLog)(IOVPluginHost* self, OVStr level, OVStr category, OVStr message);     /* 4 */
  void (*SystemLogEx)(IOVPluginHost* self, OVStr level, OVStr category, OVStr message, OVStr details); /* 5 */
  OVJson* (*DBQuery)(IOVPluginHost* self, OVStr sql);                                      /* 6 [database.read] */
  OVBool (*DBExec)(IOVPluginHost* self, OVStr sql);                                        /* 7 [database.write] */
  OVBool (*DBExecParams)(IOVPluginHost* self, OVStr sql, OVJson* params);                  /* 8 [database.write] */
  void (*DBCreateTable)(IOVPluginHost* self, OVStr sql);                                   /* 9 [database.create_tables] */
  OVBool (*DeclareTable)(IOVPluginHost* self, const OVDBATableSpec* spec);                 /* 10 [database.create_tables] */
  OVBool (*DeclareColumn)(IOVPluginHost* self, OVStr table, const OVDBAColumnSpec* spec);  /* 11 [database.create_tables] */
  OVBool (*DeclareIndex)(IOVPluginHost* self, OVStr table, const OVDBAIndexSpec* spec);    /* 12 [database.create_tables] */
  int64_t (*StoreInsert)(IOVPluginHost* self, OVStr table, OVJson* row);                   /* 13 [database.write] */
  int32_t (*StoreUpdate)(IOVPluginHost* self, OVStr table, const OVDBACriterion* where, OVJson* row); /* 14 [database.write] */
  int32_t (*StoreDelete)(IOVPluginHost* self, OVStr table, const OVDBACriterion* where);   /* 15 [database.write] */
  OVJson* (*StoreSelect)(IOVPluginHost* self, const OVDBASelectSpec* spec);                /* 16 [database.read] */
  int64_t (*StoreUpsert)(IOVPluginHost* self, OVStr table, OVJson* row, const OVStr* key_cols,
                         int64_t key_cols_high);                                           /* 17 [database.write] */
  void (*ConfigGet)(IOVPluginHost* self, OVStr* result, OVStr key, OVStr default_value);   /* 18 [config.read] */
  void (*ConfigSet)(IOVPluginHost* self, OVStr key, OVStr value);                          /* 19 [config.write] */
  OVJson* (*ConfigGetSection)(IOVPluginHost* self, OVStr section);                         /* 20 [config.read] */
  void (*EventSubscribe)(IOVPluginHost* self, OVStr event_type, OVEventCallbackCode code, void* data); /* 21 [events.subscribe] */
  void (*EventUnsubscribeCallback)(IOVPluginHost* self, OVEventCallbackCode code, void* data); /* 22 */
  void (*EventFire)(IOVPluginHost* self, OVStr event_type, OVJson* data);                  /* 23 [events.fire] */
  void (*RouteRegister)(IOVPluginHost* self, OVStr method, OVStr path, OVRouteHandlerCode code,
                        void* data);                                                        /* 24 [routes.register] */
  void (*AdminAddMenu)(IOVPluginHost* self, OVStr title, OVStr url, OVStr icon, int32_t position,
                       OVStr group);                                                        /* 25 [admin.menu] */
  void (*AdminRegisterPage)(IOVPluginHost* self, OVStr path, OVStr html_file);             /* 26 [admin.menu] */
  OVJson* (*SessionGetAll)(IOVPluginHost* self);                                           /* 27 [sessions.read] */
  OVJson* (*SessionGetByNode)(IOVPluginHost* self, int32_t node);                          /* 28 [sessions.read] */
  int32_t (*SessionGetCount)(IOVPluginHost* self);                                         /* 29 [sessions.read] */
  OVJson* (*PluginCall)(IOVPluginHost* self, OVStr plugin_name, OVStr function_name, OVJson* args); /* 30 [plugin.call] */
  IOVPlugin* (*PluginGetService)(IOVPluginHost* self, OVStr plugin_name);                  /* 31 [plugin.call] */
  uint32_t (*GetCurrentPermissions)(IOVPluginHost* self);                                  /* 32 */
  OVBool (*HasPermission)(IOVPluginHost* self, int32_t permission);                        /* 33 */
  OVJson* (*UserGet)(IOVPluginHost* self, int32_t user_id);                                /* 34 [users.read] */
  OVJson* (*UserAuthenticate)(IOVPluginHost* self, OVStr username, OVStr password);        /* 35 [users.read] */
  int32_t (*UserCreate)(IOVPluginHost* self, OVStr username, OVStr password, OVStr real_name,
                        OVStr email);                                                       /* 36 [users.write] */
  void (*ACLGetUserFlags)(IOVPluginHost* self, OVStr* result, int32_t user_id);            /* 37 */
  OVBool (*ACLCheckAccess)(IOVPluginHost* self, int32_t user_id, int32_t resource_security,
                           OVStr required_flags);                                           /* 38 */
  OVBool (*ACLCheckAccessByFlags)(IOVPluginHost* self, OVStr user_flags, OVBool user_is_admin,
                                  int32_t user_security_level, int32_t resource_security,
                                  OVStr required_flags);                                    /* 39 */
  void (*ACLRegisterFlag)(IOVPluginHost* self, OVStr flag_name, OVStr description, OVStr category); /* 40 */
  void (*GetServerVersion)(IOVPluginHost* self, OVStr* result);                            /* 41 */
  void (*GetServerName)(IOVPluginHost* self, OVStr* result);                               /* 42 */
  int64_t (*GetUptime)(IOVPluginHost* self);                                               /* 43 */
  int32_t (*FileReceiveStart)(IOVPluginHost* self, OVStr file_name, OVStr from_addr, int64_t size,
                              int32_t file_time, OVStr hash);                               /* 44 */
  OVBool (*FileReceiveChunk)(IOVPluginHost* self, int32_t handle, OVStr data);             /* 45 */
  OVBool (*FileReceiveComplete)(IOVPluginHost* self, int32_t handle);                      /* 46 */
  void (*FileReceiveAbort)(IOVPluginHost* self, int32_t handle);                           /* 47 */
  OVBool (*FileResumeCheck)(IOVPluginHost* self, OVStr file_name, OVStr from_addr, int64_t size, OVStr hash,
                            int64_t* offset);                                               /* 48 */
  int32_t (*SessionAllocateNode)(IOVPluginHost* self, OVStr protocol);                     /* 49 [sessions.write] */
  void (*SessionReleaseNode)(IOVPluginHost* self, int32_t node_id);                        /* 50 [sessions.write] */
  void (*SessionSetNodeUser)(IOVPluginHost* self, int32_t node_id, OVStr user_name, int32_t user_id); /* 51 [sessions.write] */
  void (*SessionSetNodeAddress)(IOVPluginHost* self, int32_t node_id, OVStr address);      /* 52 [sessions.write] */
  void (*SessionSetNodeStatus)(IOVPluginHost* self, int32_t node_id, OVStr status);        /* 53 */
  int32_t (*GetDetectionSignatureCount)(IOVPluginHost* self);                              /* 54 */
  void (*GetDetectionSignature)(IOVPluginHost* self, int32_t index, OVStr* name, OVStr* pattern,
                                OVStr* probe_data, int32_t* probe_interval_ms, int32_t* priority); /* 55 */
  int32_t (*DispatchInboundProtocol)(IOVPluginHost* self, IMailerIO* io, OVStr signature_name,
                                     OVStr buffered_data, OVStr* result_json);              /* 56 */
  OVBool (*DispatchOutboundProtocol)(IOVPluginHost* self, IMailerIO* io, OVStr protocol,
                                     OVStr params_json);                                    /* 57 */
  void (*WSPushCommand)(IOVPluginHost* self, OVStr protocol, OVJson* command);             /* 58 */
  OVBool (*IsWSConnected)(IOVPluginHost* self);                                            /* 59 */
  int32_t (*GetWSClientID)(IOVPluginHost* self);                                           /* 60 */
  void (*WSSendToClient)(IOVPluginHost* self, int32_t client_id, OVJson* command);         /* 61 */
  OVJson* (*WSGetClientsByProtocol)(IOVPluginHost* self, OVStr protocol);                  /* 62 */
  OVBool (*SecurityIsBanned)(IOVPluginHost* self, OVStr ip);                               /* 63 */
  OVBool (*SecurityAllowConnection)(IOVPluginHost* self, OVStr ip);                        /* 64 */
  void (*SecurityConnectionOpened)(IOVPluginHost* self, OVStr ip);                         /* 65 */
  void (*SecurityConnectionClosed)(IOVPluginHost* self, OVStr ip);                         /* 66 */
  void (*BeginBatch)(IOVPluginHost* self);                                                 /* 67 */
  void (*CommitBatch)(IOVPluginHost* self);                                                /* 68 */
  void (*RollbackBatch)(IOVPluginHost* self);                                              /* 69 */
  int64_t (*DBLastInsertID)(IOVPluginHost* self);                                          /* 70 */
} IOVPluginHostVtbl;

/* Every slot is one pointer, in order. */
#define OV_SLOT(T, member, n) OV_ABI_ASSERT(offsetof(T, member) == (n) * sizeof(void*), #T "." #member)
OV_SLOT(IOVPluginVtbl, GetName, 0);
OV_SLOT(IOVPluginVtbl, GetDependencies, 4);
OV_SLOT(IOVPluginVtbl, GetTarget, 7);
OV_SLOT(IOVPluginVtbl, GetProtocolPlugin, 8);
OV_SLOT(IOVPluginVtbl, GetServicePlugin, 13);
OV_SLOT(IOVPluginVtbl, GetScheduledPlugin, 15);
OV_SLOT(IOVPluginVtbl, Initialize, 16);
OV_SLOT(IOVPluginVtbl, Finalize, 17);
OV_ABI_ASSERT(sizeof(IOVPluginVtbl) == 18 * sizeof(void*), "IOVPlugin has 18 slots");
OV_SLOT(IOVProtocolPluginVtbl, Start, 3);
OV_SLOT(IOVProtocolPluginVtbl, IsRunning, 6);
OV_ABI_ASSERT(sizeof(IOVProtocolPluginVtbl) == 7 * sizeof(void*), "IOVProtocolPlugin has 7 slots");
OV_ABI_ASSERT(sizeof(IOVRoutePluginVtbl) == 2 * sizeof(void*), "IOVRoutePlugin has 2 slots");
OV_ABI_ASSERT(sizeof(IOVAdminPluginVtbl) == 2 * sizeof(void*), "IOVAdminPlugin has 2 slots");
OV_SLOT(IOVDatabasePluginVtbl, MigrateSchema, 2);
OV_ABI_ASSERT(sizeof(IOVDatabasePluginVtbl) == 3 * sizeof(void*), "IOVDatabasePlugin has 3 slots");
OV_ABI_ASSERT(sizeof(IOVEventPluginVtbl) == 2 * sizeof(void*), "IOVEventPlugin has 2 slots");
OV_SLOT(IOVServicePluginVtbl, CallFunction, 1);
OV_ABI_ASSERT(sizeof(IOVServicePluginVtbl) == 2 * sizeof(void*), "IOVServicePlugin has 2 slots");
OV_SLOT(IOVScheduledPluginVtbl, RunTask, 1);
OV_ABI_ASSERT(sizeof(IOVScheduledPluginVtbl) == 2 * sizeof(void*), "IOVScheduledPlugin has 2 slots");
OV_ABI_ASSERT(sizeof(IOVProtocolDetectorVtbl) == 4 * sizeof(void*), "IOVProtocolDetector has 4 slots");
OV_ABI_ASSERT(sizeof(IOVMenuPluginVtbl) == 1 * sizeof(void*), "IOVMenuPlugin has 1 slot");
OV_ABI_ASSERT(sizeof(IOVConfigPluginVtbl) == 2 * sizeof(void*), "IOVConfigPlugin has 2 slots");
OV_ABI_ASSERT(sizeof(IMailerIOVtbl) == 8 * sizeof(void*), "IMailerIO has 8 slots");
OV_SLOT(IOVPluginHostVtbl, SystemLogEx, 5);
OV_SLOT(IOVPluginHostVtbl, DBQuery, 6);
OV_SLOT(IOVPluginHostVtbl, StoreUpsert, 17);
OV_SLOT(IOVPluginHostVtbl, ConfigGetSection, 20);
OV_SLOT(IOVPluginHostVtbl, EventSubscribe, 21);
OV_SLOT(IOVPluginHostVtbl, PluginCall, 30);
OV_SLOT(IOVPluginHostVtbl, HasPermission, 33);
OV_SLOT(IOVPluginHostVtbl, GetServerVersion, 41);
OV_SLOT(IOVPluginHostVtbl, FileResumeCheck, 48);
OV_SLOT(IOVPluginHostVtbl, SessionSetNodeStatus, 53);
OV_SLOT(IOVPluginHostVtbl, DispatchOutboundProtocol, 57);
OV_SLOT(IOVPluginHostVtbl, WSGetClientsByProtocol, 62);
OV_SLOT(IOVPluginHostVtbl, SecurityConnectionClosed, 66);
OV_SLOT(IOVPluginHostVtbl, DBLastInsertID, 70);
OV_ABI_ASSERT(sizeof(IOVPluginHostVtbl) == 71 * sizeof(void*), "IOVPluginHost has 71 slots");
#undef OV_SLOT

/* ---- the library's exports ------------------------------------------------------------- */

/* Optional: the API version the library was built for (1 or 2 load; missing means 2). */
OV_ABI_EXPORT int32_t OVPluginAPIVersion(void);
/* Required: the plug-in object.  host is a temporary host without permissions: do not keep it;
 * the lasting host arrives in IOVPlugin.Initialize. */
OV_ABI_EXPORT IOVPlugin* OVPluginCreate(IOVPluginHost* host);
/* Optional: frees the plug-in object (after Finalize, or when the library is skipped). */
OV_ABI_EXPORT void OVPluginDestroy(IOVPlugin* plugin);

typedef int32_t (*TOVPluginAPIVersionFunc)(void);
typedef IOVPlugin* (*TOVPluginCreateFunc)(IOVPluginHost* host);
typedef void (*TOVPluginDestroyProc)(IOVPlugin* plugin);

/* ---- SDK: JSON ------------------------------------------------------------------------- */
/* Values are the server's JSON nodes.  "takes" means the callee owns the value afterwards;
 * "borrowed" results stay owned by their container.  Every function accepts NULL and then
 * does nothing or answers NULL / the default. */

enum { OVJ_NONE = -1, OVJ_NULL = 0, OVJ_OBJECT = 1, OVJ_ARRAY = 2, OVJ_STRING = 3, OVJ_BOOL = 4, OVJ_INT = 5,
       OVJ_FLOAT = 6 };

OV_ABI_EXPORT OVJson* ovj_parse(const char* text);                  /* NULL when the text is not JSON */
OV_ABI_EXPORT OVStr ovj_write(const OVJson* value);                 /* compact text, a new OVStr */
OV_ABI_EXPORT void ovj_free(OVJson* value);
OV_ABI_EXPORT OVJson* ovj_new_object(void);
OV_ABI_EXPORT OVJson* ovj_new_array(void);
OV_ABI_EXPORT void ovj_set_str(OVJson* obj, const char* name, const char* value);
OV_ABI_EXPORT void ovj_set_int(OVJson* obj, const char* name, int64_t value);
OV_ABI_EXPORT void ovj_set_bool(OVJson* obj, const char* name, int value);
OV_ABI_EXPORT void ovj_set(OVJson* obj, const char* name, OVJson* value); /* takes value */
OV_ABI_EXPORT void ovj_push(OVJson* arr, OVJson* value);                  /* takes value */
OV_ABI_EXPORT OVJson* ovj_get(const OVJson* obj, const char* name);       /* borrowed; NULL when absent */
OV_ABI_EXPORT OVJson* ovj_at(const OVJson* arr, int64_t index);           /* borrowed; NULL when outside */
OV_ABI_EXPORT int64_t ovj_size(const OVJson* value);  /* members or elements; 0 for other values */
OV_ABI_EXPORT int ovj_type(const OVJson* value);      /* OVJ_*; OVJ_NONE for NULL */
OV_ABI_EXPORT const char* ovj_get_str(const OVJson* obj, const char* name); /* borrowed; NULL unless a string */
OV_ABI_EXPORT int64_t ovj_get_int(const OVJson* obj, const char* name, int64_t default_value);

/* ---- SDK: criteria --------------------------------------------------------------------- */
/* A criterion tree belongs to whoever built it (ovdba_free); a compound owns its children. */

OV_ABI_EXPORT OVDBACriterion* ovdba_cmp(const char* column, int32_t op, OVJson* value); /* takes value */
OV_ABI_EXPORT OVDBACriterion* ovdba_cmp_str(const char* column, int32_t op, const char* value);
OV_ABI_EXPORT OVDBACriterion* ovdba_cmp_int(const char* column, int32_t op, int64_t value);
OV_ABI_EXPORT OVDBACriterion* ovdba_cmp_bool(const char* column, int32_t op, int value);
OV_ABI_EXPORT OVDBACriterion* ovdba_is_null(const char* column);
OV_ABI_EXPORT OVDBACriterion* ovdba_is_not_null(const char* column);
OV_ABI_EXPORT OVDBACriterion* ovdba_and(void); /* an empty AND compound */
OV_ABI_EXPORT OVDBACriterion* ovdba_or(void);  /* an empty OR compound */
/* Appends child to a compound and takes it (NULL is ignored); 0, with child freed, when
 * compound is not a compound. */
OV_ABI_EXPORT int ovdba_add(OVDBACriterion* compound, OVDBACriterion* child);
OV_ABI_EXPORT void ovdba_free(OVDBACriterion* criterion);

/* A column record with the given fields, no foreign key and new strings (ovdba_column_release). */
OV_ABI_EXPORT OVDBAColumnSpec ovdba_make_column(const char* name, int32_t col_type, int32_t length, int nullable,
                                                const char* default_expr, int primary_key, int unique,
                                                int auto_increment);
OV_ABI_EXPORT void ovdba_column_release(OVDBAColumnSpec* column);

#ifdef __cplusplus
}
#endif

#endif /* ORVANTA_PLUGIN_ABI_H */
