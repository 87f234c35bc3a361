#include "mqtt_harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <thread>

extern char** environ;

namespace mqtt_test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::string program(const std::vector<const char*>& candidates) {
    for (const char* p : candidates) {
        if (::access(p, X_OK) == 0) return p;
    }
    return {};
}

const fs::path kInterop = ECRAN_INTEROP_DIR;

}  // namespace

std::string nodeProgram() { return program({"/usr/bin/node", "/usr/local/bin/node", "/usr/bin/nodejs"}); }
std::string interopScript(const std::string& name) { return (kInterop / name).string(); }

std::string documentedAcl() {
    const auto doc = ecran::test_support::readFile(kInterop.parent_path().parent_path() / "docs" / "fleet-broker.md");
    std::smatch m;
    const std::regex block(R"(\*\*The ACL\*\*[\s\S]*?\n```\n([\s\S]*?\n)```)");
    return doc && std::regex_search(*doc, m, block) ? m[1].str() : "";
}

const char* nameOf(BrokerKind kind) { return kind == BrokerKind::Aedes ? "aedes" : "mosquitto"; }

std::string mosquittoProgram() {
    return program({"/usr/sbin/mosquitto", "/usr/bin/mosquitto", "/usr/local/sbin/mosquitto"});
}

std::string missing(BrokerKind kind) {
    if (kind == BrokerKind::Mosquitto) return mosquittoProgram().empty() ? "mosquitto is not installed" : "";
    if (nodeProgram().empty()) return "Node.js is not installed (scripts/install-deps.sh)";
    if (!fs::exists(kInterop / "node_modules" / "aedes")) {
        return "aedes is not installed: npm ci --prefix " + kInterop.string();
    }
    return {};
}

BoundSocket::BoundSocket() : fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n) == 0) {
        port = ntohs(a.sin_port);
    }
}

BoundSocket::~BoundSocket() {
    if (fd >= 0) ::close(fd);
}

namespace {

// A free TCP port on the loopback address, and whether something listens on one.
int freePort() { return BoundSocket().port; }
bool accepts(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

}  // namespace

int shell(const std::string& command) { return std::system(command.c_str()); }

Broker::Broker(std::string extra, BrokerKind kind)
    : extra_(std::move(extra)), kind_(kind), port_(freePort()) {}

Broker::~Broker() { stop(); }

int Broker::addListener(std::string settings) {
    const int port = freePort();
    listeners_.emplace_back(port, std::move(settings));
    return port;
}

bool Broker::start() {
    std::vector<std::string> args;
    if (kind_ == BrokerKind::Aedes) {
        args = {nodeProgram(), (kInterop / "aedes.mjs").string(), std::to_string(port_)};
    } else {
        std::ofstream conf(dir() / "mosquitto.conf");
        if (!listeners_.empty()) conf << "per_listener_settings true\n";
        // Started as root, the broker would become the "mosquitto" user and
        // lose the right to read the test's files: it stays who we are.
        if (::geteuid() == 0) conf << "user root\n";
        conf << "persistence true\npersistence_location " << dir().string() << "/\n"
             << "listener " << port_ << " 127.0.0.1\nallow_anonymous true\n"
             << extra_ << "\n";
        for (const auto& [port, settings] : listeners_) conf << "listener " << port << " 127.0.0.1\n" << settings << "\n";
        args = {mosquittoProgram(), "-c", (dir() / "mosquitto.conf").string()};
    }
    if (args[0].empty()) return false;
    const std::string logFile = (dir() / "broker.log").string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        pid_ = -1;
        return false;
    }
    const auto up = [this] {
        return accepts(port_) && std::ranges::all_of(listeners_, [](const auto& l) { return accepts(l.first); });
    };
    for (int i = 0; i < 500; ++i) {
        if (up()) return true;
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

void Broker::stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
}

std::string Broker::log() const { return ecran::test_support::readFile(dir() / "broker.log").value_or(""); }

std::string makeCertificates(const fs::path& dir) {
    const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    std::ofstream(dir / "san.ext") << "subjectAltName=DNS:localhost,IP:127.0.0.1\n";
    if (shell("cd '" + dir.string() + "' && openssl req -x509" + ec +
              " -keyout ca.key -out ca.crt -days 2 -subj '/CN=ecran test CA' >/dev/null 2>&1"
              " && openssl req" + ec + " -keyout server.key -out server.csr -subj /CN=localhost >/dev/null 2>&1"
              " && openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -out server.crt"
              " -days 2 -extfile san.ext >/dev/null 2>&1"
              " && openssl req -x509" + ec +
              " -keyout other.key -out other.crt -days 2 -subj '/CN=another CA' >/dev/null 2>&1") != 0) {
        return {};
    }
    const std::string d = dir.string();
    return "cafile " + d + "/ca.crt\ncertfile " + d + "/server.crt\nkeyfile " + d + "/server.key\n";
}

Peer::Peer(int port, const std::vector<std::string>& subscriptions, PeerOptions options)
    : subscriptions_(subscriptions) {
    [[maybe_unused]] static const int library = mosquitto_lib_init();
    mosq_ = mosquitto_new(nullptr, true, this);
    if (options.protocol) mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, options.protocol);
    mosquitto_connect_callback_set(mosq_, [](mosquitto* m, void* self, int rc) {
        if (rc != 0) return;
        for (const auto& s : static_cast<Peer*>(self)->subscriptions_) mosquitto_subscribe(m, nullptr, s.c_str(), 1);
        update(self, [](Peer& p) { p.connected_ = true; });
    });
    mosquitto_subscribe_callback_set(mosq_, [](mosquitto*, void* self, int, int, const int*) {
        update(self, [](Peer& p) { ++p.subscribed_; });
    });
    mosquitto_message_callback_set(mosq_, [](mosquitto*, void* self, const mosquitto_message* m) {
        std::string payload(static_cast<const char*>(m->payload), static_cast<std::size_t>(m->payloadlen));
        update(self, [&](Peer& p) { p.messages_.push_back({m->topic, std::move(payload), m->retain}); });
    });
    mosquitto_publish_callback_set(mosq_, [](mosquitto*, void* self, int mid) {
        update(self, [mid](Peer& p) { p.acknowledged_.push_back(mid); });
    });
    if (!options.username.empty()) {
        mosquitto_username_pw_set(mosq_, options.username.c_str(), options.password.c_str());
    }
    if (!options.ca.empty()) mosquitto_tls_set(mosq_, options.ca.c_str(), nullptr, nullptr, nullptr, nullptr);
    mosquitto_connect(mosq_, "127.0.0.1", port, 60);
    mosquitto_loop_start(mosq_);
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, 5s, [this] { return connected_; });
}

