// ecran: the full-screen message display. main() wires the window to the
// application and runs the event loop.

#include <QApplication>
#include <QTimer>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <malloc.h>
#include <memory>
#include <optional>
#include <string>
#include <unistd.h>

#include "display/close_signals.h"
#include "display/fonts.h"
#include "display/form1.h"
#include "display/screen_awake.h"
#include "display/service_notifier.h"
#include "errors/report.h"
#include "fleet/fleet_config.h"
#include "fleet/fleet_link.h"
#include "win32/config_dir.h"

namespace {

// How often pending summaries of repeated reports are looked at; each kind is
// still summarised at most once a minute.
constexpr int kReportFlushMs = 5000;

constexpr const char* kUsage =
    "usage: ecran [-h | --help | --version]\n"
    "\n"
    "Shows a full-screen message display driven by UDP datagrams: a plain\n"
    "datagram replaces the main message, byte 0xFF then \"1\" and text replaces\n"
    "the scrolling ticker, byte 0xFF then \"2\" and a number sets the main\n"
    "message's colour (0x00BBGGRR). The last message is stored and shown again\n"
    "at the next start.\n"
    "\n"
    "Its settings are in FILE, $XDG_CONFIG_HOME/ecran/QUOLVEtavrin.ini (default\n"
    "~/.config/ecran/):\n"
    "  [ecran] port    the UDP port; 0 lets the system choose a free port, printed\n"
    "                  at start\n"
    "  [ecran] listen  the one address to listen on (127.0.0.1, ::1, 0.0.0.0 for\n"
    "                  IPv4 only); missing or empty: every interface, IPv4 and IPv6\n"
    "  [ecran] allow   the senders whose datagrams are shown: addresses and\n"
    "                  prefixes separated by commas or blanks (192.168.1.0/24,\n"
    "                  10.0.0.5, fd00::/8); missing or empty: every sender. Other\n"
    "                  senders' datagrams are dropped and counted on stderr.\n"
    "An entry that cannot be read stops the start with status 1.\n"
    "[mqtt] broker = mqtt://HOST[:PORT] or mqtts://HOST[:PORT] also takes commands\n"
    "from an MQTT broker and publishes the screen's status and state there (keys\n"
    "name, groups, prefix, username, password, ca, discovery, keepalive; see the\n"
    "README).\n"
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
        std::cerr << "ecran takes no arguments; its settings are [ecran] port, listen and allow in "
                  << profilePath() << " (see ecran --help)\n";
        return 2;
    }

    if (ecran::win32::configDirectory().empty()) {
        std::cerr << "ecran: cannot tell where to keep the settings and the last message: neither "
                     "XDG_CONFIG_HOME nor HOME is set to an absolute path, and user id "
                  << ::getuid() << " has no home directory in the password database; set HOME\n";
        return 1;
    }

    // A reader of stderr that goes away (a closed pipe, a log collector that
    // exited) must not kill the display at its next line: the write fails
    // with EPIPE instead, and the line is lost.
    std::signal(SIGPIPE, SIG_IGN);

    // The display runs for months and redraws captions into pixmaps of
    // hundreds of kilobytes: give such blocks straight back to the system
    // when they are freed, and keep the threads Qt starts from holding heaps
    // of their own, so that the resident size does not creep up.
    ::mallopt(M_MMAP_THRESHOLD, 64 * 1024);
    ::mallopt(M_ARENA_MAX, 2);

    // An empty DISPLAY or WAYLAND_DISPLAY names no server: Qt would try it
    // anyway and abort, so it counts as unset.
    for (const char* variable : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = std::getenv(variable);
        if (value && !*value) ::unsetenv(variable);
    }
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    const bool noDisplay = !std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY");
    if ((!platform || !*platform) && noDisplay) {
        std::cerr << "ecran: no display server (DISPLAY and WAYLAND_DISPLAY are unset or empty): running on Qt's "
                     "offscreen platform; nothing is shown, messages are still received and stored\n";
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
    ecran::display::Form1 form;
    try {
        form.Form_Load();
    } catch (const ecran::display::StartupError& e) {
        std::cerr << "ecran: " << e.what() << "\n";
        return 1;
    }
    // Read once the window has found the settings file readable, so an
    // unreadable file is said once, by the start-up check.
    std::optional<ecran::fleet::FleetConfig> fleetConfig;
    try {
        fleetConfig = ecran::fleet::readFleetConfig(ecran::display::kProfileFile, profilePath());
    } catch (const ecran::fleet::ConfigError& e) {
        std::cerr << "ecran: " << e.what() << "\n";
        return 1;
    }
    std::cerr << "ecran " << ECRAN_VERSION << ": listening on UDP port " << form.boundPort()
              << " (" << form.listeningOn() << "); settings and last message in " << profilePath() << "\n";
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
    const ecran::display::ScreenAwake awake(form.windowHandle());
    std::cerr << "ecran: " << awake.report().toStdString() << "\n";
    if (notifier.managed()) std::cerr << "ecran: " << notifier.report().toStdString() << "\n";
    notifier.ready(QStringLiteral("Listening on UDP port %1").arg(form.boundPort()));

    // Repeated reports (a sender's stream of NULs, ...) were said once; their
    // counts are summarised from here, at most once a minute each.
    QTimer reportSummaries;
    QObject::connect(&reportSummaries, &QTimer::timeout, [] { ecran::errors::reports().flush(); });
    reportSummaries.start(kReportFlushMs);

    const int status = QApplication::exec();
    notifier.stopping();
    if (fleet) fleet->stop();
    ecran::errors::reports().flushAll();
    return status;
}
