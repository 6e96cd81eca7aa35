#include "service/daemon.h"

#ifndef PXRAID_PROGRAM
#define PXRAID_PROGRAM "/usr/bin/pxraid"
#endif
#ifndef PXRAID_VERSION
#define PXRAID_VERSION "unknown"
#endif

int main(int argc, char** argv) {
  px::service::Daemon daemon(PXRAID_VERSION, PXRAID_PROGRAM);
  return daemon.Run(argc, argv);
}
