// Simulated screens for the console's benchmarks: publishes N screens'
// retained status and state (as the fleet layer writes them), then, when
// asked, changes screen 0's state K times, GAP milliseconds apart, with the
// time of each change in its text. With SNAPSHOT_BYTES set, each screen
// also publishes a retained picture of that size (a JPEG's first bytes,
// then padding: the console checks no more).
//   console_screens PORT N [K GAP_MS]

#include <mosquitto.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "fleet/fleet_payload.h"

namespace {

using namespace ecran::fleet;

std::string state(const std::string& text, const std::vector<std::string>& groups) {
    ScreenState s;
    s.text = text;
    s.ticker = "Bienvenue";
    s.rgb = 0x4682B4;
    s.updated = std::chrono::system_clock::now();
    s.source = "bench";
    s.version = "bench";
    s.groups = groups;
    return stateJson(s);
}

bool publish(mosquitto* m, const std::string& topic, const std::string& payload) {
    return mosquitto_publish(m, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1, true) ==
           MOSQ_ERR_SUCCESS;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: console_screens PORT N [K GAP_MS]\n");
        return 2;
    }
    const int port = std::atoi(argv[1]), n = std::atoi(argv[2]);
    const int k = argc > 3 ? std::atoi(argv[3]) : 0, gap = argc > 4 ? std::atoi(argv[4]) : 200;
    mosquitto_lib_init();
    mosquitto* m = mosquitto_new(nullptr, true, nullptr);
    if (!m || mosquitto_connect(m, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS || mosquitto_loop_start(m) != MOSQ_ERR_SUCCESS) {
        std::fprintf(stderr, "console_screens: cannot reach the broker on port %d\n", port);
        return 1;
    }
    const char* pictureBytes = std::getenv("SNAPSHOT_BYTES");
    std::string picture = "\xFF\xD8\xFF\xE0";
    if (pictureBytes) picture.resize(std::max<std::size_t>(picture.size(), std::strtoul(pictureBytes, nullptr, 10)), 'x');
    for (int i = 0; i < n; ++i) {
        const TopicScheme s{"ecran", "screen-" + std::to_string(i), {"floor-" + std::to_string(i % 10), "all-floors"}};
        if (!publish(m, statusTopic(s), "online") || !publish(m, stateTopic(s), state("Salle " + std::to_string(i), s.groups)) ||
            (pictureBytes && !publish(m, s.prefix + "/" + s.name + "/snapshot", picture))) {
            std::fprintf(stderr, "console_screens: publishing failed\n");
            return 1;
        }
        if (i % 100 == 99) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    for (int j = 0; j < k; ++j) {
        std::this_thread::sleep_for(std::chrono::milliseconds(gap));
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch()).count();
        const TopicScheme s{"ecran", "screen-0", {"floor-0", "all-floors"}};
        (void)publish(m, stateTopic(s), state("t=" + std::to_string(ms), s.groups));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    mosquitto_disconnect(m);
    mosquitto_loop_stop(m, false);
    mosquitto_destroy(m);
    return 0;
}
