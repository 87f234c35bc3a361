#include "config_tool.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "registry/registry_sandbox.h"
#include "win32/registry_api.h"
#include "win32/registry_store.h"

namespace ecran::config_tool {
namespace {

using ::testing::HasSubstr;

struct Outcome {
    int status;
    std::string out, err;
};

Outcome tool(const std::vector<std::string>& args) {
    std::ostringstream out, err;
    const int status = run(args, out, err);
    return {status, out.str(), err.str()};
}

class EcranConfigTest : public test_support::RegistrySandbox {
protected:
    std::string iniBytes() const { return test_support::readFile(configFile(kDefaultFile)).value_or(""); }
};

TEST_F(EcranConfigTest, UsageErrorsExitWithTwoAndTouchNothing) {
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {}, {"frobnicate"}, {"get", "ecran"}, {"set", "ecran", "port"}, {"list"}, {"--verbose", "list", "x"},
             {"get", "ecran", "port", "--file"}, {"--file", "", "get", "ecran", "port"},
             {"set", "ecran", "port", "1", "--default", "1"}, {"get", "", "port"}, {"get", "ecran", ""},
             {"--file", "$HKCU\\Software", "set", "ecran", "port", "1"}, {"list", "HKEY_USERS"},
             {"set", "ecran", "port", "Ĉu"}, {"get", "ecran", "\xC3"}, {"--file", "/tmp/Ĉ.ini", "get", "a", "b"}}) {
        SCOPED_TRACE(::testing::PrintToString(args));
        const Outcome o = tool(args);
        EXPECT_EQ(o.status, kExitUsage);
        EXPECT_THAT(o.err, ::testing::StartsWith("ecran-config: "));
        EXPECT_EQ(o.out, "");
    }
    EXPECT_THAT(tool({"set", "ecran", "port", "Ĉu"}).err, HasSubstr("'Ĉ' (U+0108)"));
    EXPECT_FALSE(std::filesystem::exists(dir_ / "ecran"));
    EXPECT_EQ(tool({"--help"}).status, kExitOk);
}

TEST_F(EcranConfigTest, GetSetAndSeedTheDisplaysFile) {
    Outcome o = tool({"get", "ecran", "port"});
    EXPECT_EQ(o.status, kExitFailure);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "ecran-config: nothing stored for key 'port' in section 'ecran' of 'QUOLVEtavrin.ini'\n");
    EXPECT_EQ(tool({"get", "ecran", "port", "--default", "0"}).out, "0\n");

    EXPECT_EQ(tool({"seed", "ecran", "port", "0"}).out, "0\n");
    EXPECT_THAT(iniBytes(), HasSubstr("port=0"));
    EXPECT_EQ(tool({"set", "ecran", "port", "4445"}).status, kExitOk);
    EXPECT_EQ(tool({"seed", "ecran", "port", "0"}).out, "4445\n");
    EXPECT_EQ(tool({"get", "ecran", "port", "--default=0"}).out, "4445\n");
    EXPECT_EQ(tool({"set", "--", "ecran", "offset", "-5"}).status, kExitOk);
    EXPECT_EQ(tool({"get", "ecran", "offset"}).out, "-5\n");

    // UTF-8 outside, Windows-1252 inside.
    EXPECT_EQ(tool({"set", "historique", "infos", "Démarrage €"}).status, kExitOk);
    EXPECT_THAT(iniBytes(), HasSubstr("D\xE9marrage \x80"));
    EXPECT_EQ(tool({"get", "historique", "infos"}).out, "Démarrage €\n");
}

