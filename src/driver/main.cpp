#include <iostream>
#include <string>
#include <vector>

#include "driver/driver.hpp"

int main(int argc, char** argv) {
    return cirsharp::run_cli(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
