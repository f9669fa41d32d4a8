// Checks of the seven paths made before any file is opened.
#pragma once

#include <string>
#include <vector>

namespace cirsharp {

// Refuses, with UsageError, the PAN tile file when it is the same
// file as the colour file, an output (positions 3 to 7) that is the same file
// as an earlier path, and with `envi` a product header
// (PRODUCT.hdr) that is the same file as one of the seven or as another
// header. Links are followed; a hard link or another spelling of a path is
// the same file; special files (devices, pipes) are never the same file and
// get no header.
void check_paths(const std::vector<std::string>& paths, bool envi);

// Refuses a run record that is the same file as one of the seven paths or,
// with `envi`, as a product header.
void check_record_path(const std::vector<std::string>& paths, bool envi, const std::string& record);

}  // namespace cirsharp
