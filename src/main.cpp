// Orvanta BBS central server: command line and console life.
#include "ov_daemon.h"
#include "ov_memory.h"
#include "ov_plugin_probe.h"

int main(int argc, char** argv) {
  // The installer's check of a plug-in library runs in this executable started again: it ends
  // there, before anything of the server is set up.
  ov::RunPluginProbeIfAsked(argc, argv);
  // Before any thread starts and before SQLite is first used.
  ov::ConfigureMemory();
  return ov::OrvantaMain(argc, argv);
}