Peer::~Peer() {
    mosquitto_disconnect(mosq_);
    mosquitto_loop_stop(mosq_, false);
    mosquitto_destroy(mosq_);
}

template <class Change>
void Peer::update(void* self, Change change) {
    auto* p = static_cast<Peer*>(self);
    std::lock_guard lock(p->mutex_);
    change(*p);
    p->changed_.notify_all();
}

bool Peer::connected() const {
    std::lock_guard lock(mutex_);
    return connected_;
}

bool Peer::waitSubscribed() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 5s, [this] { return subscribed_ >= subscriptions_.size(); });
}

bool Peer::publish(const std::string& topic, const std::string& payload, int qos, bool wait, bool retain) {
    int mid = 0;
    if (mosquitto_publish(mosq_, &mid, topic.c_str(), static_cast<int>(payload.size()), payload.data(), qos,
                          retain) != MOSQ_ERR_SUCCESS) {
        return false;
    }
    if (!wait) return true;
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 5s, [&] { return std::ranges::find(acknowledged_, mid) != acknowledged_.end(); });
}

std::vector<Peer::Message> Peer::messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
}

std::optional<std::string> Peer::last(const std::string& topic) const {
    std::lock_guard lock(mutex_);
    for (auto it = messages_.rbegin(); it != messages_.rend(); ++it) {
        if (it->topic == topic) return it->payload;
    }
    return std::nullopt;
}

std::size_t Peer::count(const std::string& topic) const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::ranges::count(messages_, topic, &Message::topic));
}

std::vector<std::string> Peer::payloads(std::size_t count) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, 5s, [&] { return messages_.size() >= count; });
    changed_.wait_for(lock, 200ms, [&] { return messages_.size() > count; });
    std::vector<std::string> out;
    for (const auto& m : messages_) out.push_back(m.payload);
    return out;
}

StderrCapture::StderrCapture() {
    const int fd = ::open(file_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    std::fflush(stderr);
    saved_ = ::dup(2);
    ::dup2(fd, 2);
    ::close(fd);
}

StderrCapture::~StderrCapture() {
    std::fflush(stderr);
    ::dup2(saved_, 2);
    ::close(saved_);
}

std::string StderrCapture::text() const {
    std::fflush(stderr);
    return ecran::test_support::readFile(file_).value_or("");
}

}  // namespace mqtt_test
