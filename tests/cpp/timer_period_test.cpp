// Frequency to period: exact single rounding to whole nanoseconds and the refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>

#include "timer/period.hpp"

namespace velmot::timer {
namespace {

struct PeriodCase {
    double frequency_hz;
    std::int64_t nanos;
};

class TimerPeriod : public ::testing::TestWithParam<PeriodCase> {};

TEST_P(TimerPeriod, RoundsOnceToNearestNanosecond) {
    const auto period = period_from_frequency(GetParam().frequency_hz);
    ASSERT_TRUE(period.ok()) << period.error().message;
    EXPECT_EQ(period.value().count(), GetParam().nanos);
}

INSTANTIATE_TEST_SUITE_P(
    Frequencies, TimerPeriod,
    ::testing::Values(PeriodCase{3.0, 333'333'333}, PeriodCase{1000.0, 1'000'000},
                      PeriodCase{7.0, 142'857'143}, PeriodCase{0.5, 2'000'000'000},
                      // 1/1024 s is 976562.5 ns exactly: the tie goes to the even neighbour.
                      PeriodCase{1024.0, 976'562},
                      // 1/5120 and 1/25600 lie just above a half nanosecond; q * 1e9 in floating
                      // point rounds them to the tie first and then down, which is wrong.
                      PeriodCase{5120.0, 195'313}, PeriodCase{25600.0, 39'063},
                      // Edges: 1/2e9 is a little above 0.5 ns; the lowest frequency in range.
                      PeriodCase{2e9, 1},
                      PeriodCase{1.0842021724855046e-10, 9'223'372'036'854'774'475}));

TEST(TimerPeriodExact, TiesGoToEvenForConstructedSeconds) {
    // k / 1024 s is (k * 1953125) / 2 ns: a tie for every odd k.
    for (std::uint64_t k : {1u, 3u, 5u, 7u, 1025u}) {
        const std::uint64_t twice = k * 1'953'125;
        const std::uint64_t down = twice / 2;
        const std::uint64_t even = (down % 2 == 0) ? down : down + 1;
        EXPECT_EQ(seconds_to_nanos_exact(std::ldexp(static_cast<double>(k), -10)), even)
            << "k=" << k;
        // One step either side of the tie is no longer a tie.
        const double tie = std::ldexp(static_cast<double>(k), -10);
        EXPECT_EQ(seconds_to_nanos_exact(std::nextafter(tie, 2e9)), down + 1) << "k=" << k;
        EXPECT_EQ(seconds_to_nanos_exact(std::nextafter(tie, 0.0)), down) << "k=" << k;
    }
    EXPECT_EQ(seconds_to_nanos_exact(0.0), 0u);
    EXPECT_EQ(seconds_to_nanos_exact(std::numeric_limits<double>::denorm_min()), 0u);
    EXPECT_EQ(seconds_to_nanos_exact(1e-9), 1u);
    // The last seconds value below 2^64 ns and the next double above it.
    EXPECT_EQ(seconds_to_nanos_exact(18446744073.709549), 18'446'744'073'709'548'950u);
    EXPECT_EQ(seconds_to_nanos_exact(18446744073.709553), std::nullopt);
    EXPECT_EQ(seconds_to_nanos_exact(-1.0), std::nullopt);
    EXPECT_EQ(seconds_to_nanos_exact(std::nan("")), std::nullopt);
}

#if defined(__SIZEOF_INT128__)
// The conversion works on two 64-bit halves (32-bit targets have no 128-bit integer); where the
// compiler has one, it is the reference: mantissa * 10^9 >> shift, ties to even.
std::optional<std::uint64_t> reference_nanos(double seconds) {
    int exponent = 0;
    const double fraction = std::frexp(seconds, &exponent);
    const auto scaled = static_cast<unsigned __int128>(std::ldexp(fraction, 53)) * 1'000'000'000u;
    const int shift = 53 - exponent;
    const unsigned __int128 quotient = scaled >> shift;
    const unsigned __int128 remainder = scaled & ((static_cast<unsigned __int128>(1) << shift) - 1);
    const unsigned __int128 half = static_cast<unsigned __int128>(1) << (shift - 1);
    const auto nanos =
        quotient + ((remainder > half || (remainder == half && (quotient & 1) != 0)) ? 1 : 0);
    if (nanos > std::numeric_limits<std::uint64_t>::max()) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(nanos);
}

TEST(TimerPeriodExact, AgreesWithWideArithmeticAcrossTheRange) {
    // Seconds from 2^-70 (shifts above 64 bits) to 2^35 (past 2^64 ns), random mantissas.
    std::mt19937_64 random(20240601);
    std::uniform_real_distribution<double> mantissa(0.5, 1.0);
    for (int exponent = -70; exponent <= 35; ++exponent) {
        for (int i = 0; i < 200; ++i) {
            const double seconds = std::ldexp(mantissa(random), exponent);
            ASSERT_EQ(seconds_to_nanos_exact(seconds), reference_nanos(seconds)) << seconds;
        }
    }
}
#endif

struct RefusedCase {
    double frequency_hz;
    const char* message;
};

class TimerPeriodRefused : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(TimerPeriodRefused, IsAValueError) {
    const auto period = period_from_frequency(GetParam().frequency_hz);
    ASSERT_FALSE(period.ok());
    EXPECT_EQ(period.error().kind, ErrorKind::value);
    EXPECT_EQ(period.error().message, GetParam().message);
}

constexpr double k_inf = std::numeric_limits<double>::infinity();
const char* const k_too_high = "frequency_hz is too high: its period rounds to 0 ns";
const char* const k_too_low = "frequency_hz is too low: its period exceeds the range of the clock";

INSTANTIATE_TEST_SUITE_P(
    Frequencies, TimerPeriodRefused,
    ::testing::Values(RefusedCase{std::nan(""), "frequency_hz must be a number, not NaN"},
                      RefusedCase{k_inf, "frequency_hz must be finite"},
                      RefusedCase{0.0, "frequency_hz must be positive"},
                      RefusedCase{-0.0, "frequency_hz must be positive"},
                      RefusedCase{-k_inf, "frequency_hz must be positive"},
                      RefusedCase{-5.0, "frequency_hz must be positive"},
                      RefusedCase{2.0000000000000002e9, k_too_high}, RefusedCase{1e12, k_too_high},
                      RefusedCase{1.0842021724855044e-10, k_too_low},
                      RefusedCase{1e-300, k_too_low},
                      // 1 / denorm_min overflows to infinity.
                      RefusedCase{std::numeric_limits<double>::denorm_min(), k_too_low}));

}  // namespace
}  // namespace velmot::timer
