#include "foundation/error_codes.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>

TEST(ErrorCodes, TextsBySignlessCode) {
    EXPECT_STREQ(GetErrorString(ERR_OK), "Successful");
    EXPECT_STREQ(GetErrorString(ERR_TIMEOUT), "Connection timeout");
    EXPECT_STREQ(GetErrorString(9), "Connection timeout");
    EXPECT_STREQ(GetErrorString(-21), "connection about by setting flag");
    EXPECT_STREQ(GetErrorString(ERR_LOCKED_FILE), "file locked or no permission");
    EXPECT_STREQ(GetErrorString(ERR_MAX), "Unknown error");
    EXPECT_STREQ(GetErrorString(-40), "Unknown error");
    EXPECT_STREQ(GetErrorString(INT_MIN), "Unknown error");
    EXPECT_STREQ(GetErrorString(INT_MAX), "Unknown error");
}
