#pragma once
// ecran-send run in this process: its exit status and what it wrote, with
// the display's port setting stood in for unless a test reads the real file.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <istream>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "ecran-send/display_port.h"
#include "ecran-send/errors.h"
#include "ecran-send/sender.h"

namespace {

using Args = std::vector<std::string>;
using ecran::sender::kExitSendFailure;
using ecran::sender::kExitSent;
using ecran::sender::kExitUsage;
constexpr auto npos = std::string::npos;

struct Outcome {
    int code;
    std::string out;
    std::string err;
};

// `stored` stands in for the display's port setting; without it the real
// settings file is read.
inline Outcome runSender(const Args& args, std::istream& in, const std::optional<std::string>& stored = "0",
                         std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    using Text = std::function<std::string()>;
    std::ostringstream out, err;
    ecran::sender::Environment env{
        in, out, err, stored ? Text([s = *stored] { return s; }) : Text(ecran::sender::storedPortText),
        stored ? Text([] { return std::string("/settings/QUOLVEtavrin.ini"); }) : Text(ecran::sender::settingsFilePath),
        timeout};
    const int code = ecran::sender::run(args, env);
    return {code, out.str(), err.str()};
}
inline Outcome runSender(const Args& args, std::istream& in, std::chrono::milliseconds timeout) {
    return runSender(args, in, "0", timeout);
}
template <class... Rest>
Outcome runSender(const Args& args, const std::string& input = {}, Rest... rest) {
    std::istringstream in(input);
    return runSender(args, in, rest...);
}

// A row of a table is shown by its name in failure messages.
template <class Row>
    requires requires(const Row& row) { std::string(row.name); }
void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

}  // namespace
