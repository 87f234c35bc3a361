#pragma once
// Who may write to the screen: the addresses and prefixes of [ecran] allow,
// the address of [ecran] listen, and the report of datagrams dropped because
// their sender is not allowed.
//
// Addresses are read strictly, so that the display never runs with a rule it
// misread: an IPv4 address is four decimal numbers 0-255 ("10.1" is not
// 10.0.0.1, "010.0.0.1" is not octal), an IPv6 address is written in hex
// groups (an IPv4 tail allowed, as in ::ffff:10.0.0.5) without a zone or
// brackets, and host names are not addresses.

#include <QHostAddress>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "errors/report.h"

namespace ecran::display {

// An entry that cannot be read: the entry as written and why.
class AddressError : public std::runtime_error {
public:
    AddressError(std::string entry, const std::string& reason);
    [[nodiscard]] const std::string& entry() const noexcept { return entry_; }
    [[nodiscard]] const std::string& reason() const noexcept { return reason_; }

private:
    std::string entry_;
    std::string reason_;
};

// One IPv4 or IPv6 address, read strictly (see above). Throws AddressError.
[[nodiscard]] QHostAddress parseAddress(std::string_view text);

// The senders allowed to write to the screen.
class SenderFilter {
public:
    // Every sender.
    SenderFilter() = default;

    // Addresses and prefixes separated by commas or blanks:
    // "192.168.1.0/24, 10.0.0.5 fd00::/8". An IPv4 prefix may also be a
    // contiguous netmask (192.168.1.0/255.255.255.0); bits after the prefix
    // are ignored (192.168.1.7/24 is 192.168.1.0/24). Empty or blank text
    // allows every sender; text with separators only allows none and is
    // refused. Throws AddressError naming the first entry it cannot read.
    [[nodiscard]] static SenderFilter parse(std::string_view list);

    [[nodiscard]] bool allowsEverySender() const noexcept { return rules_.empty(); }

    // An IPv4 sender is matched by the IPv4 rules, also when a dual-stack
    // socket gives it in the IPv4-mapped form ::ffff:a.b.c.d; a rule written
    // in that mapped form is an IPv4 rule. IPv6 rules match IPv6 senders.
    [[nodiscard]] bool allows(const QHostAddress& sender) const;

    // The rules as they are applied, for the start-up line:
    // "192.168.1.0/24, 10.0.0.5, fd00::/8".
    [[nodiscard]] std::string describe() const;

private:
    struct Rule {
        bool v4 = false;
        std::array<std::uint8_t, 16> bytes{};  // IPv4 in the first four
        int prefix = 0;
    };
    static Rule parseRule(std::string_view entry);

    std::vector<Rule> rules_;
};

// [ecran] listen and [ecran] allow as the settings file gives them.
struct SenderSettings {
    std::optional<QHostAddress> listen;  // none: every interface, IPv4 and IPv6
    SenderFilter allowed;
};

// A setting that cannot be used: "<subject> set in FILE ([ecran] <key>)
// <problem>" once the caller names the file.
struct SettingError {
    const char* key;
    std::string subject;
    std::string problem;
};

// Reads both values (Windows-1252, as read): a blank listen is every
// interface, a blank allow every sender. A list as long as the longest value
// a read gives back may have been cut, even inside an entry, and is refused.
// Throws SettingError.
[[nodiscard]] SenderSettings parseSenderSettings(std::string_view listen, std::string_view allow);

// The sender as the drop report names it: an IPv4-mapped address in its
// IPv4 form.
[[nodiscard]] QHostAddress plainSender(const QHostAddress& sender);

// Counts dropped datagrams per sender and says them through a report
// limiter: the first drop at once, then one line with the count at most once
// a minute ("dropped 312 datagrams from 192.0.2.7 (not in [ecran] allow)").
// A flood from forged source addresses would otherwise make one kind per
// address: past `maxNamed` senders, the others share one line.
class DropReport {
public:
    explicit DropReport(errors::ReportLimiter& limiter, std::size_t maxNamed = 256);
    void dropped(const QHostAddress& sender);

private:
    errors::ReportLimiter& limiter_;
    std::size_t maxNamed_;
    std::set<std::string> named_;
};

}  // namespace ecran::display
