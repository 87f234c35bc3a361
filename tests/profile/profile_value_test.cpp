#include "profile/profile_value.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include "errors/error.h"
#include "win32/ini_file.h"
#include "win32/registry_api.h"
#include "win32/registry_store.h"

namespace ecran::profile {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

const std::string kStore = "QUOLVEtavrin.ini";

// XDG_CONFIG_HOME in a fresh directory, the registry store reopened there,
// and a clear last-error record for every test.
class ProfileValueTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "ecran-pv-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        if (const char* old = std::getenv("XDG_CONFIG_HOME")) oldHome_ = old;
        setenv("XDG_CONFIG_HOME", dir_.c_str(), 1);
        win32::closeRegistryStore();
        errors::lastError().clear();
    }
    void TearDown() override {
        win32::closeRegistryStore();
        if (oldHome_) {
            setenv("XDG_CONFIG_HOME", oldHome_->c_str(), 1);
        } else {
            unsetenv("XDG_CONFIG_HOME");
        }
        fs::remove_all(dir_);
    }

    const fs::path& dir() const { return dir_; }
    fs::path file(const std::string& name = kStore) const { return dir() / "ecran" / name; }
    void put(const std::string& bytes, const std::string& name = kStore) const {
        fs::create_directories(dir() / "ecran");
        std::ofstream(file(name), std::ios::binary) << bytes;
    }
    std::optional<std::string> bytes(const std::string& name = kStore) const {
        if (!fs::exists(file(name))) return std::nullopt;
        std::ifstream in(file(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    static bool keyExists(HKEY root, const char* path) {
        HKEY key = nullptr;
        if (RegOpenKeyExA(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
        EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
        return true;
    }

private:
    fs::path dir_;
    std::optional<std::string> oldHome_;
};

TEST_F(ProfileValueTest, FirstStartSeedsThePortIntoANewFile) {
    EXPECT_EQ(ProfileValue("ecran", "port", "0", kStore, kReadAndSeedMode), "0");
    EXPECT_EQ(bytes(), "[ecran]\r\nport=0\r\n");
    EXPECT_TRUE(errors::lastError().isClear());
}

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
    EXPECT_EQ(ProfileValue("s", "k", row.value, kStore, row.mode), row.result);
    EXPECT_EQ(bytes(), row.after);
}

const std::string kEmpty = "[s]\r\nk=\r\n";
const std::string kStored = "[s]\r\nk=x\r\n";

INSTANTIATE_TEST_SUITE_P(
    Table, ProfileValueMode,
    ::testing::Values(
        ModeRow{"WriteCreatesTheFile", std::nullopt, "v", kWriteMode, "v", "[s]\r\nk=v\r\n"},
        ModeRow{"WriteReplaces", kStored, "v", kWriteMode, "v", "[s]\r\nk=v\r\n"},
        ModeRow{"ReadMissingFile", std::nullopt, "d", kReadMode, "d", std::nullopt},
        ModeRow{"ReadMissingKey", "[s]\r\n", "d", kReadMode, "d", "[s]\r\n"},
        ModeRow{"ReadStored", kStored, "d", kReadMode, "x", kStored},
        ModeRow{"ReadEmptyValueGivesTheDefault", kEmpty, "d", kReadMode, "d", kEmpty},
        ModeRow{"Mode3Reads", kEmpty, "d", 3, "d", kEmpty},
        ModeRow{"ModeMinus1Reads", std::nullopt, "d", -1, "d", std::nullopt},
        ModeRow{"SeedMissingFile", std::nullopt, "d", kReadAndSeedMode, "d", "[s]\r\nk=d\r\n"},
        ModeRow{"SeedOverEmptyValue", kEmpty, "d", kReadAndSeedMode, "d", "[s]\r\nk=d\r\n"},
        ModeRow{"SeedEqualValueLeavesTheFile", "[s]\r\nK = d\r\n", "d", kReadAndSeedMode, "d", "[s]\r\nK = d\r\n"},
        ModeRow{"SeedKeepsAnotherValue", kStored, "d", kReadAndSeedMode, "x", kStored},
        ModeRow{"SeedComparesCase", "[s]\r\nk=D\r\n", "d", kReadAndSeedMode, "D", "[s]\r\nk=D\r\n"},
        ModeRow{"SeedEmptyDefault", std::nullopt, "", kReadAndSeedMode, "", kEmpty},
        // The read function drops the default's trailing blanks, so the text
        // read differs from the default and nothing is seeded.
        ModeRow{"SeedDefaultWithTrailingBlank", std::nullopt, "0 ", kReadAndSeedMode, "0", std::nullopt}),
    [](const ::testing::TestParamInfo<ModeRow>& row) { return std::string(row.param.what); });

TEST_F(ProfileValueTest, ValuesComeBackCutTo589Characters) {
    std::string message;
    for (int i = 0; i < 700; ++i) message += static_cast<char>('A' + i % 26);
    for (const std::size_t length : {588u, 589u, 590u, 600u, 700u}) {
        SCOPED_TRACE(length);
        const std::string stored = message.substr(0, length);
        EXPECT_EQ(ProfileValue("historique", "infos", stored, kStore, kWriteMode), stored);
        EXPECT_EQ(bytes(), "[historique]\r\ninfos=" + stored + "\r\n");  // writing is not cut
        EXPECT_EQ(ProfileValue("historique", "infos", "", kStore, kReadMode), stored.substr(0, 589));
    }
}

TEST_F(ProfileValueTest, ALongDefaultIsCutAndThenNoLongerSeeded) {
    const std::string fits(589, 'd');
    const std::string tooLong(600, 'd');
    EXPECT_EQ(ProfileValue("s", "k", tooLong, kStore, kReadAndSeedMode), fits);
    EXPECT_EQ(bytes(), std::nullopt);
    EXPECT_EQ(ProfileValue("s", "k", fits, kStore, kReadAndSeedMode), fits);
    EXPECT_EQ(bytes(), "[s]\r\nk=" + fits + "\r\n");
}

TEST_F(ProfileValueTest, NamesAreCutTo600CharactersOrAtTheirFirstNul) {
    const std::string section = std::string(600, 's') + "tail";
    const std::string key = std::string(600, 'k') + "tail";
    EXPECT_EQ(ProfileValue(section, key, "v", kStore, kWriteMode), "v");
    EXPECT_EQ(bytes(), "[" + std::string(600, 's') + "]\r\n" + std::string(600, 'k') + "=v\r\n");
    EXPECT_EQ(ProfileValue(std::string(600, 's'), std::string(600, 'k'), "d", kStore, kReadMode), "v");

    EXPECT_EQ(ProfileValue("ab\0cd"s, "k\0x"s, "w", "n.ini", kWriteMode), "w");
    EXPECT_EQ(bytes("n.ini"), "[ab]\r\nk=w\r\n");
}

TEST_F(ProfileValueTest, AwkwardMessagesReadBackExactly) {
    put("[ecran]\r\nport=4000\r\n");
    std::string every;
    for (int b = 1; b < 256; ++b) every += static_cast<char>(b);
    for (const std::string& message : {"x\r\n[ecran]\r\nport=1"s, "  \"quoted\"  "s, "\xFF" "Ctick\r\n"s, every}) {
        SCOPED_TRACE(::testing::PrintToString(message));
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

TEST_F(ProfileValueTest, DollarNamesGoToTheRegistryAndNeverToAnIniFile) {
    const std::string path = "$HKEY_CURRENT_USER\\Software\\Example";
    EXPECT_EQ(ProfileValue("S", "K", "d", path, kReadMode), "d");
    EXPECT_FALSE(keyExists(HKEY_CURRENT_USER, "Software\\Example\\S"));
    EXPECT_EQ(ProfileValue("S", "K", "d", path, kReadAndSeedMode), "d");
    EXPECT_TRUE(keyExists(HKEY_CURRENT_USER, "Software\\Example\\S"));
    EXPECT_EQ(ProfileValue("S", "K", "other", path, kReadMode), "d");
    EXPECT_EQ(ProfileValue("S", "K", "w", path, kWriteMode), "w");
    EXPECT_EQ(ProfileValue("S", "K", "other", path, kReadAndSeedMode), "w");
    // An unknown root stores nothing; the default comes back all the same.
    EXPECT_EQ(ProfileValue("S", "K", "v", "$HKCU\\Software", kWriteMode), "v");
    EXPECT_EQ(ProfileValue("S", "K", "d", "$HKCU\\Software", kReadAndSeedMode), "d");
    if (fs::exists(dir() / "ecran")) {
        for (const auto& entry : fs::directory_iterator(dir() / "ecran"))
            EXPECT_NE(entry.path().extension(), ".ini") << entry.path();
    }
}

TEST_F(ProfileValueTest, EmptyFileNameMeansTheProgramsOwnIniBesideIt) {
    const fs::path exe = fs::read_symlink("/proc/self/exe");
    const fs::path own = exe.parent_path() / (exe.stem().string() + ".ini");
    fs::remove(own);
    EXPECT_EQ(ProfileValue("s", "k", "v", "", kWriteMode), "v");
    std::ifstream in(own, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "[s]\r\nk=v\r\n");
    EXPECT_EQ(ProfileValue("s", "k", "d", "", kReadMode), "v");
    fs::remove(own);
}

TEST_F(ProfileValueTest, AFailedWriteStillReturnsTheValueAndIsRecorded) {
    const std::string nowhere = (dir() / "missing" / "x.ini").string();
    EXPECT_EQ(ProfileValue("s", "k", "v", nowhere, kWriteMode), "v");
    EXPECT_EQ(errors::lastError().number, 75);
    EXPECT_EQ(errors::lastError().source, "ProfileValue");
    EXPECT_NE(errors::lastError().description.find(dir().string() + "/missing"), std::string::npos)
        << errors::lastError().description;
    EXPECT_FALSE(fs::exists(dir() / "missing"));

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

}  // namespace
}  // namespace ecran::profile
