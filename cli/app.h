#pragma once

namespace px::cli {

// The whole tool: arguments in, exit code out. Usage errors give 2.
int Run(int argc, char** argv);

}  // namespace px::cli
