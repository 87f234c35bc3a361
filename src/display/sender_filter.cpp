#include "display/sender_filter.h"

#include <algorithm>
#include <bit>
#include <optional>
#include <utility>

#include "profile/profile_value.h"
#include "text/cp1252.h"

namespace ecran::display {
namespace {

using Bytes = std::array<std::uint8_t, 16>;

constexpr const char* kIPv4Form = "an IPv4 address is four numbers from 0 to 255 separated by dots, such as 192.168.1.20";

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isHex(char c) { return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// Four decimal numbers 0-255 and nothing else. Leading zeros are refused:
// other readers take 010 for octal 8, so the number would be ambiguous.
std::optional<std::array<std::uint8_t, 4>> strictIPv4(std::string_view text) {
    std::array<std::uint8_t, 4> out{};
    std::size_t part = 0;
    std::size_t i = 0;
    while (true) {
        const std::size_t start = i;
        int value = 0;
        while (i < text.size() && isDigit(text[i]) && i - start < 3) value = value * 10 + (text[i++] - '0');
        const std::size_t digits = i - start;
        if (digits == 0 || value > 255 || (digits > 1 && text[start] == '0')) return std::nullopt;
        out[part++] = static_cast<std::uint8_t>(value);
        if (part == 4) break;
        if (i >= text.size() || text[i] != '.') return std::nullopt;
        ++i;
    }
    if (i != text.size()) return std::nullopt;
    return out;
}

bool isMapped(const Bytes& b) {
    return std::all_of(b.begin(), b.begin() + 10, [](std::uint8_t x) { return x == 0; }) && b[10] == 0xFF &&
           b[11] == 0xFF;
}

Bytes bytesOf(const QHostAddress& a) {
    Bytes b{};
    if (a.protocol() == QAbstractSocket::IPv4Protocol) {
        const quint32 v = a.toIPv4Address();
        b[0] = static_cast<std::uint8_t>(v >> 24);
        b[1] = static_cast<std::uint8_t>(v >> 16);
        b[2] = static_cast<std::uint8_t>(v >> 8);
        b[3] = static_cast<std::uint8_t>(v);
    } else {
        const Q_IPV6ADDR v6 = a.toIPv6Address();
        std::copy(std::begin(v6.c), std::end(v6.c), b.begin());
    }
    return b;
}

QHostAddress ipv4From(const std::uint8_t* b) {
    return QHostAddress((quint32{b[0]} << 24) | (quint32{b[1]} << 16) | (quint32{b[2]} << 8) | quint32{b[3]});
}

// Whether the first `prefix` bits of a and b agree.
bool samePrefix(const Bytes& a, const Bytes& b, int prefix) {
    int i = 0;
    for (; prefix >= 8; prefix -= 8, ++i) {
        if (a[i] != b[i]) return false;
    }
    if (prefix == 0) return true;
    const auto mask = static_cast<std::uint8_t>(0xFF << (8 - prefix));
    return (a[i] & mask) == (b[i] & mask);
}

void clearAfterPrefix(Bytes& b, int prefix) {
    for (int bit = prefix; bit < 128; ++bit) b[bit / 8] &= static_cast<std::uint8_t>(~(0x80 >> (bit % 8)));
}

bool isSeparator(char c) { return c == ',' || c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

AddressError::AddressError(std::string entry, const std::string& reason)
    : std::runtime_error(reason), entry_(std::move(entry)), reason_(reason) {}

QHostAddress parseAddress(std::string_view text) {
    const std::string entry(text);
    if (text.find(':') == std::string_view::npos) {
        const bool ipv4Like = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
            return isDigit(c) || c == '.';
        });
        if (!ipv4Like) throw AddressError(entry, "not an IPv4 or IPv6 address (host names are not accepted)");
        const auto v4 = strictIPv4(text);
        if (!v4) throw AddressError(entry, kIPv4Form);
        return ipv4From(v4->data());
    }
    if (text.find_first_of("[]") != std::string_view::npos)
        throw AddressError(entry, "write an IPv6 address without brackets");
    if (text.find('%') != std::string_view::npos)
        throw AddressError(entry, "an IPv6 address with a zone (%) is not accepted");
    if (!std::all_of(text.begin(), text.end(), [](char c) { return isHex(c) || c == ':' || c == '.'; }))
        throw AddressError(entry, "not an IPv6 address");
    // Qt reads an IPv4 tail leniently; it must be a whole address here too.
    if (text.find('.') != std::string_view::npos && !strictIPv4(text.substr(text.rfind(':') + 1)))
        throw AddressError(entry, std::string("the IPv4 part is not an address: ") + kIPv4Form);
    QHostAddress address;
    if (!address.setAddress(QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()))) ||
        address.protocol() != QAbstractSocket::IPv6Protocol)
        throw AddressError(entry, "not an IPv6 address");
    return address;
}

