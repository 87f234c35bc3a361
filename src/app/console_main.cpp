// ecran-console: the fleet's web page and API. main() reads the command
// line and the settings, wires the service and runs the event loop.

#include <QCoreApplication>

#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "console/console_command.h"
#include "console/console_config.h"
#include "console/console_service.h"
#include "console/stop_signals.h"

using namespace ecran::console;

int main(int argc, char** argv) {
    std::string why;
    const auto args = parseArguments(std::vector<std::string>(argv + 1, argv + argc), why);
    if (!args) {
        std::cerr << "ecran-console: " << why << " (see ecran-console --help)\n";
        return kExitUsage;
    }
    if (args->action == Arguments::Action::Help) {
        std::cout << usage();
        return kExitOk;
    }
    if (args->action == Arguments::Action::Version) {
        std::cout << "ecran-console " << ECRAN_VERSION << "\n";
        return kExitOk;
    }
    std::string file = args->config.empty() ? defaultConfigFile() : args->config;
    if (file.empty()) {
        std::cerr << "ecran-console: no home folder for the default settings file: give --config FILE\n";
        return kExitFailure;
    }
    std::error_code ec;
    file = std::filesystem::absolute(file, ec).string();
    ConsoleConfig config;
    try {
        config = readConsoleConfig(file);
    } catch (const std::exception& e) {
        std::cerr << "ecran-console: " << e.what() << "\n";
        return kExitFailure;
    }
    if (args->action != Arguments::Action::Serve) return runTokenCommand(*args, config.data, std::cout, std::cerr);

    QCoreApplication app(argc, argv);
    // Before the broker's thread starts, so that it inherits the blocked signals.
    (void)quitOnStopSignals(&app);
    std::optional<ConsoleService> service;
    try {
        service.emplace(config);
    } catch (const std::exception& e) {
        std::cerr << "ecran-console: " << e.what() << "\n";
        return kExitFailure;
    }
    if (!service->start()) return kExitFailure;
    return app.exec();
}
