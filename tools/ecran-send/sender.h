#pragma once
// The whole of ecran-send, apart from the process around it.

#include <chrono>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

namespace ecran::sender {

// What the program reads and writes outside its arguments.
struct Environment {
    std::istream& in;
    std::ostream& out;
    std::ostream& err;
    // The display's port setting, as stored text (see display_port.h).
    std::function<std::string()> storedPortText;
    // The settings file that holds it, named in messages.
    std::function<std::string()> settingsFile;
    // How long a broker has to answer a connection or a publish (--broker).
    std::chrono::milliseconds brokerTimeout = std::chrono::seconds(10);
};

// Runs ecran-send with `args` (without the program name) and returns its exit
// status: kExitSent, kExitSendFailure or kExitUsage.
[[nodiscard]] int run(const std::vector<std::string>& args, Environment& env);

}  // namespace ecran::sender
