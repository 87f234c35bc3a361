#include "profile/profile_value.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "errors/error.h"
#include "registry/registry_sandbox.h"
#include "win32/error_api.h"
#include "win32/ini_file.h"

namespace ecran::profile {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using test_support::readFile;

const std::string kStore = "QUOLVEtavrin.ini";

// A fresh XDG_CONFIG_HOME and registry store, a clear last-error record.
class ProfileValueTest : public test_support::RegistrySandbox {
protected:
    fs::path file(const std::string& name = kStore) const { return configFile(name); }
    void put(const std::string& bytes) const { putConfigFile(kStore, bytes); }
    std::optional<std::string> bytes(const std::string& name = kStore) const { return readFile(file(name)); }
};

struct ModeRow {
    const char* what;
    std::optional<std::string> before;  // nothing: no file
    std::string value;
    std::int16_t mode;
    std::string result;
    std::optional<std::string> after;  // nothing: still no file
};

class ProfileValueMode : public ProfileValueTest, public ::testing::WithParamInterface<ModeRow> {};

TEST_P(ProfileValueMode, ReturnsAndStores) {
    const ModeRow& row = GetParam();
    if (row.before) put(*row.before);
    EXPECT_EQ(ProfileValue("ecran", "port", row.value, kStore, row.mode), row.result);
    EXPECT_EQ(bytes(), row.after);
    EXPECT_TRUE(errors::lastError().isClear());
}

// The file holding only this value of [ecran] port.
std::string portFile(const std::string& value) { return "[ecran]\r\nport=" + value + "\r\n"; }
const std::string k589(589, 'm');

INSTANTIATE_TEST_SUITE_P(
    Table, ProfileValueMode,
    ::testing::Values(
        ModeRow{"FirstStartSeedsANewFile", std::nullopt, "0", kReadAndSeedMode, "0", "[ecran]\r\nport=0\r\n"},
        ModeRow{"WriteReplaces", portFile("x"), "v", kWriteMode, "v", portFile("v")},
        ModeRow{"ReadEmptyValueGivesTheDefault", portFile(""), "d", kReadMode, "d", portFile("")},
        ModeRow{"Mode3Reads", portFile("x"), "d", 3, "x", portFile("x")},
        ModeRow{"ModeMinus1Reads", std::nullopt, "d", -1, "d", std::nullopt},
        ModeRow{"SeedOverEmptyValue", portFile(""), "d", kReadAndSeedMode, "d", portFile("d")},
        ModeRow{"SeedEqualValueKeepsTheFile", "[ecran]\nPort = d\n", "d", kReadAndSeedMode, "d", "[ecran]\nPort = d\n"},
        ModeRow{"SeedComparesCaseSensitively", "[ecran]\nport=D\n", "d", kReadAndSeedMode, "D", "[ecran]\nport=D\n"},
        ModeRow{"SeedEmptyDefault", std::nullopt, "", kReadAndSeedMode, "", portFile("")},
        // The read function drops the default's trailing blanks, so the text
        // read differs from the default and nothing is seeded.
        ModeRow{"SeedDefaultWithTrailingBlank", std::nullopt, "0 ", kReadAndSeedMode, "0", std::nullopt},
        // 590 characters declared to the read function: at most 589 back.
        ModeRow{"ReadCutTo589", portFile(k589 + "n"), "d", kReadMode, k589, portFile(k589 + "n")},
        ModeRow{"WriteIsNotCut", std::nullopt, k589 + "nn", kWriteMode, k589 + "nn", portFile(k589 + "nn")},
        ModeRow{"LongDefaultIsCutThenNotSeeded", std::nullopt, k589 + "n", kReadAndSeedMode, k589, std::nullopt},
        ModeRow{"DefaultOf589IsSeeded", std::nullopt, k589, kReadAndSeedMode, k589, portFile(k589)}),
    [](const ::testing::TestParamInfo<ModeRow>& row) { return std::string(row.param.what); });

TEST_F(ProfileValueTest, NamesAreCutTo600CharactersOrAtTheirFirstNul) {
    const std::string section(600, 's'), key(600, 'k');
    EXPECT_EQ(ProfileValue(section + "tail", key + "tail", "v", kStore, kWriteMode), "v");
    EXPECT_EQ(bytes(), "[" + section + "]\r\n" + key + "=v\r\n");
    EXPECT_EQ(ProfileValue(section, key, "d", kStore, kReadMode), "v");
    EXPECT_EQ(ProfileValue("ab\0cd"s, "k\0x"s, "w", "n.ini", kWriteMode), "w");
    EXPECT_EQ(bytes("n.ini"), "[ab]\r\nk=w\r\n");
}

TEST_F(ProfileValueTest, AwkwardMessagesReadBackExactly) {
    put("[ecran]\r\nport=4000\r\n");
    std::string every;
    for (int b = 1; b < 256; ++b) every += static_cast<char>(b);
    for (const std::string& message : {"x\r\n[ecran]\r\nport=1"s, "  \"quoted\"  "s, "\xFF" "Ctick\r\n"s, every}) {
        EXPECT_EQ(ProfileValue("historique", "infos", message, kStore, kWriteMode), message);
        EXPECT_EQ(ProfileValue("historique", "infos", "", kStore, kReadMode), message);
        EXPECT_EQ(ProfileValue("ecran", "port", "0", kStore, kReadAndSeedMode), "4000");
    }
}

TEST_F(ProfileValueTest, DollarAloneIsAnIniFileName) {
    EXPECT_EQ(ProfileValue("s", "k", "v", "$", kWriteMode), "v");
    EXPECT_EQ(bytes("$"), "[s]\r\nk=v\r\n");
    EXPECT_EQ(ProfileValue("s", "k", "d", "$", kReadMode), "v");
}

// Writing and seeding through the registry are covered with the registry
// path functions; here: what reaches it and what does not.
TEST_F(ProfileValueTest, DollarNamesGoToTheRegistryAndNeverToAnIniFile) {
    const std::string path = "$HKEY_CURRENT_USER\\Software\\Example";
    EXPECT_EQ(ProfileValue("S", "K", "d", path, kReadMode), "d");
    EXPECT_FALSE(test_support::keyExists(HKEY_CURRENT_USER, "Software\\Example\\S"));  // reading seeds nothing
    EXPECT_EQ(ProfileValue("S", "K", "w", path, kWriteMode), "w");
    EXPECT_TRUE(test_support::keyExists(HKEY_CURRENT_USER, "Software\\Example\\S"));
    EXPECT_EQ(ProfileValue("S", "K", "other", path, kReadAndSeedMode), "w");
    // An unknown root stores nothing; the default comes back all the same.
    EXPECT_EQ(ProfileValue("S", "K", "d", "$HKCU\\Software", kReadAndSeedMode), "d");
    EXPECT_EQ(bytes(path), std::nullopt);
    EXPECT_EQ(bytes("$HKCU\\Software"), std::nullopt);
}

TEST_F(ProfileValueTest, EmptyFileNameMeansTheProgramsOwnIniBesideIt) {
    const fs::path exe = fs::read_symlink("/proc/self/exe");
    const fs::path own = exe.parent_path() / (exe.stem().string() + ".ini");
    fs::remove(own);
    EXPECT_EQ(ProfileValue("s", "k", "v", "", kWriteMode), "v");
    EXPECT_EQ(readFile(own), "[s]\r\nk=v\r\n");
    EXPECT_EQ(ProfileValue("s", "k", "d", "", kReadMode), "v");
    fs::remove(own);
}

TEST_F(ProfileValueTest, AFailedWriteStillReturnsTheValueAndIsRecorded) {
    const std::string nowhere = (dir_ / "missing" / "x.ini").string();
    EXPECT_EQ(ProfileValue("s", "k", "v", nowhere, kWriteMode), "v");
    EXPECT_EQ(errors::lastError().number, 75);
    EXPECT_EQ(errors::lastError().source, "ProfileValue");
    EXPECT_NE(errors::lastError().description.find((dir_ / "missing").string()), std::string::npos);
    // The next call starts with a clear record.
    EXPECT_EQ(ProfileValue("s", "k", "d", nowhere, kReadMode), "d");
    EXPECT_TRUE(errors::lastError().isClear());
}

TEST_F(ProfileValueTest, AnUnreadableFileGivesTheDefaultAndIsRecorded) {
    put("[s]\r\nk=v\r\n");
    fs::resize_file(file(), win32::kMaxProfileFileSize + 1);
    EXPECT_EQ(ProfileValue("s", "k", "d", kStore, kReadMode), "d");
    EXPECT_EQ(errors::lastError().number, 75);
    EXPECT_NE(errors::lastError().description.find(file().string()), std::string::npos);
    // Seeding cannot replace a file it could not read.
    EXPECT_EQ(ProfileValue("s", "k", "d", kStore, kReadAndSeedMode), "d");
    EXPECT_EQ(fs::file_size(file()), win32::kMaxProfileFileSize + 1);
}

TEST_F(ProfileValueTest, AValueWithANulIsStoredUpToItAndRecorded) {
    const std::string message = "avant\0apr\xE8s"s;
    EXPECT_EQ(ProfileValue("historique", "infos", message, kStore, kWriteMode), message);
    EXPECT_EQ(bytes(), "[historique]\r\ninfos=avant\r\n");
    EXPECT_EQ(errors::lastError().number, 5);
    EXPECT_NE(errors::lastError().description.find("NUL"), std::string::npos);
}

TEST_F(ProfileValueTest, AStreamOfValuesWithANulIsReportedOnceThenCounted) {
    testing::internal::CaptureStderr();
    for (int i = 0; i < 5; ++i) (void)ProfileValue("flux", "infos", "a\0b"s, kStore, kWriteMode);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "ProfileValue: the value for [flux] infos in 'QUOLVEtavrin.ini' holds a NUL character; "
                   "only the text before it was stored\n");
    EXPECT_EQ(errors::lastError().number, 5);  // every one is still recorded
}