// A file name travels as Windows-1252 and reaches the file system in UTF-8.
TEST_F(EcranConfigTest, NonAsciiFileNamesAreTheFileSystemsOwn) {
    std::filesystem::create_directories(dir_ / "andré");
    const std::string file = (dir_ / "andré" / "x.ini").string();
    EXPECT_EQ(tool({"--file", file, "set", "ecran", "port", "4445"}).status, kExitOk);
    EXPECT_TRUE(std::filesystem::exists(file));
    EXPECT_EQ(tool({"--file", file, "get", "ecran", "port"}).out, "4445\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_ / "andré"), {}), 1);
}

TEST_F(EcranConfigTest, AWriteThatDoesNotLandFailsWithOne) {
    const std::string file = (dir_ / "missing-folder" / "x.ini").string();
    const Outcome o = tool({"--file", file, "set", "ecran", "port", "1"});
    EXPECT_EQ(o.status, kExitFailure);
    EXPECT_THAT(o.err, HasSubstr("could not store key 'port' in section 'ecran' of '" + file + "'"));
    EXPECT_EQ(tool({"--file", file, "seed", "ecran", "port", "1"}).status, kExitFailure);
}

TEST_F(EcranConfigTest, RegistryFilesAndListing) {
    const std::string file = "$HKEY_CURRENT_USER\\Software\\Example";
    EXPECT_EQ(tool({"--file", file, "set", "ecran", "port", "4445"}).status, kExitOk);
    EXPECT_EQ(tool({"--file", file, "seed", "ecran", "host", "écran"}).out, "écran\n");
    EXPECT_EQ(tool({"--file", file, "set", "ecran", "", "top"}).status, kExitOk);
    EXPECT_EQ(tool({"--file", file, "get", "ecran", "port"}).out, "4445\n");

    EXPECT_EQ(tool({"list", "HKEY_CURRENT_USER\\Software\\Example\\ecran"}).out,
              "port = 4445\nhost = écran\n(default) = top\n");
    EXPECT_EQ(tool({"list", "$hkey_current_user\\Software\\Example"}).out, "ecran\\\n");
    const Outcome o = tool({"list", "HKEY_CURRENT_USER\\Software\\Missing"});
    EXPECT_EQ(o.status, kExitFailure);
    EXPECT_THAT(o.err, HasSubstr("'HKEY_CURRENT_USER\\Software\\Missing'"));
    EXPECT_FALSE(test_support::keyExists(HKEY_CURRENT_USER, "Software\\Missing"));
}

// The root is looked for in the key the setting lives in: the file's path
// and SECTION joined.
TEST_F(EcranConfigTest, AFileNamingARootAloneTakesSectionAsTheKeyBelowIt) {
    EXPECT_EQ(tool({"--file", "$HKEY_CURRENT_USER", "set", "Software", "X", "1"}).status, kExitOk);
    EXPECT_EQ(test_support::rawValue(HKEY_CURRENT_USER, "Software", "X"), test_support::sz("1"));
    const Outcome o = tool({"--file", "$hkey_current_user", "get", "Software", "X"});
    EXPECT_EQ(o.status, kExitOk) << o.err;
    EXPECT_EQ(o.out, "1\n");
    EXPECT_EQ(tool({"--file", "$HKCU", "get", "Software", "X"}).status, kExitUsage);
}

// Another program in the middle of a change to the store: a read does not
// wait for it, and a change that cannot be made says so with its own status,
// never as an absent value.
TEST_F(EcranConfigTest, AStoreBusyWithAnotherProgramIsReadAndReportedAsUnreachableForChanges) {
    const std::string file = "$HKEY_CURRENT_USER\\Software\\Example";
    ASSERT_EQ(tool({"--file", file, "set", "ecran", "port", "4445"}).status, kExitOk);
    win32::closeRegistryStore();  // opened again while the other program writes
    win32::setRegistryStoreBusyTimeout(std::chrono::milliseconds(200));
    test_support::OtherProcessWriting writer;
    ASSERT_TRUE(writer.holding());

    Outcome o = tool({"--file", file, "get", "ecran", "port"});
    EXPECT_EQ(o.status, kExitOk) << o.err;
    EXPECT_EQ(o.out, "4445\n");

    // A change to make: a new port, a host to seed.
    for (const char* command : {"set", "seed"}) {
        SCOPED_TRACE(command);
        const std::string key = command == std::string("set") ? "port" : "host";
        o = tool({"--file", file, command, "ecran", key, "1"});
        EXPECT_EQ(o.status, kExitStore);
        EXPECT_THAT(o.err, ::testing::EndsWith("ecran-config: cannot reach the registry store '" +
                                               win32::registryStorePath() + "' for value '" + key +
                                               "' of registry key 'HKEY_CURRENT_USER\\Software\\Example\\ecran': "
                                               "cannot write: another process kept it locked for 200 ms "
                                               "(database is locked) (error 1013)\n"));
        EXPECT_EQ(o.out, "");
    }
}

TEST_F(EcranConfigTest, AStoreThatCannotBeOpenedIsNotReportedAsNothingStored) {
    // A regular file where the configuration folder should be.
    std::ofstream(dir_ / "file") << "x";
    setenv("XDG_CONFIG_HOME", (dir_ / "file").c_str(), 1);
    win32::closeRegistryStore();
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--file", "$HKEY_CURRENT_USER\\Software", "get", "ecran", "port"},
          {"--file", "$HKEY_CURRENT_USER\\Software", "get", "ecran", "port", "--default", "0"},
          {"--file", "$HKEY_CURRENT_USER\\Software", "set", "ecran", "port", "1"},
          {"list", "HKEY_CURRENT_USER\\Software"}}) {
        SCOPED_TRACE(::testing::PrintToString(args));
        const Outcome o = tool(args);
        EXPECT_EQ(o.status, kExitStore);
        EXPECT_THAT(o.err, HasSubstr("ecran-config: cannot reach the registry store '" + (dir_ / "file").string() +
                                     "/ecran/registry.db' for "));
        EXPECT_EQ(o.out, "");
    }
}

