#include "config_tool.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "registry/registry_sandbox.h"

namespace ecran::config_tool {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

Outcome tool(std::vector<std::string> args) {
    std::ostringstream out, err;
    const int status = run(args, out, err);
    return {status, out.str(), err.str()};
}

class EcranConfigTest : public test_support::RegistrySandbox {
protected:
    std::string iniBytes() const {
        std::ifstream in(dir() / "ecran" / kDefaultFile, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
};

const std::string kRegistryFile = "$HKEY_CURRENT_USER\\Software\\Example";

TEST_F(EcranConfigTest, UsageErrorsExitWithTwo) {
    const std::vector<std::vector<std::string>> rows = {
        {},
        {"frobnicate"},
        {"get", "ecran"},
        {"set", "ecran", "port"},
        {"seed", "ecran", "port"},
        {"list"},
        {"--verbose", "get", "ecran", "port"},
        {"get", "ecran", "port", "--file"},
        {"--file", "", "get", "ecran", "port"},
        {"set", "ecran", "port", "4445", "--default", "1"},
        {"get", "", "port"},
        {"get", "ecran", ""},
        {"--file", "$HKCU\\Software", "get", "ecran", "port"},
        {"list", "HKCU\\Software"},
        {"list", "HKEY_USERS"},
    };
    for (const auto& args : rows) {
        SCOPED_TRACE(::testing::PrintToString(args));
        const Outcome o = tool(args);
        EXPECT_EQ(o.status, kExitUsage);
        EXPECT_THAT(o.err, StartsWith("ecran-config: "));
        EXPECT_EQ(o.out, "");
    }
    EXPECT_FALSE(std::filesystem::exists(dir() / "ecran" / kDefaultFile));
}

TEST_F(EcranConfigTest, HelpDescribesEveryCommand) {
    const Outcome o = tool({"--help"});
    EXPECT_EQ(o.status, kExitOk);
    for (const char* word : {"get SECTION KEY", "set SECTION KEY VALUE", "seed SECTION KEY DEFAULT", "list KEYPATH",
                             "--file NAME", "--default TEXT", "QUOLVEtavrin.ini", "Exit status"}) {
        EXPECT_THAT(o.out, HasSubstr(word));
    }
}

TEST_F(EcranConfigTest, GetSetAndSeedTheDisplaysFile) {
    Outcome o = tool({"get", "ecran", "port"});
    EXPECT_EQ(o.status, kExitFailure);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "ecran-config: nothing stored for key 'port' in section 'ecran' of 'QUOLVEtavrin.ini'\n");
    EXPECT_EQ(tool({"get", "ecran", "port", "--default", "0"}).out, "0\n");

    o = tool({"seed", "ecran", "port", "0"});
    EXPECT_EQ(o.status, kExitOk);
    EXPECT_EQ(o.out, "0\n");
    EXPECT_THAT(iniBytes(), HasSubstr("port=0"));

    EXPECT_EQ(tool({"set", "ecran", "port", "4445"}).status, kExitOk);
    EXPECT_EQ(tool({"seed", "ecran", "port", "0"}).out, "4445\n");
    o = tool({"get", "ecran", "port", "--default=0"});
    EXPECT_EQ(o.status, kExitOk);
    EXPECT_EQ(o.out, "4445\n");
    // A value that begins with "-" after the end of options.
    EXPECT_EQ(tool({"set", "--", "ecran", "offset", "-5"}).status, kExitOk);
    EXPECT_EQ(tool({"get", "ecran", "offset"}).out, "-5\n");
}

TEST_F(EcranConfigTest, TextIsUtf8OutsideAndWindows1252Inside) {
    EXPECT_EQ(tool({"set", "historique", "infos", "Démarrage €"}).status, kExitOk);
    EXPECT_THAT(iniBytes(), HasSubstr("D\xE9marrage \x80"));
    EXPECT_EQ(tool({"get", "historique", "infos"}).out, "Démarrage €\n");

    const Outcome o = tool({"set", "historique", "infos", "Ĉu"});
    EXPECT_EQ(o.status, kExitUsage);
    EXPECT_THAT(o.err, HasSubstr("'Ĉ' (U+0108)"));
    EXPECT_EQ(tool({"get", "historique", "infos"}).out, "Démarrage €\n");
    EXPECT_EQ(tool({"get", "historique", "\xC3"}).status, kExitUsage);  // cut UTF-8
}

TEST_F(EcranConfigTest, AWriteThatDoesNotLandFailsWithOne) {
    const std::string file = (dir() / "missing-folder" / "x.ini").string();
    const Outcome o = tool({"--file", file, "set", "ecran", "port", "1"});
    EXPECT_EQ(o.status, kExitFailure);
    EXPECT_THAT(o.err, HasSubstr("could not store key 'port' in section 'ecran' of '" + file + "'"));
    EXPECT_EQ(tool({"--file", file, "seed", "ecran", "port", "1"}).status, kExitFailure);
}

TEST_F(EcranConfigTest, RegistryFilesAndListing) {
    EXPECT_EQ(tool({"--file", kRegistryFile, "set", "ecran", "port", "4445"}).status, kExitOk);
    EXPECT_EQ(tool({"--file", kRegistryFile, "seed", "ecran", "host", "écran"}).out, "écran\n");
    EXPECT_EQ(tool({"--file", kRegistryFile, "set", "ecran", "", "top"}).status, kExitOk);
    EXPECT_EQ(tool({"--file", kRegistryFile, "get", "ecran", "port"}).out, "4445\n");

    Outcome o = tool({"list", "HKEY_CURRENT_USER\\Software\\Example\\ecran"});
    EXPECT_EQ(o.status, kExitOk);
    EXPECT_THAT(o.out, HasSubstr("port = 4445\n"));
    EXPECT_THAT(o.out, HasSubstr("host = écran\n"));
    EXPECT_THAT(o.out, HasSubstr("(default) = top\n"));
    EXPECT_EQ(tool({"list", "$hkey_current_user\\Software\\Example"}).out, "ecran\\\n");

    o = tool({"list", "HKEY_CURRENT_USER\\Software\\Missing"});
    EXPECT_EQ(o.status, kExitFailure);
    EXPECT_THAT(o.err, HasSubstr("'HKEY_CURRENT_USER\\Software\\Missing'"));
    EXPECT_FALSE(test_support::keyExists(HKEY_CURRENT_USER, "Software\\Missing"));
}

TEST_F(EcranConfigTest, TheProgramExitsWithTheStatusOfItsCommand) {
    // The child inherits this test's XDG_CONFIG_HOME.
    const std::string program = ECRAN_CONFIG_PROGRAM;
    const auto status = [&](const std::string& args) {
        return WEXITSTATUS(std::system((program + " " + args + " >/dev/null 2>&1").c_str()));
    };
    EXPECT_EQ(status("--help"), kExitOk);
    EXPECT_EQ(status("get ecran"), kExitUsage);
    EXPECT_EQ(status("get ecran port"), kExitFailure);
    EXPECT_EQ(status("set ecran port 4445"), kExitOk);
    EXPECT_EQ(tool({"get", "ecran", "port"}).out, "4445\n");
}

}  // namespace
}  // namespace ecran::config_tool
