#include <iostream>
#include <string>
#include <vector>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "driver/driver.hpp"
#include "io/file.hpp"

int main(int argc, char** argv) {
    // Before anything is opened: a product must never become standard output.
    if (!cirsharp::io::open_missing_standard_descriptors()) return cirsharp::kExitFailure;
#if defined(__GLIBC__)
    // Working rows and bands are freed and allocated again many times; keep
    // that memory in the heap rather than mapping and unmapping it each time,
    // since touching fresh pages costs far more than reusing warm ones.
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
#endif
    return cirsharp::run_cli(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
