#pragma once

namespace px::cli {

// The whole tool: arguments in, exit code out. Usage errors give 2 (3 for
// status, whose exit codes are a monitoring plugin's).
int Run(int argc, char** argv);

}  // namespace px::cli
