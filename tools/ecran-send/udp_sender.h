#pragma once
// One UDP socket towards the display: resolves the host once, then sends
// datagrams to it. Plain POSIX sockets.

#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ecran-send/sink.h"

namespace ecran::sender {

class UdpSender : public MessageSink {
public:
    // Resolves `host` (a name, an IPv4 address, or an IPv6 address with or
    // without brackets) for `port`. With `broadcast` the socket may send to
    // a broadcast address and only IPv4 addresses are taken (IPv6 has no
    // broadcast). Throws SendError when nothing resolves or no socket opens.
    UdpSender(const std::string& host, std::uint16_t port, bool broadcast);
    ~UdpSender() override;
    UdpSender(const UdpSender&) = delete;
    UdpSender& operator=(const UdpSender&) = delete;

    // Sends one datagram, whole. Until a first datagram has left, an address
    // that cannot be reached (no route, no IPv6) gives way to the next
    // address of the host. Throws SendError.
    void send(std::string_view datagram) override;

    // The address in use, for messages: "127.0.0.1 port 4445".
    [[nodiscard]] std::string destination() const;

private:
    struct Address {
        sockaddr_storage storage{};
        socklen_t length = 0;
        int family = 0;
    };
    void openSocket(const Address& address);

    std::string host_;
    bool broadcast_;
    std::vector<Address> addresses_;
    size_t current_ = 0;
    bool settled_ = false;  // a datagram has left through addresses_[current_]
    int fd_ = -1;
};

}  // namespace ecran::sender
