#include "registry/key_path.h"

#include <gtest/gtest.h>

namespace ecran::registry {
namespace {

TEST(SplitKeyPath, RootsAreMatchedInAnyCaseAndOnlyTheFirstBackslashSplits) {
    struct Row {
        std::string path;
        HKEY root;
        std::string subKey;
    };
    const Row rows[] = {
        {"HKEY_CLASSES_ROOT\\a", HKEY_CLASSES_ROOT, "a"},
        {"HKEY_CURRENT_CONFIG\\a", HKEY_CURRENT_CONFIG, "a"},
        {"HKEY_CURRENT_USER\\Software\\Example\\S", HKEY_CURRENT_USER, "Software\\Example\\S"},
        {"HKEY_DYN_DATA\\a", HKEY_DYN_DATA, "a"},
        {"HKEY_LOCAL_MACHINE\\a", HKEY_LOCAL_MACHINE, "a"},
        {"HKEY_PERFORMANCE_DATA\\a", HKEY_PERFORMANCE_DATA, "a"},
        {"HKEY_USERS\\a", HKEY_USERS, "a"},
        {"hkey_current_user\\Mixed\\Case", HKEY_CURRENT_USER, "Mixed\\Case"},
        {"Hkey_Local_Machine\\", HKEY_LOCAL_MACHINE, ""},
        {"HKCU\\Software", nullptr, "Software"},
        {"HKEY_USERS", nullptr, "HKEY_USERS"},
        {"Software\\Example", nullptr, "Example"},
        {"\\Software", nullptr, "Software"},
        {"HKEY_CURRENT_USER \\a", nullptr, "a"},
        {"", nullptr, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.path);
        const KeyPath split = splitKeyPath(row.path);
        EXPECT_EQ(split.root, row.root);
        EXPECT_EQ(split.subKey, row.subKey);
    }
}

}  // namespace
}  // namespace ecran::registry
