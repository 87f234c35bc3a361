// ecran-send: sends one message to an ecran display (see --help).

#include <iostream>
#include <string>
#include <vector>

#include "ecran-send/display_port.h"
#include "ecran-send/sender.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    ecran::sender::Environment env{std::cin, std::cout, std::cerr, ecran::sender::storedPortText,
                                   ecran::sender::settingsFilePath};
    return ecran::sender::run(args, env);
}
