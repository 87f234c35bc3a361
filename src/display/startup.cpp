#include "display/startup.h"

#include <malloc.h>

#include <csignal>
#include <cstdlib>
#include <iostream>
#include <string>

#include "display/fonts.h"
#include "profile/settings_file.h"
#include "win32/config_dir.h"

namespace ecran::display {
namespace {

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

}  // namespace

std::optional<int> answerBeforeStart(int argc, char** argv) {
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
                  << profile::settingsFilePath() << " (see ecran --help)\n";
        return 2;
    }
    if (win32::configDirectory().empty()) {
        std::cerr << "ecran: " << win32::noConfigDirectoryReason() << "\n";
        return 1;
    }
    return std::nullopt;
}

void prepareProcess() {
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
}

void installLabelFace() {
    if (installFontStandIn().isEmpty()) {
        std::cerr << "ecran: neither \"Trebuchet MS\" nor \"Open Sans\" is installed: the labels use the "
                     "default sans face (install fonts-open-sans)\n";
    }
}

}  // namespace ecran::display
