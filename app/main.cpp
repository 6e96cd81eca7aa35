#include "app/application.h"

int main(int argc, char** argv) {
  return px::app::RunApplication(argc, argv,
                                 {.makeTransport = [] { return px::CreatePlatformTransport(); },
                                  .onStarted = {},
                                  .logDirectory = {}});
}
