// ecran: the full-screen message display. main() wires the window to the
// application and runs the event loop.

#include <QApplication>

#include <cstdlib>
#include <malloc.h>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "display/close_signals.h"
#include "display/fonts.h"
#include "display/form1.h"
#include "display/screen_awake.h"
#include "display/service_notifier.h"
#include "fleet/fleet_config.h"
#include "fleet/fleet_link.h"
#include "win32/config_dir.h"

namespace {

constexpr const char* kUsage =
    "usage: ecran [--help | --version]\n"
    "\n"
    "Shows a full-screen message display driven by UDP datagrams: a plain\n"
    "datagram replaces the main message, byte 0xFF then \"1\" and text replaces\n"
    "the scrolling ticker, byte 0xFF then \"2\" and a number sets the main\n"
    "message's colour (0x00BBGGRR). The last message is stored and shown again\n"
    "at the next start.\n"
    "\n"
    "Its settings are in FILE, $XDG_CONFIG_HOME/ecran/QUOLVEtavrin.ini (default\n"
    "~/.config/ecran/): [ecran] port is the UDP port (0 lets the system choose a\n"
    "free port, printed at start); [mqtt] broker = mqtt://HOST[:PORT] or\n"
    "mqtts://HOST[:PORT] also takes commands from an MQTT broker and publishes\n"
    "the screen's status and state there (keys name, groups, prefix, username,\n"
    "password, ca, discovery, keepalive; see the README).\n"
    "Without a display server it runs on Qt's offscreen platform.\n";

std::string profilePath() { return ecran::win32::configDirectory() + "/" + ecran::display::kProfileFile; }

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) {
        const std::string arg = argv[1];
        if (argc == 2 && (arg == "--help" || arg == "-h")) {
            std::cout << kUsage;
            return 0;
        }
        if (argc == 2 && arg == "--version") {
            std::cout << "ecran " << ECRAN_VERSION << "\n";
            return 0;
        }
        std::cerr << "ecran takes no arguments; its one setting is [ecran] port in " << profilePath()
                  << " (see ecran --help)\n";
        return 2;
    }

    // The display runs for months and redraws captions into pixmaps of
    // hundreds of kilobytes: give such blocks straight back to the system
    // when they are freed, and keep the threads Qt starts from holding heaps
    // of their own, so that the resident size does not creep up.
    ::mallopt(M_MMAP_THRESHOLD, 64 * 1024);
    ::mallopt(M_ARENA_MAX, 2);

    const char* platform = std::getenv("QT_QPA_PLATFORM");
    const bool noDisplay = !std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY");
    if ((!platform || !*platform) && noDisplay) {
        std::cerr << "ecran: no display server (DISPLAY and WAYLAND_DISPLAY are unset): running on Qt's offscreen "
                     "platform; nothing is shown, messages are still received and stored\n";
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("ecran"));
    QApplication::setApplicationVersion(QStringLiteral(ECRAN_VERSION));
    if (ecran::display::installFontStandIn().isEmpty()) {
        std::cerr << "ecran: neither \"Trebuchet MS\" nor \"Open Sans\" is installed: the labels use the "
                     "default sans face (install fonts-open-sans)\n";
    }

    // Reads (and clears) the service manager's socket before anything else
    // could start a child that inherits it.
    ecran::display::ServiceNotifier notifier;
    std::optional<ecran::fleet::FleetConfig> fleetConfig;
    try {
        fleetConfig = ecran::fleet::readFleetConfig(ecran::display::kProfileFile, profilePath());
    } catch (const ecran::fleet::ConfigError& e) {
        std::cerr << "ecran: " << e.what() << "\n";
        return 1;
    }
    ecran::display::Form1 form;
    try {
        form.Form_Load();
    } catch (const ecran::display::StartupError& e) {
        std::cerr << "ecran: " << e.what() << "\n";
        return 1;
    }
    std::cerr << "ecran " << ECRAN_VERSION << ": listening on UDP port " << form.boundPort()
              << " (all interfaces); settings and last message in " << profilePath() << "\n";
    // Without a broker in [mqtt] there is no fleet link at all.
    std::unique_ptr<ecran::fleet::FleetLink> fleet;
    if (fleetConfig) {
        try {
            fleet = std::make_unique<ecran::fleet::FleetLink>(form, std::move(*fleetConfig), ECRAN_VERSION);
        } catch (const std::runtime_error& e) {
            std::cerr << "ecran: [mqtt] in " << profilePath() << ": " << e.what() << "\n";
            return 1;
        }
        fleet->start();
    }

    ecran::display::CloseSignals closeSignals(&form);
    form.showFullScreen();
    const ecran::display::ScreenAwake awake;
    std::cerr << "ecran: " << awake.report().toStdString() << "\n";
    if (notifier.managed()) std::cerr << "ecran: " << notifier.report().toStdString() << "\n";
    notifier.ready(QStringLiteral("Listening on UDP port %1").arg(form.boundPort()));
    const int status = QApplication::exec();
    notifier.stopping();
    if (fleet) fleet->stop();
    return status;
}
