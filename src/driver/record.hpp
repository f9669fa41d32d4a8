// The run record (--record FILE): what one run was given, what it did and
// what it found, as one JSON object for the tools that check a whole flight.
// The keys and the flag vocabulary are documented in the README and the man
// page; this is their only writer.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "driver/plan.hpp"
#include "driver/run.hpp"
#include "pan/pan_stage.hpp"

namespace cirsharp {

inline constexpr int kRecordVersion = 1;

// More than this share of the kept PAN samples at 0 or 1 flags pan_nodata.
inline constexpr int kNodataPercentLimit = 5;

struct RecordFile {
    int position = 0;  // on the command line, 1 to 7
    std::string name;
    std::string path;
    std::optional<std::uint64_t> size;
    bool committed = false;  // products only
};

// What the first PAN pass found, and what follows from it.
struct RecordPan {
    PanScan scan;
    bool compressed_equal = false;  // the stretch's limits are one value: all PAN8 bytes 0
    std::uint64_t samples = 0;      // the kept samples, that the counts count
};

struct RunRecord {
    std::string version;
    RunPlan plan;  // its paths are the files' below
    std::chrono::system_clock::time_point start;
    double wall_seconds = 0;
    double cpu_seconds = 0;
    int status = 0;
    std::optional<std::string> error;  // the message, without "cirsharp: "
    std::vector<RecordFile> inputs;
    std::vector<RecordFile> products;
    std::optional<RecordPan> pan;
    // The eight printed stretch limits in their printed order: red, green,
    // blue, NIR minimum, then the maxima (red, green, NIR compressed).
    std::optional<std::array<std::uint16_t, 8>> limits;
};

// The record of a run of `plan` as far as `found` tells; the times, the
// status and the error are left to the caller.
RunRecord record_of(const RunPlan& plan, const RunFindings& found);

// The sorted flags that the record's values raise.
std::vector<std::string> record_flags(const RunRecord& record);

// The record as JSON text, ending in a newline.
std::string record_json(const RunRecord& record);

// `text` with each byte that is not part of a well-formed UTF-8 sequence
// replaced by U+FFFD; `valid` tells whether there was none.
std::string replace_invalid_utf8(std::string_view text, bool& valid);

}  // namespace cirsharp
