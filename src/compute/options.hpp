// How the stages run; none of it changes a product byte.
#pragma once

namespace cirsharp {

struct StageOptions {
    // Threads that compute. With more than one, products are also written,
    // and replaced ones given back, on threads of their own meanwhile.
    int threads = 1;
    bool reference = false;  // per-sample arithmetic instead of lookup tables
    bool durable = false;    // flush products to disk before committing them
};

}  // namespace cirsharp
