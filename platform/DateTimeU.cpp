#include "platform/DateTimeU.h"

#include <atomic>
#include <cmath>
#include <cstdint>

namespace {

constexpr int64_t kMsPerDay = 86400000;
constexpr int64_t kFileTicksPerMs = 10000;
// Day 0 (1899-12-30) counted from the civil epoch 1970-01-01, and from 1601-01-01.
constexpr int64_t kDay0FromUnix = -25569;
constexpr int64_t kDay0FromFileEpoch = 109205;
// Day numbers of 0001-01-01 and 9999-12-31: the range a date-time may hold.
constexpr int64_t kMinDay = -693593;
constexpr int64_t kMaxDay = 2958465;

// Days from 1970-01-01 of a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d)
{
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = static_cast<int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y += m <= 2;
}

bool IsLeap(unsigned y)
{
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

unsigned DaysInMonth(unsigned y, unsigned m)
{
    static constexpr unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return (m == 2 && IsLeap(y)) ? 29 : kDays[m - 1];
}

// A day number and the milliseconds of that day, as the double codes them:
// before day 0 the fraction's absolute value is the time of day (-1.25 is
// 1899-12-29 06:00).
TDateTime Compose(int64_t day, int64_t msOfDay)
{
    const double fraction = static_cast<double>(msOfDay) / static_cast<double>(kMsPerDay);
    const auto whole = static_cast<double>(day);
    // The 32-bit build computes on the x87 stack with excess precision: the
    // store rounds to a true double, so one date always gives one value.
    volatile double rounded = day >= 0 ? whole + fraction : whole - fraction;
    return rounded;
}

// Splits to the nearest millisecond. False for NaN, infinities and values
// outside years 1 to 9999.
bool Decompose(TDateTime dt, int64_t& day, int64_t& msOfDay)
{
    if (!std::isfinite(dt))
        return false;
    const double whole = std::trunc(dt);
    if (whole < static_cast<double>(kMinDay) || whole > static_cast<double>(kMaxDay))
        return false;
    int64_t d = static_cast<int64_t>(whole);
    int64_t ms = std::llround(std::fabs(dt - whole) * static_cast<double>(kMsPerDay));
    if (ms >= kMsPerDay) {
        // Rounded up to midnight: the next calendar day, whichever side of day 0.
        ms -= kMsPerDay;
        d += 1;
    }
    if (d > kMaxDay)
        return false;
    day = d;
    msOfDay = ms;
    return true;
}

TDateTime SystemClock()
{
    SYSTEMTIME st{};
    GetLocalTime(&st);
    return SystemTimeToDateTime(st);
}

std::atomic<TClock> gClock{&SystemClock};

} // namespace

bool TrySystemTimeToDateTime(const SYSTEMTIME& st, TDateTime& out)
{
    if (st.wYear < 1 || st.wYear > 9999 || st.wMonth < 1 || st.wMonth > 12 || st.wDay < 1 ||
        st.wDay > DaysInMonth(st.wYear, st.wMonth) || st.wHour > 23 || st.wMinute > 59 ||
        st.wSecond > 59 || st.wMilliseconds > 999)
        return false;
    const int64_t day = DaysFromCivil(st.wYear, st.wMonth, st.wDay) - kDay0FromUnix;
    const int64_t ms =
        ((int64_t{st.wHour} * 60 + st.wMinute) * 60 + st.wSecond) * 1000 + st.wMilliseconds;
    out = Compose(day, ms);
    return true;
}

TDateTime SystemTimeToDateTime(const SYSTEMTIME& st)
{
    TDateTime dt = 0;
    return TrySystemTimeToDateTime(st, dt) ? dt : 0;
}

SYSTEMTIME DateTimeToSystemTime(TDateTime dt)
{
    SYSTEMTIME st{};
    int64_t day = 0;
    int64_t ms = 0;
    if (!Decompose(dt, day, ms))
        return st;
    int64_t y = 0;
    unsigned m = 0;
    unsigned d = 0;
    CivilFromDays(day + kDay0FromUnix, y, m, d);
    st.wYear = static_cast<WORD>(y);
    st.wMonth = static_cast<WORD>(m);
    st.wDay = static_cast<WORD>(d);
    // Day 0 was a Saturday (6).
    st.wDayOfWeek = static_cast<WORD>(((day % 7) + 7 + 6) % 7);
    st.wHour = static_cast<WORD>(ms / 3600000);
    st.wMinute = static_cast<WORD>(ms / 60000 % 60);
    st.wSecond = static_cast<WORD>(ms / 1000 % 60);
    st.wMilliseconds = static_cast<WORD>(ms % 1000);
    return st;
}

TDateTime FileTimeToDateTime(const FILETIME& ft)
{
    const uint64_t ticks = (uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime;
    const auto totalMs = static_cast<int64_t>((ticks + kFileTicksPerMs / 2) / kFileTicksPerMs);
    return Compose(totalMs / kMsPerDay - kDay0FromFileEpoch, totalMs % kMsPerDay);
}

FILETIME DateTimeToFileTime(TDateTime dt)
{
    FILETIME ft{};
    int64_t day = 0;
    int64_t ms = 0;
    // Before 1601 there is no file time: 0, the earliest one.
    if (!Decompose(dt, day, ms) || day + kDay0FromFileEpoch < 0)
        return ft;
    const auto ticks =
        static_cast<uint64_t>(((day + kDay0FromFileEpoch) * kMsPerDay + ms) * kFileTicksPerMs);
    ft.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
    ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return ft;
}

TDateTime UtcToLocal(TDateTime utc)
{
    const FILETIME ft = DateTimeToFileTime(utc);
    FILETIME local{};
    if (!FileTimeToLocalFileTime(&ft, &local))
        return utc;
    return FileTimeToDateTime(local);
}

TDateTime LocalToUtc(TDateTime local)
{
    const FILETIME ft = DateTimeToFileTime(local);
    FILETIME utc{};
    if (!LocalFileTimeToFileTime(&ft, &utc))
        return local;
    return FileTimeToDateTime(utc);
}

double DateOf(TDateTime dt)
{
    // The day part keeps its sign: -1.25 is 1899-12-29, so its day is -1.
    const double day = std::trunc(dt);
    return day == 0 ? 0.0 : day;
}

TDateTime Now()
{
    return gClock.load()();
}

TDateTime NowUtc()
{
    return LocalToUtc(Now());
}

TClock SetClock(TClock clock) noexcept
{
    return gClock.exchange(clock ? clock : &SystemClock);
}
