// Display forms of error values: users see these texts verbatim in OSError messages.
#include <gtest/gtest.h>

#include <cerrno>

#include "common/result.hpp"

namespace velmot {
namespace {

TEST(ErrorFromErrno, DisplaysSystemTextThenOsErrorNumber) {
    Error error = Error::from_errno(ENODEV);
    EXPECT_EQ(error.message, "No such device (os error 19)");
    EXPECT_EQ(error.kind, ErrorKind::not_found);
}

TEST(ErrorFromErrno, ContextPrefixesTheDisplayForm) {
    Error error = Error::from_errno(EAGAIN, "Failed to send CAN frame");
    EXPECT_EQ(error.message,
              "Failed to send CAN frame: Resource temporarily unavailable (os error 11)");
    EXPECT_TRUE(is_io_kind(error.kind));
}

TEST(ResultTest, HoldsValueOrError) {
    Result<int> good = 7;
    Result<int> bad = Error{ErrorKind::value, "bad"};
    ASSERT_TRUE(good.ok());
    EXPECT_EQ(*good, 7);
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(bad.error().message, "bad");
    EXPECT_FALSE(is_io_kind(bad.error().kind));
    Result<void> done;
    EXPECT_TRUE(done.ok());
}

}  // namespace
}  // namespace velmot
