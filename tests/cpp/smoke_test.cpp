#include <gtest/gtest.h>
#include "common/result.hpp"
TEST(Smoke, Errno) { EXPECT_EQ(velmot::Error::from_errno(19).message, "No such device (os error 19)"); }
