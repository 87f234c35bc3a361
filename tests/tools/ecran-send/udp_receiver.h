#pragma once
// A UDP socket for tests to receive what ecran-send sends.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <optional>
#include <string>

class UdpReceiver {
public:
    // Binds to `address` (an IPv4 or IPv6 literal) on a free port.
    explicit UdpReceiver(const std::string& address = "127.0.0.1") {
        sockaddr_storage ss{};
        socklen_t len = 0;
        if (address.find(':') != std::string::npos) {
            auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
            a->sin6_family = AF_INET6;
            if (inet_pton(AF_INET6, address.c_str(), &a->sin6_addr) != 1) return;
            len = sizeof *a;
        } else {
            auto* a = reinterpret_cast<sockaddr_in*>(&ss);
            a->sin_family = AF_INET;
            if (inet_pton(AF_INET, address.c_str(), &a->sin_addr) != 1) return;
            len = sizeof *a;
        }
        fd_ = socket(ss.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) return;
        const int big = 1 << 20;
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
        if (bind(fd_, reinterpret_cast<sockaddr*>(&ss), len) != 0 ||
            getsockname(fd_, reinterpret_cast<sockaddr*>(&ss), &len) != 0) {
            close(fd_);
            fd_ = -1;
            return;
        }
        port_ = ntohs(ss.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port
                                               : reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
    }
    ~UdpReceiver() {
        if (fd_ >= 0) close(fd_);
    }
    UdpReceiver(const UdpReceiver&) = delete;
    UdpReceiver& operator=(const UdpReceiver&) = delete;

    [[nodiscard]] bool ok() const { return fd_ >= 0; }
    [[nodiscard]] std::uint16_t port() const { return port_; }
    [[nodiscard]] std::string portText() const { return std::to_string(port_); }

    // The next datagram already queued. Loopback delivers during the
    // sender's sendto(), so what was sent is here when the sender returns.
    [[nodiscard]] std::optional<std::string> next() {
        std::string buffer(70000, '\0');
        const ssize_t n = recv(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (n < 0) return std::nullopt;
        buffer.resize(static_cast<size_t>(n));
        return buffer;
    }

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};
