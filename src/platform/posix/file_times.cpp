// Time conversion for POSIX systems: FILETIME to and from the C library's clock, and the
// platform's FileTimeToSystemTime, computed without any time zone.

#include "platform/posix/file_times.h"

#include <cstdint>
#include <limits>

namespace {

constexpr std::int64_t kTicksPerSecond = 10'000'000;
constexpr std::int64_t kSecondsFrom1601To1970 = 11'644'473'600;
constexpr std::int64_t kDaysFrom1601To1970 = 134'774;
constexpr std::uint64_t kLargestValidFileTime = std::numeric_limits<std::int64_t>::max();

struct CivilDate {
    std::int64_t year;
    unsigned month;
    unsigned day;
};

// Days since 1970-01-01 to a proleptic Gregorian date (the well-known era-based algorithm).
CivilDate CivilFromDays(std::int64_t days) {
    days += 719'468;
    const std::int64_t era = (days >= 0 ? days : days - 146'096) / 146'097;
    const auto dayOfEra = static_cast<unsigned>(days - era * 146'097);
    const unsigned yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146'096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned monthIndex = (5 * dayOfYear + 2) / 153;
    const unsigned day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
    const unsigned month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
    const std::int64_t year =
        static_cast<std::int64_t>(yearOfEra) + era * 400 + (month <= 2 ? 1 : 0);
    return {year, month, day};
}

}  // namespace

namespace platform::posix {

FILETIME ToFileTime(const timespec& time) {
    const std::int64_t seconds = time.tv_sec;
    constexpr std::int64_t kLargestSeconds =
        std::numeric_limits<std::int64_t>::max() / kTicksPerSecond - kSecondsFrom1601To1970 - 1;
    if (seconds < -kSecondsFrom1601To1970 || seconds > kLargestSeconds) {
        return kNoFileTime;
    }
    const auto ticks = static_cast<std::uint64_t>(
        (seconds + kSecondsFrom1601To1970) * kTicksPerSecond + time.tv_nsec / 100);
    return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

}  // namespace platform::posix

BOOL FileTimeToSystemTime(const FILETIME* lpFileTime, SYSTEMTIME* lpSystemTime) {
    if (lpFileTime == nullptr || lpSystemTime == nullptr) {
        return FALSE;
    }
    const std::uint64_t ticks =
        (static_cast<std::uint64_t>(lpFileTime->dwHighDateTime) << 32) | lpFileTime->dwLowDateTime;
    if (ticks > kLargestValidFileTime) {
        return FALSE;
    }
    const auto totalSeconds = static_cast<std::int64_t>(ticks / kTicksPerSecond);
    const std::int64_t daysSince1601 = totalSeconds / 86'400;
    const std::int64_t secondOfDay = totalSeconds % 86'400;
    const CivilDate date = CivilFromDays(daysSince1601 - kDaysFrom1601To1970);
    if (date.year < 1601 || date.year > 30827) {
        return FALSE;
    }
    lpSystemTime->wYear = static_cast<WORD>(date.year);
    lpSystemTime->wMonth = static_cast<WORD>(date.month);
    lpSystemTime->wDay = static_cast<WORD>(date.day);
    lpSystemTime->wDayOfWeek =
        static_cast<WORD>((daysSince1601 + 1) % 7);  // 1601-01-01 was a Monday
    lpSystemTime->wHour = static_cast<WORD>(secondOfDay / 3600);
    lpSystemTime->wMinute = static_cast<WORD>(secondOfDay / 60 % 60);
    lpSystemTime->wSecond = static_cast<WORD>(secondOfDay % 60);
    lpSystemTime->wMilliseconds = static_cast<WORD>(ticks / 10'000 % 1000);
    return TRUE;
}
