#include "text/leading_number.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "errors/error.h"

namespace {

using ecran::text::LeadingNumber;

struct Case {
    const char* text;
    std::int32_t expected;
};

class LeadingNumberValue : public testing::TestWithParam<Case> {};

TEST_P(LeadingNumberValue, ReadsTheNumberThatLeadsTheText) {
    EXPECT_EQ(LeadingNumber(GetParam().text), GetParam().expected) << "text: \"" << GetParam().text << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Table, LeadingNumberValue,
    testing::Values(
        // No number at all.
        Case{"", 0}, Case{"abc", 0}, Case{"-", 0}, Case{"+", 0}, Case{".", 0}, Case{"&", 0}, Case{"&H", 0},
        Case{"&Q12", 0}, Case{"-&H10", 0},
        // Plain digits, letters after them, signs.
        Case{"0", 0}, Case{"123abc", 123}, Case{"255", 255}, Case{"+42", 42}, Case{"-42", -42}, Case{"007", 7},
        Case{"12em", 12},
        // Blanks, tabs and line feeds vanish from the whole text first; a carriage return does not.
        Case{"1 2 3", 123}, Case{" \t\n4\t4 4 5", 4445}, Case{"- 5", -5}, Case{"1\r2", 1},
        // At most one decimal point; rounding halves to the even neighbour.
        Case{"1.5", 2}, Case{"2.5", 2}, Case{"3.5", 4}, Case{"-1.5", -2}, Case{"-2.5", -2}, Case{"0.5", 0},
        Case{".5", 0}, Case{".51", 1}, Case{"2.500001", 3}, Case{"2.4999999", 2}, Case{"2.50000", 2},
        Case{"1.2.3", 1}, Case{"7.", 7}, Case{"-0.4", 0},
        // No exponent is read.
        Case{"1E3", 1}, Case{"1e3", 1}, Case{"2D2", 2},
        // Hexadecimal and octal, either case, as 32-bit patterns.
        Case{"&HFF", 255}, Case{"&hff", 255}, Case{"&HfFz", 255}, Case{"&H8000000F", INT32_MIN + 15},
        Case{"&HFFFFFFFF", -1}, Case{"&H000000000001", 1}, Case{"&O17", 15}, Case{"&o777", 511},
        Case{"&O8", 0}, Case{"&O37777777777", -1}, Case{"&H 1 0", 16},
        // The edges of the signed 32-bit range.
        Case{"2147483647", INT32_MAX}, Case{"-2147483648", INT32_MIN}, Case{"2147483647.4", INT32_MAX},
        Case{"-2147483648.5", INT32_MIN}, Case{"00000000002147483647", INT32_MAX}));

class LeadingNumberOverflow : public testing::TestWithParam<const char*> {};

TEST_P(LeadingNumberOverflow, RaisesOverflow) {
    try {
        (void)LeadingNumber(GetParam());
        FAIL() << "no overflow for " << GetParam();
    } catch (const ecran::errors::Error& e) {
        EXPECT_EQ(e.number(), 6);
        EXPECT_EQ(e.description(), "Overflow");
    }
}

INSTANTIATE_TEST_SUITE_P(Table, LeadingNumberOverflow,
                         testing::Values("2147483648", "-2147483649", "2147483647.5", "-2147483648.51",
                                         "99999999999", "12345678901234567890", "&H100000000",
                                         "&O40000000000"));

}  // namespace
