#pragma once
// The console as one object: its broker connection feeding the live model,
// its database, its API behind the HTTP server. main() makes one and runs
// the loop.

#include <QObject>

#include <memory>
#include <string>

#include "console/console_api.h"
#include "console/console_config.h"
#include "console/console_store.h"
#include "console/http_adapter.h"
#include "console/scheduler.h"
#include "console/screen_model.h"
#include "fleet/mqtt_client.h"

namespace ecran::console {

class ConsoleService : public QObject {
    Q_OBJECT

public:
    // Opens the database. Throws StoreError.
    explicit ConsoleService(const ConsoleConfig& config, QObject* parent = nullptr);
    ~ConsoleService() override;

    // Listens and starts connecting to the broker (a broker that cannot be
    // reached is retried, never an error). False, with why on stderr, when
    // the HTTP server cannot listen or the TLS files cannot be used.
    [[nodiscard]] bool start();

private:
    void takeMessages();

    ConsoleConfig config_;
    ConsoleStore store_;
    ScreenModel model_;
    std::unique_ptr<fleet::MqttClient> client_;
    std::unique_ptr<ConsoleApi> api_;
    std::unique_ptr<Scheduler> scheduler_;
    std::unique_ptr<HttpAdapter> http_;
};

}  // namespace ecran::console
