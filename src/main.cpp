// Orvanta BBS central server: command line and console life.
#include "ov_daemon.h"
#include "ov_memory.h"

int main(int argc, char** argv) {
  // Before any thread starts and before SQLite is first used.
  ov::ConfigureMemory();
  return ov::OrvantaMain(argc, argv);
}
