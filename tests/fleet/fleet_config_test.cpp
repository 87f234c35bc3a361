// The [mqtt] section: what each value gives, and the one line that stops
// the start for a value that cannot be used.

#include "fleet/fleet_config.h"

#include <gtest/gtest.h>

#include <map>

#include "support/sandbox.h"

namespace {

using namespace ecran::fleet;

const std::string kFile = "/home/kiosk/.config/ecran/QUOLVEtavrin.ini";

std::optional<FleetConfig> parse(const std::map<std::string, std::string>& values,
                                 const std::string& host = "kiosk-3") {
    return parseFleetConfig(
        [&](const char* key) {
            const auto it = values.find(key);
            return it == values.end() ? std::string() : it->second;
        },
        kFile, host);
}

TEST(FleetConfig, NoBrokerNoFleet) {
    EXPECT_FALSE(parse({}));
    EXPECT_FALSE(parse({{"broker", " "}, {"name", "bad name"}}));
}

TEST(FleetConfig, ReadsEachKeyWithItsDefault) {
    const auto plain = parse({{"broker", "mqtt://broker.example"}});
    ASSERT_TRUE(plain);
    EXPECT_FALSE(plain->tls);
    EXPECT_EQ(plain->host, "broker.example");
    EXPECT_EQ(plain->port, 1883);
    EXPECT_EQ(plain->name, "kiosk-3");
    EXPECT_EQ(plain->prefix, "ecran");
    EXPECT_TRUE(plain->groups.empty());
    EXPECT_EQ(plain->keepalive, 10);
    EXPECT_EQ(plain->snapshot.count(), 10);
    EXPECT_EQ(plain->clientId(), "ecran-kiosk-3");

    const auto full = parse({{"broker", "MQTTS://[::1]:8884/"}, {"name", "hall_1.a"}, {"groups", " floor0 ,, lobby"},
                             {"prefix", "signs"}, {"username", "u"}, {"password", "p w"},
                             {"discovery", "homeassistant"}, {"keepalive", "30"}, {"ca", "/etc/hostname"},
                             {"snapshot", "0"}});
    ASSERT_TRUE(full);
    EXPECT_TRUE(full->tls);
    EXPECT_EQ(full->host, "::1");
    EXPECT_EQ(full->port, 8884);
    EXPECT_EQ(full->groups, (std::vector<std::string>{"floor0", "lobby"}));
    EXPECT_EQ(full->clientId(), "signs-hall_1.a");
    EXPECT_EQ(full->password, "p w");
    EXPECT_EQ(full->ca, "/etc/hostname");
    EXPECT_EQ(full->keepalive, 30);
    EXPECT_EQ(full->snapshot.count(), 0);
    EXPECT_EQ(parse({{"broker", "mqtt://h"}, {"snapshot", " 86400 "}})->snapshot.count(), 86400);
    EXPECT_EQ(parse({{"broker", "mqtts://h"}})->port, 8883);
}

TEST(FleetConfig, RefusesWhatCannotBeUsedNamingKeyAndFile) {
    const std::pair<std::map<std::string, std::string>, const char*> rows[] = {
        {{{"broker", "http://h"}}, "[mqtt] broker \"http://h\""},
        {{{"broker", "mqtt://"}}, "[mqtt] broker"},
        {{{"broker", "mqtt://h:"}}, "[mqtt] broker"},
        {{{"broker", "mqtt://h:0"}}, "no port from 1 to 65535"},
        {{{"broker", "mqtt://h:65536"}}, "no port from 1 to 65535"},
        {{{"broker", "mqtt://h:12x"}}, "no port"},
        {{{"broker", "mqtt://h/path"}}, "[mqtt] broker"},
        {{{"broker", "mqtt://[::1"}}, "[mqtt] broker"},
        {{{"broker", "mqtt://h"}, {"name", "hall 1"}}, "[mqtt] name \"hall 1\""},
        {{{"broker", "mqtt://h"}, {"name", "a/b"}}, "[mqtt] name \"a/b\""},
        {{{"broker", "mqtt://h"}, {"name", "all"}}, "[mqtt] name \"all\""},
        {{{"broker", "mqtt://h"}, {"name", "group"}}, "[mqtt] name \"group\""},
        {{{"broker", "mqtt://h"}, {"groups", "a,b#"}}, "[mqtt] groups \"b#\""},
        {{{"broker", "mqtt://h"}, {"prefix", "a/b"}}, "[mqtt] prefix"},
        {{{"broker", "mqtt://h"}, {"discovery", "home+"}}, "[mqtt] discovery"},
        {{{"broker", "mqtt://h"}, {"keepalive", "4"}}, "[mqtt] keepalive \"4\""},
        {{{"broker", "mqtt://h"}, {"keepalive", "ten"}}, "[mqtt] keepalive"},
        {{{"broker", "mqtt://h"}, {"snapshot", "-1"}}, "[mqtt] snapshot \"-1\""},
        {{{"broker", "mqtt://h"}, {"snapshot", "10s"}}, "[mqtt] snapshot \"10s\""},
        {{{"broker", "mqtt://h"}, {"snapshot", "86401"}}, "[mqtt] snapshot \"86401\""},
        {{{"broker", "mqtt://h"}, {"password", "p"}}, "[mqtt] password"},
        {{{"broker", "mqtts://h"}, {"ca", "/no/such/ca.pem"}}, "[mqtt] ca \"/no/such/ca.pem\""},
        {{{"broker", "mqtt://h"}, {"ca", "/etc/hostname"}}, "mqtt://, without TLS"},
    };
    for (const auto& [values, mentions] : rows) {
        try {
            (void)parse(values);
            ADD_FAILURE() << "accepted: " << mentions;
        } catch (const ConfigError& e) {
            const std::string line = e.what();
            EXPECT_NE(line.find(mentions), std::string::npos) << line;
            EXPECT_NE(line.find(kFile), std::string::npos) << line;
            EXPECT_EQ(line.find('\n'), std::string::npos) << line;
        }
    }
    // A host name that cannot be a topic level needs a name of its own.
    EXPECT_THROW((void)parse({{"broker", "mqtt://h"}}, "bad host"), ConfigError);
}

// Reading never seeds the file: a display without [mqtt] leaves it as it was.
using ReadFleetConfig = ecran::test_support::ConfigSandbox;
TEST_F(ReadFleetConfig, ReadsTheSectionWithoutWritingIt) {
    const auto ini = configFile("QUOLVEtavrin.ini");
    const auto bytes = [&] { return ecran::test_support::readFile(ini).value_or("(no file)"); };

    putConfigFile("QUOLVEtavrin.ini", "[ecran]\r\nport=0\r\n");
    EXPECT_FALSE(readFleetConfig("QUOLVEtavrin.ini", ini.string()));
    EXPECT_EQ(bytes(), "[ecran]\r\nport=0\r\n");

    // Values are Windows-1252 in the file and UTF-8 for the broker.
    const std::string withMqtt = "[mqtt]\r\nbroker=mqtt://127.0.0.1:1884\r\nname=s1\r\npassword=caf\xE9\r\nusername=u\r\n";
    putConfigFile("QUOLVEtavrin.ini", withMqtt);
    const auto c = readFleetConfig("QUOLVEtavrin.ini", ini.string());
    ASSERT_TRUE(c);
    EXPECT_EQ(c->port, 1884);
    EXPECT_EQ(c->password, "caf\xC3\xA9");
    EXPECT_EQ(bytes(), withMqtt);
}

}  // namespace
