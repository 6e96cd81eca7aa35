#include "cli/app.h"

int main(int argc, char** argv) {
  return px::cli::Run(argc, argv);
}
