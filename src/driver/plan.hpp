// One run as the command line asks for it: made once, then used by the run
// and by its record.
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

struct RunPlan {
    std::vector<std::string> paths;        // the seven positions
    int threads = 0;                       // computing threads; 0 until settled
    bool fsync = false;                    // flush each product to disk before committing it
    bool direct_io = true;                 // products around the page cache, inputs dropped from it
    bool reference = false;                // per-sample arithmetic instead of tables
    bool envi = false;                     // an ENVI header beside each product
    std::optional<std::string> quicklook;  // folder for PNG previews
    std::optional<int> thumbnail;          // width of the sharpened product's PNG beside it
    std::optional<std::string> record;     // the run record's file
};

}  // namespace cirsharp
