// The whole program: the command line, the path checks and the run, with
// every failure mapped to a message and an exit status.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace cirsharp {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;  // a failure during the run
inline constexpr int kExitUsage = 2;    // bad arguments, or an output naming an input

// The transcript on `out`, messages on `err`, the exit status as the result.
int run_cli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace cirsharp