// A file the operator made read-only is not written; the failure is
// recorded at every write but said on stderr once.
TEST_F(ProfileValueTest, AReadOnlyFileIsNotWrittenAndSaidOnce) {
    put("[ecran]\r\nport=4445\r\n");
    fs::permissions(file(), fs::perms::owner_read);
    ::testing::internal::CaptureStderr();
    for (const char* message : {"un", "deux"}) {
        EXPECT_EQ(ProfileValue("historique", "infos", message, kStore, kWriteMode), message);
        EXPECT_EQ(errors::lastError().number, 75);
        EXPECT_NE(errors::lastError().description.find("read-only"), std::string::npos);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));  // root included
    }
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(said, "ProfileValue: '" + file().string() + "' is read-only; it is not written\n");
    EXPECT_EQ(bytes(), "[ecran]\r\nport=4445\r\n");
}

// An editor's byte-order mark must not hide [ecran]: seeding would append a
// second [ecran] with port=0.
TEST_F(ProfileValueTest, AByteOrderMarkDoesNotHideTheFirstSection) {
    put("\xEF\xBB\xBF[ecran]\r\nport=4445\r\n");
    EXPECT_EQ(ProfileValue("ecran", "port", "0", kStore, kReadAndSeedMode), "4445");
    EXPECT_EQ(ProfileValue("historique", "infos", "x", kStore, kWriteMode), "x");
    EXPECT_EQ(bytes(), "\xEF\xBB\xBF[ecran]\r\nport=4445\r\n[historique]\r\ninfos=x\r\n");
}

}  // namespace
}  // namespace ecran::profile
