#include "broker.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace fleet_test {
namespace {

std::string readFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool accepts(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

struct Library {
    Library() { mosquitto_lib_init(); }
};

}  // namespace

std::string mosquittoProgram() {
    for (const char* p : {"/usr/sbin/mosquitto", "/usr/bin/mosquitto", "/usr/local/sbin/mosquitto"}) {
        if (::access(p, X_OK) == 0) return p;
    }
    return {};
}

int freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t n = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
    ::close(fd);
    return ntohs(a.sin_port);
}

int shell(const std::string& command) { return std::system(command.c_str()); }

Broker::Broker(std::string extra) : extra_(std::move(extra)), port_(freePort()) {
    char pattern[] = "/tmp/ecran-broker-XXXXXX";
    dir_ = ::mkdtemp(pattern);
}

Broker::~Broker() {
    stop();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

bool Broker::start() {
    {
        std::ofstream conf(dir_ / "mosquitto.conf");
        conf << "listener " << port_ << " 127.0.0.1\n"
             << "allow_anonymous true\n"
             << "persistence true\n"
             << "persistence_location " << dir_.string() << "/\n";
        // Started as root, the broker would become the "mosquitto" user and
        // lose the right to read the test's files.
        if (::geteuid() == 0) conf << "user root\n";
        conf << extra_;
    }
    const std::string program = mosquittoProgram();
    const std::string conf = (dir_ / "mosquitto.conf").string();
    const std::string logFile = (dir_ / "broker.log").string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<char*> argv{const_cast<char*>(program.c_str()), const_cast<char*>("-c"),
                            const_cast<char*>(conf.c_str()), nullptr};
    const int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        pid_ = -1;
        return false;
    }
    for (int i = 0; i < 250; ++i) {
        if (accepts(port_)) return true;
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
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

std::string Broker::log() const { return readFile(dir_ / "broker.log"); }

Peer::Peer(int port, const std::vector<std::string>& subscriptions, PeerOptions options)
    : subscriptions_(subscriptions) {
    static Library library;
    mosq_ = mosquitto_new(nullptr, true, this);
    mosquitto_connect_callback_set(mosq_, &Peer::onConnect);
    mosquitto_message_callback_set(mosq_, &Peer::onMessage);
    mosquitto_publish_callback_set(mosq_, &Peer::onPublish);
    if (!options.username.empty()) {
        mosquitto_username_pw_set(mosq_, options.username.c_str(), options.password.c_str());
    }
    if (!options.ca.empty()) mosquitto_tls_set(mosq_, options.ca.c_str(), nullptr, nullptr, nullptr, nullptr);
    mosquitto_connect(mosq_, "127.0.0.1", port, 60);
    mosquitto_loop_start(mosq_);
    for (int i = 0; i < 250 && !connected(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

Peer::~Peer() {
    mosquitto_disconnect(mosq_);
    mosquitto_loop_stop(mosq_, false);
    mosquitto_destroy(mosq_);
}

void Peer::onConnect(mosquitto* m, void* self, int rc) {
    auto* p = static_cast<Peer*>(self);
    if (rc != 0) return;
    for (const auto& s : p->subscriptions_) mosquitto_subscribe(m, nullptr, s.c_str(), 1);
    std::lock_guard lock(p->mutex_);
    p->connected_ = true;
}

void Peer::onMessage(mosquitto*, void* self, const mosquitto_message* m) {
    auto* p = static_cast<Peer*>(self);
    std::lock_guard lock(p->mutex_);
    p->messages_.push_back(
        {m->topic, std::string(static_cast<const char*>(m->payload), static_cast<std::size_t>(m->payloadlen)), m->retain});
}

void Peer::onPublish(mosquitto*, void* self, int mid) {
    auto* p = static_cast<Peer*>(self);
    std::lock_guard lock(p->mutex_);
    p->acknowledged_.push_back(mid);
}

bool Peer::connected() const {
    std::lock_guard lock(mutex_);
    return connected_;
}

bool Peer::publish(const std::string& topic, const std::string& payload, int qos, bool wait) {
    int mid = 0;
    if (mosquitto_publish(mosq_, &mid, topic.c_str(), static_cast<int>(payload.size()), payload.data(), qos,
                          false) != MOSQ_ERR_SUCCESS) {
        return false;
    }
    if (!wait) return true;
    for (int i = 0; i < 500; ++i) {
        {
            std::lock_guard lock(mutex_);
            for (int a : acknowledged_) {
                if (a == mid) return true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
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
    std::size_t n = 0;
    for (const auto& m : messages_) n += m.topic == topic ? 1 : 0;
    return n;
}

StderrCapture::StderrCapture() {
    char pattern[] = "/tmp/ecran-stderr-XXXXXX";
    const int fd = ::mkstemp(pattern);
    file_ = pattern;
    std::fflush(stderr);
    saved_ = ::dup(2);
    ::dup2(fd, 2);
    ::close(fd);
}

StderrCapture::~StderrCapture() {
    std::fflush(stderr);
    ::dup2(saved_, 2);
    ::close(saved_);
    std::error_code ec;
    std::filesystem::remove(file_, ec);
}

std::string StderrCapture::text() const {
    std::fflush(stderr);
    return readFile(file_);
}

}  // namespace fleet_test