TEST_F(EcranConfigTest, AUserWithoutAnyHomeIsToldWhyWithStatusOne) {
    constexpr uid_t kStranger = 54321;
    if (::geteuid() != 0 || ::getpwuid(kStranger)) GTEST_SKIP() << "needs root and a user id without a home";
    test_support::ChildProcess child([](int) {  // no HOME, no XDG_CONFIG_HOME, no home in the password database
        ::unsetenv("HOME");
        ::unsetenv("XDG_CONFIG_HOME");
        if (::setuid(kStranger) != 0) return 100;
        int wrong = 0;
        for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
                 {"set", "ecran", "port", "5"}, {"get", "ecran", "port"}, {"list", "HKEY_CURRENT_USER\\Software"}}) {
            const Outcome o = tool(args);
            wrong += o.status != kExitFailure || o.out != "" ||
                     o.err != "ecran-config: cannot tell where to keep the settings: neither XDG_CONFIG_HOME nor HOME "
                               "is set to an absolute path, and user id 54321 has no home directory in the password "
                               "database; set HOME\n";
        }
        // Below the tool, the store is not looked for at the root of the file system.
        HKEY key = nullptr;
        wrong += RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &key) != ERROR_CANTOPEN ||
                 win32::lastRegistryStoreFailure().path != "registry.db";
        return wrong;
    });
    EXPECT_EQ(child.exitStatus(), 0) << "commands that did not say why";
}

TEST_F(EcranConfigTest, TheProgramExitsWithTheStatusOfItsCommand) {
    const auto status = [](const std::string& args) {  // the child inherits XDG_CONFIG_HOME
        return WEXITSTATUS(std::system((std::string(ECRAN_CONFIG_PROGRAM) + " " + args + " >/dev/null 2>&1").c_str()));
    };
    EXPECT_EQ(status("--help"), kExitOk);
    EXPECT_EQ(status("get ecran"), kExitUsage);
    EXPECT_EQ(status("get ecran port"), kExitFailure);
    EXPECT_EQ(status("set ecran port 4445"), kExitOk);
    EXPECT_EQ(status("--file '$HKEY_CURRENT_USER\\Software' get ecran port"), kExitFailure);
    EXPECT_EQ(tool({"get", "ecran", "port"}).out, "4445\n");
    std::ofstream(dir_ / "file") << "x";  // a file where the registry store's folder should be
    setenv("XDG_CONFIG_HOME", (dir_ / "file").c_str(), 1);
    EXPECT_EQ(status("--file '$HKEY_CURRENT_USER\\Software' get ecran port"), kExitStore);
}

}  // namespace
}  // namespace ecran::config_tool
