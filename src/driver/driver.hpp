// The run: command line, the seven files, the work buffers and the stages in
// order.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace cirsharp {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;  // a failure during the run
inline constexpr int kExitUsage = 2;    // bad arguments, or an output naming an input

struct CommandLine {
    bool help = false;
    bool version = false;
    bool fsync = false;
    bool reference = false;
    bool envi = false;                     // an ENVI header beside each product
    std::optional<std::string> quicklook;  // folder for PNG previews
    std::optional<int> threads;
    std::vector<std::string> paths;  // the seven positions
};

// Parses the arguments after the program name; throws std::invalid_argument
// with a one-line reason.
CommandLine parse_command_line(const std::vector<std::string>& args);

std::string usage_text();

// The whole program: the transcript on `out`, messages on `err`, the exit
// status as the result.
int run_cli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace cirsharp
