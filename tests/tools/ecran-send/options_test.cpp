#include "ecran-send/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ecran-send/errors.h"

namespace {

using ecran::sender::Kind;
using ecran::sender::parseArguments;
using Args = std::vector<std::string>;

TEST(ParseArguments, ReadsEveryFormOfTheCommandLine) {
    auto o = parseArguments({"--host", "::1", "--port=4445", "Bonjour"});
    EXPECT_EQ(o.kind, Kind::Plain);
    EXPECT_EQ(o.message, "Bonjour");
    EXPECT_EQ(o.host, "::1");
    EXPECT_EQ(o.port, 4445);

    o = parseArguments({"Bonjour", "--ticker"});  // options may follow the message
    EXPECT_EQ(o.kind, Kind::Ticker);

    o = parseArguments({"--colour=#F80"});
    EXPECT_EQ(o.kind, Kind::Colour);
    EXPECT_EQ(o.colour, "#F80");

    o = parseArguments({"--ticker", "--stdin", "--lines", "--replace", "--broadcast"});
    EXPECT_TRUE(o.fromStdin && o.lines && o.replace && o.broadcast);
    EXPECT_FALSE(o.message);

    o = parseArguments({"--", "--ticker"});  // after "--" an option-like text is the message
    EXPECT_EQ(o.kind, Kind::Plain);
    EXPECT_EQ(o.message, "--ticker");

    EXPECT_EQ(parseArguments({""}).message, "");  // the empty message is a message
    EXPECT_EQ(parseArguments({"-"}).message, "-");
}

struct Bad {
    Args args;
    const char* mentions;
};

class ParseArgumentsRefuses : public testing::TestWithParam<Bad> {};

TEST_P(ParseArgumentsRefuses, WithAnArgumentError) {
    try {
        (void)parseArguments(GetParam().args);
        FAIL() << "accepted";
    } catch (const ecran::sender::ArgumentError& e) {
        EXPECT_NE(std::string(e.what()).find(GetParam().mentions), std::string::npos) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ParseArgumentsRefuses,
    testing::Values(Bad{{}, "no message"}, Bad{{"--ticker"}, "no message"}, Bad{{"a", "b"}, "one argument"},
                    Bad{{"--bogus", "a"}, "'--bogus'"}, Bad{{"-x", "a"}, "'-x'"},
                    Bad{{"--color"}, "needs a value"}, Bad{{"--port", "0", "a"}, "'0'"},
                    Bad{{"--port", "65536", "a"}, "'65536'"}, Bad{{"--port", "44a", "a"}, "'44a'"},
                    Bad{{"--port=", "a"}, "''"}, Bad{{"--port", "-1", "a"}, "'-1'"},
                    Bad{{"--host=", "a"}, "--host"}, Bad{{"--color", "red", "--ticker"}, "give one"},
                    Bad{{"--color", "red", "a"}, "no message"}, Bad{{"--color", "red", "--stdin"}, "no message"},
                    Bad{{"--lines", "a"}, "--stdin"}, Bad{{"--stdin", "a"}, "either"}));

}  // namespace
