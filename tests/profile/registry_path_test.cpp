#include "profile/registry_path.h"

#include <gtest/gtest.h>

#include "profile/profile_value.h"
#include "registry/registry_sandbox.h"

namespace ecran::profile {
namespace {

using test_support::keyExists;
using test_support::putValue;
using test_support::rawValue;

class RegistryPathTest : public test_support::RegistrySandbox {};

std::string sz(const std::string& text) { return text + '\0'; }

TEST_F(RegistryPathTest, ProfileValueAddressesTheSectionAsTheLastKey) {
    EXPECT_EQ(ProfileValue("S", "K", "v", "$HKEY_CURRENT_USER\\Software\\Example", kWriteMode), "v");
    const auto stored = rawValue(HKEY_CURRENT_USER, "Software\\Example\\S", "K");
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(stored->bytes, sz("v"));
    EXPECT_EQ(ProfileValue("S", "K", "default", "$HKEY_CURRENT_USER\\Software\\Example", kReadMode), "v");
}

TEST_F(RegistryPathTest, ReadAndSeedWritesOnlyAMissingValue) {
    const std::string file = "$HKEY_CURRENT_USER\\Software\\Example";
    EXPECT_EQ(ProfileValue("ecran", "port", "0", file, kReadAndSeedMode), "0");
    EXPECT_EQ(rawValue(HKEY_CURRENT_USER, "Software\\Example\\ecran", "port")->bytes, sz("0"));

    // A stored value equal to the default is left as it is: a rewrite would
    // have turned its type into REG_SZ.
    putValue(HKEY_CURRENT_USER, "Software\\Example\\ecran", "port", REG_EXPAND_SZ, sz("0"));
    EXPECT_EQ(ProfileValue("ecran", "port", "0", file, kReadAndSeedMode), "0");
    EXPECT_EQ(rawValue(HKEY_CURRENT_USER, "Software\\Example\\ecran", "port")->type,
              static_cast<DWORD>(REG_EXPAND_SZ));
}

TEST_F(RegistryPathTest, OnlyFullRootNamesBeforeABackslashReachTheStore) {
    struct Row {
        std::string keyPath;
        bool reaches;
    };
    const Row rows[] = {
        {"HKEY_CURRENT_USER\\Software\\Example", true},
        {"hkey_current_user\\Software\\Example", true},
        {"HKey_Current_User\\Software\\Example", true},
        {"HKCU\\Software\\Example", false},
        {"HKEY_CURRENT_USER", false},
        {"Software\\Example", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.keyPath);
        putValue(HKEY_CURRENT_USER, "Software\\Example", "n", REG_SZ, sz("stored"));
        EXPECT_EQ(GetRegistryPathValue(row.keyPath, "n"), row.reaches ? "stored" : "");
        SetRegistryPathValue(row.keyPath, "n", "written");
        EXPECT_EQ(rawValue(HKEY_CURRENT_USER, "Software\\Example", "n")->bytes,
                  sz(row.reaches ? "written" : "stored"));
    }
}

TEST_F(RegistryPathTest, AnEmptySubKeyPathIsTheRootItself) {
    SetRegistryPathValue("HKEY_CURRENT_USER\\", "top", "level");
    EXPECT_EQ(rawValue(HKEY_CURRENT_USER, "", "top")->bytes, sz("level"));
    EXPECT_EQ(GetRegistryPathValue("HKEY_CURRENT_USER\\", "top"), "level");
}

TEST_F(RegistryPathTest, WritesCreateMissingKeysAndReadsCreateNothing) {
    EXPECT_EQ(GetRegistryPathValue("HKEY_CURRENT_USER\\A\\B\\C", "n"), "");
    EXPECT_FALSE(keyExists(HKEY_CURRENT_USER, "A"));

    SetRegistryPathValue("HKEY_CURRENT_USER\\A\\B\\C", "n", "v");
    EXPECT_EQ(rawValue(HKEY_CURRENT_USER, "A\\B\\C", "n")->bytes, sz("v"));
    EXPECT_EQ(GetRegistryPathValue("HKEY_CURRENT_USER\\A\\B\\C", "n"), "v");
}

TEST_F(RegistryPathTest, FailuresStayInTheLastErrorRecord) {
    EXPECT_NO_THROW(SetRegistryPathValue("HKCU\\Software", "n", "v"));
    EXPECT_EQ(GetRegistryPathValue("HKEY_CURRENT_USER\\Missing", "n"), "");
    EXPECT_EQ(errors::lastError().number, ERROR_INVALID_HANDLE);
    EXPECT_EQ(errors::lastError().source, "RegistryKey.Get Value");
}

}  // namespace
}  // namespace ecran::profile
