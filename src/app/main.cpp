// ecran: the full-screen message display. main() wires the window to the
// application and runs the event loop.

#include <QApplication>
#include <QTimer>

#include <iostream>
#include <memory>
#include <optional>

#include "display/close_signals.h"
#include "display/form1.h"
#include "display/screen_awake.h"
#include "display/service_notifier.h"
#include "display/startup.h"
#include "errors/report.h"
#include "fleet/fleet_config.h"
#include "fleet/fleet_link.h"
#include "profile/settings_file.h"

namespace {

// How often pending summaries of repeated reports are looked at; each kind is
// still summarised at most once a minute.
constexpr int kReportFlushMs = 5000;

}  // namespace

int main(int argc, char** argv) {
    using namespace ecran;
    if (const std::optional<int> status = display::answerBeforeStart(argc, argv)) return *status;
    display::prepareProcess();

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("ecran"));
    QApplication::setApplicationVersion(QStringLiteral(ECRAN_VERSION));
    display::installLabelFace();

    // Reads (and clears) the service manager's socket before anything else
    // could start a child that inherits it.
    display::ServiceNotifier notifier;
    display::Form1 form;
    const std::string settings = profile::settingsFilePath();
    std::optional<fleet::FleetConfig> fleetConfig;
    try {
        form.Form_Load();
        // Read once the window has found the settings file readable, so an
        // unreadable file is said once, by the start-up check.
        fleetConfig = fleet::readFleetConfig(display::kProfileFile, settings);
    } catch (const display::StartupError& e) {
        std::cerr << "ecran: " << e.what() << "\n";
        return 1;
    } catch (const fleet::ConfigError& e) {
        std::cerr << "ecran: " << e.what() << "\n";
        return 1;
    }
    std::cerr << "ecran " << ECRAN_VERSION << ": listening on UDP port " << form.boundPort() << " ("
              << form.listeningOn() << "); settings and last message in " << settings << "\n";
    // Without a broker in [mqtt] there is no fleet link at all.
    std::unique_ptr<fleet::FleetLink> fleet;
    if (fleetConfig) {
        try {
            fleet = std::make_unique<fleet::FleetLink>(form, std::move(*fleetConfig), ECRAN_VERSION);
        } catch (const std::runtime_error& e) {
            std::cerr << "ecran: [mqtt] in " << settings << ": " << e.what() << "\n";
            return 1;
        }
        fleet->start();
    }

    display::CloseSignals closeSignals(&form);
    form.showFullScreen();
    const display::ScreenAwake awake(form.windowHandle());
    std::cerr << "ecran: " << awake.report().toStdString() << "\n";
    if (notifier.managed()) std::cerr << "ecran: " << notifier.report().toStdString() << "\n";
    notifier.ready(QStringLiteral("Listening on UDP port %1").arg(form.boundPort()));

    // Repeated reports (a sender's stream of NULs, ...) were said once; their
    // counts are summarised from here, at most once a minute each.
    QTimer reportSummaries;
    QObject::connect(&reportSummaries, &QTimer::timeout, [] { errors::reports().flush(); });
    reportSummaries.start(kReportFlushMs);

    const int status = QApplication::exec();
    notifier.stopping();
    if (fleet) fleet->stop();
    errors::reports().flushAll();
    return status;
}
