/* A C module for Lua that leaves a marker file ($OV_LUA_MARKER) as soon as it is loaded.  The
   sandbox tests put it on package.cpath and check that the marker never appears. */
#include <stdio.h>
#include <stdlib.h>

static void leave_marker(void) {
  const char* path = getenv("OV_LUA_MARKER");
  if (!path) return;
  FILE* f = fopen(path, "w");
  if (f) {
    fputs("loaded\n", f);
    fclose(f);
  }
}

__attribute__((constructor)) static void on_load(void) { leave_marker(); }

int luaopen_ovmarker(void* L) {
  (void)L;
  leave_marker();
  return 0;
}
