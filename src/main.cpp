// Orvanta BBS central server: command line and console life.
#include "ov_daemon.h"

int main(int argc, char** argv) { return ov::OrvantaMain(argc, argv); }
