// ecran-config: see config_tool.h.

#include <iostream>
#include <string>
#include <vector>

#include "config_tool.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    return ecran::config_tool::run(args, std::cout, std::cerr);
}
