// The whole program: the command line, the path checks and the run, with
// every failure mapped to a message and an exit status (failure.hpp).
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "driver/failure.hpp"

namespace cirsharp {

// The transcript on `out`, messages on `err`, the exit status as the result.
int run_cli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace cirsharp
