#include "registry/key_path.h"

#include <gtest/gtest.h>

namespace ecran::registry {
namespace {

TEST(SplitKeyPath, RootNamesInAnyCaseBeforeTheFirstBackslash) {
    struct Row {
        std::string path;
        HKEY root;
        std::string subKey;
    };
    for (const Row& row : {
             Row{"HKEY_CLASSES_ROOT\\a", HKEY_CLASSES_ROOT, "a"},
             Row{"HKEY_CURRENT_CONFIG\\a", HKEY_CURRENT_CONFIG, "a"},
             Row{"HKEY_CURRENT_USER\\Software\\Example\\S", HKEY_CURRENT_USER, "Software\\Example\\S"},
             Row{"HKEY_DYN_DATA\\a", HKEY_DYN_DATA, "a"}, Row{"HKEY_LOCAL_MACHINE\\a", HKEY_LOCAL_MACHINE, "a"},
             Row{"HKEY_PERFORMANCE_DATA\\a", HKEY_PERFORMANCE_DATA, "a"}, Row{"HKEY_USERS\\a", HKEY_USERS, "a"},
             Row{"Hkey_Local_Machine\\", HKEY_LOCAL_MACHINE, ""}, Row{"HKCU\\Software", nullptr, "Software"},
             Row{"HKEY_USERS", nullptr, "HKEY_USERS"}, Row{"HKEY_USERS \\a", nullptr, "a"}}) {
        SCOPED_TRACE(row.path);
        const KeyPath split = splitKeyPath(row.path);
        EXPECT_EQ(split.root, row.root);
        EXPECT_EQ(split.subKey, row.subKey);
    }
}

}  // namespace
}  // namespace ecran::registry
