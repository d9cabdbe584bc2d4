// Orvanta BBS central server: command line and console life.
#include "ov_daemon.h"
#include "ov_memory.h"

int main(int argc, char** argv) {
  // Before the first database connection.
  ov::LimitSQLiteMemory();
  return ov::OrvantaMain(argc, argv);
}
