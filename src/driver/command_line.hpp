// The command line: options, the seven paths and the usage text.
#pragma once

#include <string>
#include <vector>

#include "driver/plan.hpp"

namespace cirsharp {

struct CommandLine {
    bool help = false;
    bool version = false;
    RunPlan plan;  // threads 0 when not given
};

// Parses the arguments after the program name; throws UsageError with a
// one-line reason.
CommandLine parse_command_line(const std::vector<std::string>& args);

std::string usage_text();

}  // namespace cirsharp
