#include "ecran-send/udp_sender.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "ecran-send/errors.h"

namespace ecran::sender {
namespace {

std::string numericHost(const sockaddr* sa, socklen_t length) {
    char text[NI_MAXHOST] = {};
    if (getnameinfo(sa, length, text, sizeof text, nullptr, 0, NI_NUMERICHOST) != 0) return "?";
    return text;
}

// Errors that say this address cannot be used from here, where another
// address of the same host may still work.
bool unreachable(int error) {
    return error == ENETUNREACH || error == EHOSTUNREACH || error == EADDRNOTAVAIL || error == EAFNOSUPPORT;
}

}  // namespace

UdpSender::UdpSender(const std::string& host, std::uint16_t port, bool broadcast)
    : host_(host), broadcast_(broadcast) {
    std::string name = host;
    if (name.size() > 2 && name.front() == '[' && name.back() == ']') name = name.substr(1, name.size() - 2);

    addrinfo hints{};
    hints.ai_family = broadcast ? AF_INET : AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_protocol = IPPROTO_UDP;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    const int rc = getaddrinfo(name.c_str(), service.c_str(), &hints, &found);
    if (rc != 0) {
        const std::string why = rc == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(rc);
        throw SendError("cannot resolve host '" + host + "'" + (broadcast ? " as an IPv4 address" : "") + ": " +
                        why);
    }
    for (const addrinfo* ai = found; ai != nullptr; ai = ai->ai_next) {
        if (ai->ai_addrlen > sizeof(sockaddr_storage)) continue;
        Address a;
        std::memcpy(&a.storage, ai->ai_addr, ai->ai_addrlen);
        a.length = ai->ai_addrlen;
        a.family = ai->ai_family;
        addresses_.push_back(a);
    }
    freeaddrinfo(found);
    if (addresses_.empty()) throw SendError("host '" + host + "' has no usable address");
    openSocket(addresses_[0]);
}

UdpSender::~UdpSender() {
    if (fd_ >= 0) ::close(fd_);
}

void UdpSender::openSocket(const Address& address) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = ::socket(address.family, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd_ < 0) throw SendError(std::string("cannot open a UDP socket: ") + std::strerror(errno));
    if (broadcast_) {
        const int on = 1;
        if (::setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
            throw SendError(std::string("cannot allow broadcast on the socket: ") + std::strerror(errno));
        }
    }
}

std::string UdpSender::destination() const {
    const Address& a = addresses_[current_];
    const auto* sa = reinterpret_cast<const sockaddr*>(&a.storage);
    const std::uint16_t port = a.family == AF_INET6
                                   ? ntohs(reinterpret_cast<const sockaddr_in6*>(&a.storage)->sin6_port)
                                   : ntohs(reinterpret_cast<const sockaddr_in*>(&a.storage)->sin_port);
    return numericHost(sa, a.length) + " port " + std::to_string(port);
}

void UdpSender::send(std::string_view datagram) {
    for (;;) {
        const Address& a = addresses_[current_];
        ssize_t sent;
        do {
            sent = ::sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&a.storage),
                            a.length);
        } while (sent < 0 && errno == EINTR);
        if (sent >= 0) {
            if (static_cast<size_t>(sent) != datagram.size()) {
                throw SendError("only " + std::to_string(sent) + " of " + std::to_string(datagram.size()) +
                                " bytes left for " + destination());
            }
            settled_ = true;
            return;
        }
        const int error = errno;
        if (!settled_ && unreachable(error) && current_ + 1 < addresses_.size()) {
            ++current_;
            openSocket(addresses_[current_]);
            continue;
        }
        std::string message = "cannot send to " + destination() + ": " + std::strerror(error);
        if (error == EACCES && !broadcast_) message += " (sending to a broadcast address needs --broadcast)";
        throw SendError(message);
    }
}

}  // namespace ecran::sender