SenderFilter::Rule SenderFilter::parseRule(std::string_view entry) {
    const std::size_t slash = entry.find('/');
    const std::string_view addressText = entry.substr(0, slash);
    QHostAddress address;
    try {
        address = parseAddress(addressText);
    } catch (const AddressError& e) {
        throw AddressError(std::string(entry), e.reason());
    }
    Rule rule;
    rule.v4 = address.protocol() == QAbstractSocket::IPv4Protocol;
    rule.bytes = bytesOf(address);
    const int width = rule.v4 ? 32 : 128;
    rule.prefix = width;
    if (slash != std::string_view::npos) {
        const std::string_view length = entry.substr(slash + 1);
        const std::string range = rule.v4 ? "the prefix of an IPv4 address is /0 to /32 (or a netmask)"
                                          : "the prefix of an IPv6 address is /0 to /128";
        if (!length.empty() && length.size() <= 3 && std::all_of(length.begin(), length.end(), isDigit)) {
            int n = 0;
            for (char c : length) n = n * 10 + (c - '0');
            if (n > width) throw AddressError(std::string(entry), range);
            rule.prefix = n;
        } else if (rule.v4 && length.find('.') != std::string_view::npos) {
            const auto mask = strictIPv4(length);
            if (!mask) throw AddressError(std::string(entry), std::string("the netmask is not an address: ") + kIPv4Form);
            const quint32 m = ipv4From(mask->data()).toIPv4Address();
            // Contiguous: the zeros after the ones, read as a number, are one less than a power of two.
            const quint32 rest = ~m;
            if ((rest & (rest + 1)) != 0)
                throw AddressError(std::string(entry), "the netmask's ones must come before its zeros");
            rule.prefix = 32 - std::popcount(rest);
        } else {
            throw AddressError(std::string(entry), range);
        }
    }
    if (!rule.v4 && isMapped(rule.bytes) && rule.prefix >= 96) {
        // ::ffff:a.b.c.d/n is the IPv4 rule a.b.c.d/(n-96).
        std::copy(rule.bytes.begin() + 12, rule.bytes.end(), rule.bytes.begin());
        std::fill(rule.bytes.begin() + 4, rule.bytes.end(), 0);
        rule.v4 = true;
        rule.prefix -= 96;
    }
    clearAfterPrefix(rule.bytes, rule.prefix);
    return rule;
}

SenderFilter SenderFilter::parse(std::string_view list) {
    SenderFilter filter;
    bool written = false;
    std::size_t i = 0;
    while (i < list.size()) {
        if (isSeparator(list[i])) {
            written = written || list[i] == ',';
            ++i;
            continue;
        }
        const std::size_t start = i;
        while (i < list.size() && !isSeparator(list[i])) ++i;
        filter.rules_.push_back(parseRule(list.substr(start, i - start)));
    }
    // Commas alone would otherwise let no sender in, a list nobody means.
    if (written && filter.rules_.empty()) throw AddressError(std::string(list), "no address in the list");
    return filter;
}

