// The command line: options, the seven paths and the usage text.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace cirsharp {

inline constexpr int kPositions = 7;
// How messages name the file at each position.
inline constexpr const char* kPositionNames[kPositions] = {
    "colour file", "PAN tile file",      "RGBIR16 file", "CIR8 file",
    "PAN8 file",   "sharpened CIR file", "PAN16 file"};

struct CommandLine {
    bool help = false;
    bool version = false;
    bool fsync = false;
    bool reference = false;
    bool envi = false;                     // an ENVI header beside each product
    std::optional<std::string> quicklook;  // folder for PNG previews
    std::optional<std::string> record;     // the run record's file
    std::optional<int> threads;
    std::vector<std::string> paths;  // the seven positions
};

// Parses the arguments after the program name; throws std::invalid_argument
// with a one-line reason.
CommandLine parse_command_line(const std::vector<std::string>& args);

std::string usage_text();

}  // namespace cirsharp
