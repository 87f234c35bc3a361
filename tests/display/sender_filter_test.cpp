// Reading [ecran] allow strictly, matching senders (IPv4, IPv6, IPv4-mapped),
// and the rate-limited report of dropped datagrams.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "display/sender_filter.h"

namespace {

using namespace std::chrono_literals;
using ecran::display::AddressError;
using ecran::display::DropReport;
using ecran::display::SenderFilter;

// A list that is read, and the rules as the start-up line names them.
struct Accepted {
    const char* list;
    const char* applied;  // "" for every sender
};

TEST(SenderFilter, ReadsAddressesAndPrefixesAsWritten) {
    const std::vector<Accepted> rows = {
        {"", ""},
        {" \t ", ""},
        {"10.0.0.5", "10.0.0.5"},
        {"192.168.1.0/24, 10.0.0.5, fd00::/8", "192.168.1.0/24, 10.0.0.5, fd00::/8"},
        {"10.0.0.5,,  10.0.0.6\t127.0.0.1,", "10.0.0.5, 10.0.0.6, 127.0.0.1"},
        {"192.168.1.77/24", "192.168.1.0/24"},  // bits after the prefix are ignored
        {"192.168.1.0/255.255.255.0 10.0.0.0/255.0.0.0", "192.168.1.0/24, 10.0.0.0/8"},
        {"0.0.0.0/0 ::/0", "0.0.0.0/0, ::/0"},
        {"10.0.0.0/032 10.0.0.0/9", "10.0.0.0, 10.0.0.0/9"},
        {"FD00::1/128 ::1", "fd00::1, ::1"},
        {"::ffff:10.0.0.5 ::ffff:10.0.0.0/104 ::ffff:0:0/96", "10.0.0.5, 10.0.0.0/8, 0.0.0.0/0"},
        {"2001:db8::/32 ::ffff:0:0/80", "2001:db8::/32, ::/80"},  // short of the mapped block: IPv6
    };
    for (const Accepted& row : rows) {
        const SenderFilter f = SenderFilter::parse(row.list);
        EXPECT_EQ(f.describe(), row.applied) << row.list;
        EXPECT_EQ(f.allowsEverySender(), std::string(row.applied).empty()) << row.list;
    }
}

// A list that is refused: the entry named, and a word of why.
struct Refused {
    const char* list;
    const char* entry;
    const char* why;
};

TEST(SenderFilter, RefusesEveryEntryItCouldMisread) {
    const std::vector<Refused> rows = {
        {"999.1.1.1", "999.1.1.1", "four numbers from 0 to 255"},
        {"10.0.0.0/40", "10.0.0.0/40", "/0 to /32"},
        {"hall", "hall", "host names are not accepted"},
        {"10.1", "10.1", "four numbers"},  // shorthand other readers take for 10.0.0.1
        {"1", "1", "four numbers"},
        {"010.0.0.1", "010.0.0.1", "four numbers"},  // octal to other readers
        {"1.2.3.4.5", "1.2.3.4.5", "four numbers"},
        {"0x7f.0.0.1", "0x7f.0.0.1", "host names"},
        {"10.0.0.1/", "10.0.0.1/", "/0 to /32"},
        {"10.0.0.0/ 8", "10.0.0.0/", "/0 to /32"},
        {"10.0.0.0/255.0.255.0", "10.0.0.0/255.0.255.0", "ones must come before its zeros"},
        {"10.0.0.0/255.255.0", "10.0.0.0/255.255.0", "netmask is not an address"},
        {"::1/129", "::1/129", "/0 to /128"},
        {"fd00::/255.0.0.0", "fd00::/255.0.0.0", "/0 to /128"},
        {"[::1]", "[::1]", "without brackets"},
        {"fe80::1%eth0", "fe80::1%eth0", "zone"},
        {"1::2::3", "1::2::3", "not an IPv6 address"},
        {"fd00::g", "fd00::g", "not an IPv6 address"},
        {"::ffff:10.1", "::ffff:10.1", "IPv4 part"},
        {"127.0.0.1, 10.0.0.0/40 hall", "10.0.0.0/40", "/0 to /32"},  // the first bad entry of a list
        {",", ",", "no address"},
    };
    for (const Refused& row : rows) {
        try {
            (void)SenderFilter::parse(row.list);
            ADD_FAILURE() << "read: " << row.list;
        } catch (const AddressError& e) {
            EXPECT_EQ(e.entry(), row.entry) << row.list;
            EXPECT_NE(e.reason().find(row.why), std::string::npos) << row.list << ": " << e.reason();
        }
    }
}

TEST(SenderFilter, ListenAddressesAreReadLikeRules) {
    EXPECT_EQ(ecran::display::parseAddress("0.0.0.0"), QHostAddress(QHostAddress::AnyIPv4));
    EXPECT_EQ(ecran::display::parseAddress("::"), QHostAddress(QHostAddress::AnyIPv6));
    EXPECT_EQ(ecran::display::parseAddress("192.168.1.20"), QHostAddress("192.168.1.20"));
    for (const char* bad : {"", "127.1", "hall", "[::1]", "10.0.0.0/8"}) {
        EXPECT_THROW((void)ecran::display::parseAddress(bad), AddressError) << bad;
    }
}

struct Match {
    const char* list;
    const char* sender;
    bool allowed;
};

TEST(SenderFilter, MatchesSendersOfTheirOwnFamilyAndMappedIPv4AsIPv4) {
    const std::vector<Match> rows = {
        {"192.168.1.0/24", "192.168.1.77", true},
        {"192.168.1.0/24", "192.168.2.1", false},
        {"192.168.1.0/24", "::ffff:192.168.1.77", true},  // IPv4 through a dual-stack socket
        {"192.168.1.0/24", "::1", false},
        {"10.0.0.0/9", "10.127.255.255", true},
        {"10.0.0.0/9", "10.128.0.0", false},
        {"0.0.0.0/0", "203.0.113.9", true},
        {"::ffff:10.0.0.0/104", "10.1.2.3", true},
        {"::ffff:10.0.0.0/104", "::ffff:10.1.2.3", true},
        {"fd00::/8", "fd12::1", true},
        {"fd00::/8", "fe00::1", false},
        {"::/0", "2001:db8::1", true},
        {"::/0", "10.0.0.1", false},         // IPv6 rules are for IPv6 senders
        {"::/0", "::ffff:10.0.0.1", false},  // a mapped sender is an IPv4 sender
        {"::1 10.0.0.5", "10.0.0.5", true},
        {"::1 10.0.0.5", "", false},  // no sender address at all
        {"", "", true},
    };
    for (const Match& row : rows) {
        EXPECT_EQ(SenderFilter::parse(row.list).allows(QHostAddress(QString::fromLatin1(row.sender))), row.allowed)
            << row.list << " <- " << row.sender;
    }
}

struct Harness {
    std::vector<std::string> lines;
    std::chrono::steady_clock::time_point now{};
    ecran::errors::ReportLimiter limiter{[this](const std::string& l) { lines.push_back(l); }, [this] { return now; }};
};

TEST(DropReport, SaysTheFirstDropThenTheCountAtMostOnceAMinutePerSender) {
    Harness h;
    {
        DropReport drops(h.limiter);
        drops.dropped(QHostAddress("192.0.2.7"));
        drops.dropped(QHostAddress("::ffff:192.0.2.7"));  // the same sender, through a dual-stack socket
        drops.dropped(QHostAddress("192.0.2.7"));
        drops.dropped(QHostAddress("2001:db8::1"));
        EXPECT_EQ(h.lines, (std::vector<std::string>{
                               "ecran: dropped 1 datagram from 192.0.2.7 (not in [ecran] allow)",
                               "ecran: dropped 1 datagram from 2001:db8::1 (not in [ecran] allow)",
                           }));
        h.now += 59s;
        h.limiter.flush();
        EXPECT_EQ(h.lines.size(), 2u);
        for (int i = 0; i < 310; ++i) drops.dropped(QHostAddress("192.0.2.7"));
    }
    // Said after the report object is gone: the limiter holds its own copy.
    h.now += 1s;
    h.limiter.flush();
    ASSERT_EQ(h.lines.size(), 3u);
    EXPECT_EQ(h.lines[2], "ecran: dropped 312 datagrams from 192.0.2.7 (not in [ecran] allow)");
}

TEST(DropReport, SendersBeyondTheNamedOnesShareOneLine) {
    Harness h;
    DropReport drops(h.limiter, 2);
    for (const char* a : {"192.0.2.1", "192.0.2.2", "192.0.2.3", "192.0.2.1", "192.0.2.4", "192.0.2.5"}) {
        drops.dropped(QHostAddress(QString::fromLatin1(a)));
    }
    h.now += 60s;
    h.limiter.flush();
    EXPECT_EQ(h.lines,
              (std::vector<std::string>{
                  "ecran: dropped 1 datagram from 192.0.2.1 (not in [ecran] allow)",
                  "ecran: dropped 1 datagram from 192.0.2.2 (not in [ecran] allow)",
                  "ecran: dropped 1 datagram from senders beyond the 2 named, the latest 192.0.2.3 (not in [ecran] "
                  "allow)",
                  "ecran: dropped 1 datagram from 192.0.2.1 (not in [ecran] allow)",
                  "ecran: dropped 2 datagrams from senders beyond the 2 named, the latest 192.0.2.5 (not in [ecran] "
                  "allow)",
              }));
}

}  // namespace