SenderSettings parseSenderSettings(std::string_view listen, std::string_view allow) {
    SenderSettings settings;
    if (listen.find_first_not_of(" \t") != std::string_view::npos) {
        try {
            settings.listen = parseAddress(listen);
        } catch (const AddressError& e) {
            throw SettingError{"listen", "the address \"" + text::toUtf8(e.entry()) + "\"", "cannot be used: " + e.reason()};
        }
    }
    if (allow.size() >= profile::kLongestReadValue) {
        throw SettingError{"allow", "the list",
                           "is " + std::to_string(profile::kLongestReadValue) +
                               " characters or longer and may have been cut; shorten it (a prefix such as "
                               "192.168.1.0/24 covers many senders)"};
    }
    try {
        settings.allowed = SenderFilter::parse(allow);
    } catch (const AddressError& e) {
        throw SettingError{"allow", "the entry \"" + text::toUtf8(e.entry()) + "\"", "cannot be used: " + e.reason()};
    }
    return settings;
}

bool SenderFilter::allows(const QHostAddress& sender) const {
    if (rules_.empty()) return true;
    const auto protocol = sender.protocol();
    if (protocol != QAbstractSocket::IPv4Protocol && protocol != QAbstractSocket::IPv6Protocol) return false;
    Bytes bytes = bytesOf(sender);
    bool v4 = protocol == QAbstractSocket::IPv4Protocol;
    if (!v4 && isMapped(bytes)) {
        std::copy(bytes.begin() + 12, bytes.end(), bytes.begin());
        v4 = true;
    }
    return std::any_of(rules_.begin(), rules_.end(),
                       [&](const Rule& r) { return r.v4 == v4 && samePrefix(r.bytes, bytes, r.prefix); });
}

std::string SenderFilter::describe() const {
    std::string out;
    for (const Rule& r : rules_) {
        if (!out.empty()) out += ", ";
        QHostAddress a;
        if (r.v4) {
            a = ipv4From(r.bytes.data());
        } else {
            Q_IPV6ADDR v6;
            std::copy(r.bytes.begin(), r.bytes.end(), std::begin(v6.c));
            a = QHostAddress(v6);
        }
        out += a.toString().toStdString();
        if (r.prefix != (r.v4 ? 32 : 128)) out += "/" + std::to_string(r.prefix);
    }
    return out;
}

QHostAddress plainSender(const QHostAddress& sender) {
    if (sender.protocol() != QAbstractSocket::IPv6Protocol) return sender;
    const Bytes b = bytesOf(sender);
    return isMapped(b) ? ipv4From(b.data() + 12) : sender;
}

DropReport::DropReport(errors::ReportLimiter& limiter, std::size_t maxNamed)
    : limiter_(limiter), maxNamed_(maxNamed) {}

void DropReport::dropped(const QHostAddress& sender) {
    // The limiter keeps the description until it says it, possibly after
    // this object is gone: it captures values only.
    const std::string who = sender.isNull() ? std::string("an unknown sender")
                                            : plainSender(sender).toString().toStdString();
    const auto datagrams = [](std::uint64_t n) {
        return "dropped " + std::to_string(n) + (n == 1 ? " datagram" : " datagrams");
    };
    if (named_.count(who) != 0 || named_.size() < maxNamed_) {
        named_.insert(who);
        limiter_.report("dropped from " + who, [who, datagrams](std::uint64_t n) {
            return "ecran: " + datagrams(n) + " from " + who + " (not in [ecran] allow)";
        });
        return;
    }
    const std::size_t named = maxNamed_;
    limiter_.report("dropped from other senders", [who, named, datagrams](std::uint64_t n) {
        return "ecran: " + datagrams(n) + " from senders beyond the " + std::to_string(named) +
               " named, the latest " + who + " (not in [ecran] allow)";
    });
}

}  // namespace ecran::display
