// How the stages compute; none of it changes a product byte.
#pragma once

namespace cirsharp {

struct StageOptions {
    // Threads that compute. With more than one, products are also written,
    // and replaced ones given back, on threads of their own meanwhile.
    int threads = 1;
    bool reference = false;  // per-sample arithmetic instead of lookup tables
};

}  // namespace cirsharp
