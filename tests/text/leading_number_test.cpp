#include <gtest/gtest.h>
#include "text/leading_number.h"
TEST(LeadingNumber, Placeholder) { EXPECT_EQ(ecran::text::LeadingNumber("12"), 12); }
