// Where bare profile names and the registry store live, for every way the
// environment can name (or fail to name) a home.

#include <gtest/gtest.h>

#include <pwd.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "win32/config_dir.h"

namespace ecran::win32 {
namespace {

struct DirRow {
    const char* name;
    const char* xdg;   // nullptr: unset
    const char* home;  // nullptr: unset
    std::optional<std::string> passwdHome;
    std::string expected;  // empty: no place, the program must stop
};

class ConfigDirectoryTable : public testing::TestWithParam<DirRow> {};

TEST_P(ConfigDirectoryTable, FollowsXdgThenHomeThenThePasswordDatabase) {
    const DirRow& row = GetParam();
    EXPECT_EQ(configDirectoryFor(row.xdg, row.home, row.passwdHome), row.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ConfigDirectoryTable,
    testing::Values(
        DirRow{"xdg_wins", "/x", "/h", "/p", "/x/ecran"},
        DirRow{"relative_xdg_is_ignored", "cfg", "/h", "/p", "/h/.config/ecran"},
        DirRow{"home_when_no_xdg", nullptr, "/h", "/p", "/h/.config/ecran"},
        DirRow{"no_home_takes_the_password_database", nullptr, nullptr, "/p", "/p/.config/ecran"},
        DirRow{"empty_home_is_unset", "", "", "/p", "/p/.config/ecran"},
        DirRow{"relative_home_is_unset", nullptr, ".", "/p", "/p/.config/ecran"},
        DirRow{"no_home_anywhere_is_no_place", nullptr, nullptr, std::nullopt, ""},
        DirRow{"relative_database_home_is_no_place", nullptr, nullptr, "home", ""}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(PasswordDatabaseHome, IsTheCurrentUsersEntry) {
    const struct passwd* entry = ::getpwuid(::getuid());
    if (!entry || entry->pw_dir[0] != '/') GTEST_SKIP() << "this user has no home in the password database";
    EXPECT_EQ(passwordDatabaseHome(), std::optional<std::string>(entry->pw_dir));
}

}  // namespace
}  // namespace ecran::win32
