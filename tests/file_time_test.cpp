// FILETIME to UTC calendar fields, checked against the C library's own UTC conversion.

#include <gtest/gtest.h>

#include <ctime>

#include "platform/platform.h"

namespace {

constexpr std::uint64_t kTicksPerSecond = 10'000'000;
constexpr std::int64_t kSecondsFrom1601To1970 = 11'644'473'600;

FILETIME FromTicks(std::uint64_t ticks) {
    return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

FILETIME FromUnixSeconds(std::int64_t seconds) {
    return FromTicks(static_cast<std::uint64_t>(seconds + kSecondsFrom1601To1970) *
                     kTicksPerSecond);
}

std::int64_t UnixSeconds(int year, int month, int day, int hour = 0, int minute = 0,
                         int second = 0) {
    std::tm fields{};
    fields.tm_year = year - 1900;
    fields.tm_mon = month - 1;
    fields.tm_mday = day;
    fields.tm_hour = hour;
    fields.tm_min = minute;
    fields.tm_sec = second;
    return timegm(&fields);
}

void ExpectSameAsLibrary(std::int64_t seconds) {
    SYSTEMTIME calendar{};
    const FILETIME time = FromUnixSeconds(seconds);
    ASSERT_TRUE(FileTimeToSystemTime(&time, &calendar)) << seconds;
    const std::time_t asTime = static_cast<std::time_t>(seconds);
    std::tm expected{};
    ASSERT_NE(gmtime_r(&asTime, &expected), nullptr);
    EXPECT_EQ(calendar.wYear, expected.tm_year + 1900) << seconds;
    EXPECT_EQ(calendar.wMonth, expected.tm_mon + 1) << seconds;
    EXPECT_EQ(calendar.wDay, expected.tm_mday) << seconds;
    EXPECT_EQ(calendar.wDayOfWeek, expected.tm_wday) << seconds;
    EXPECT_EQ(calendar.wHour, expected.tm_hour) << seconds;
    EXPECT_EQ(calendar.wMinute, expected.tm_min) << seconds;
    EXPECT_EQ(calendar.wSecond, expected.tm_sec) << seconds;
}

TEST(FileTimeToSystemTime, AgreesWithTheLibraryAcrossTheCalendar) {
    for (std::int64_t seconds :
         {UnixSeconds(1601, 1, 1), UnixSeconds(1700, 2, 28, 23, 59, 59), UnixSeconds(1900, 3, 1),
          UnixSeconds(1969, 12, 31, 23, 59, 59), std::int64_t{0},
          UnixSeconds(2000, 2, 29, 12, 0, 1), UnixSeconds(2024, 3, 14, 23, 30),
          UnixSeconds(2038, 1, 19, 3, 14, 8), UnixSeconds(2100, 3, 1),
          UnixSeconds(9999, 12, 31, 23, 59, 59), UnixSeconds(30827, 12, 31, 23, 59, 59)}) {
        ExpectSameAsLibrary(seconds);
    }
    for (std::int64_t seconds = UnixSeconds(1990, 1, 1); seconds < UnixSeconds(2030, 1, 1);
         seconds += 86'400 * 37 + 3'671) {
        ExpectSameAsLibrary(seconds);
    }
}

TEST(FileTimeToSystemTime, KeepsTheMillisecondsAndFailsPastTheYear30827) {
    SYSTEMTIME calendar{};
    const FILETIME lastAccepted = FromUnixSeconds(UnixSeconds(30827, 12, 31, 23, 59, 59));
    EXPECT_TRUE(FileTimeToSystemTime(&lastAccepted, &calendar));
    const FILETIME year30828 = FromUnixSeconds(UnixSeconds(30828, 1, 1));
    EXPECT_FALSE(FileTimeToSystemTime(&year30828, &calendar));
    const FILETIME topBitSet = FromTicks(0x8000000000000000ULL);
    EXPECT_FALSE(FileTimeToSystemTime(&topBitSet, &calendar));
    const FILETIME milliseconds = FromTicks(
        static_cast<std::uint64_t>(kSecondsFrom1601To1970) * kTicksPerSecond + 1'234'5678);
    ASSERT_TRUE(FileTimeToSystemTime(&milliseconds, &calendar));
    EXPECT_EQ(calendar.wSecond, 1);
    EXPECT_EQ(calendar.wMilliseconds, 234);
    const FILETIME allOnes = FromTicks(~0ULL);
    EXPECT_FALSE(FileTimeToSystemTime(&allOnes, &calendar));
    EXPECT_FALSE(FileTimeToSystemTime(nullptr, &calendar));
    EXPECT_FALSE(FileTimeToSystemTime(&lastAccepted, nullptr));
}

}  // namespace
