#include "profile/registry_path.h"

#include <gtest/gtest.h>

#include "profile/profile_value.h"
#include "registry/registry_sandbox.h"

namespace ecran::profile {
namespace {

using test_support::keyExists;
using test_support::putValue;
using test_support::rawValue;
using test_support::sz;

class RegistryPathTest : public test_support::RegistrySandbox {};

const std::string kFile = "$HKEY_CURRENT_USER\\Software\\Example";

TEST_F(RegistryPathTest, ProfileValueAddressesTheSectionAsTheLastKey) {
    EXPECT_EQ(ProfileValue("S", "K", "v", kFile, kWriteMode), "v");
    EXPECT_EQ(rawValue(HKEY_CURRENT_USER, "Software\\Example\\S", "K"), sz("v"));
    EXPECT_EQ(ProfileValue("S", "K", "default", kFile, kReadMode), "v");
}

TEST_F(RegistryPathTest, ReadAndSeedWritesOnlyAMissingValue) {
    EXPECT_EQ(ProfileValue("ecran", "port", "0", kFile, kReadAndSeedMode), "0");
    EXPECT_EQ(rawValue(HKEY_CURRENT_USER, "Software\\Example\\ecran", "port"), sz("0"));
    // Equal to the default: left alone (a rewrite would make it REG_SZ).
    putValue(HKEY_CURRENT_USER, "Software\\Example\\ecran", "port", REG_EXPAND_SZ, std::string("0\0", 2));
    EXPECT_EQ(ProfileValue("ecran", "port", "0", kFile, kReadAndSeedMode), "0");
    EXPECT_EQ(rawValue(HKEY_CURRENT_USER, "Software\\Example\\ecran", "port")->first, DWORD{REG_EXPAND_SZ});
}

TEST_F(RegistryPathTest, OnlyFullRootNamesBeforeABackslashReachTheStore) {
    for (const auto& [keyPath, reaches] : {std::pair{"hkey_current_user\\Software\\Example", true},
                                          std::pair{"HKey_Current_User\\Software\\Example", true},
                                          std::pair{"HKCU\\Software\\Example", false},
                                          std::pair{"HKEY_CURRENT_USER", false}}) {
        SCOPED_TRACE(keyPath);
        putValue(HKEY_CURRENT_USER, "Software\\Example", "n", REG_SZ, std::string("stored\0", 7));
        EXPECT_EQ(GetRegistryPathValue(keyPath, "n"), reaches ? "stored" : "");
        EXPECT_EQ(errors::lastError().number, reaches ? 0 : ERROR_INVALID_HANDLE);  // recorded, never raised
        EXPECT_NO_THROW(SetRegistryPathValue(keyPath, "n", "written"));
        EXPECT_EQ(rawValue(HKEY_CURRENT_USER, "Software\\Example", "n"), sz(reaches ? "written" : "stored"));
    }
}

TEST_F(RegistryPathTest, WritesCreateMissingKeysReadsCreateNothing) {
    EXPECT_EQ(GetRegistryPathValue("HKEY_CURRENT_USER\\A\\B\\C", "n"), "");
    EXPECT_FALSE(keyExists(HKEY_CURRENT_USER, "A"));
    SetRegistryPathValue("HKEY_CURRENT_USER\\A\\B\\C", "n", "v");
    EXPECT_EQ(rawValue(HKEY_CURRENT_USER, "A\\B\\C", "n"), sz("v"));
    // An empty sub key path is the root key itself.
    SetRegistryPathValue("HKEY_CURRENT_USER\\", "top", "level");
    EXPECT_EQ(rawValue(HKEY_CURRENT_USER, "", "top"), sz("level"));
    EXPECT_EQ(GetRegistryPathValue("HKEY_CURRENT_USER\\", "top"), "level");
}

}  // namespace
}  // namespace ecran::profile
