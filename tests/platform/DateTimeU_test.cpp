#include "platform/DateTimeU.h"

#include "KorvTest.h"

#include <cmath>
#include <cstdint>
#include <string>

namespace {

SYSTEMTIME MakeTime(WORD y, WORD mo, WORD d, WORD h = 0, WORD mi = 0, WORD s = 0, WORD ms = 0)
{
    SYSTEMTIME st{};
    st.wYear = y;
    st.wMonth = mo;
    st.wDay = d;
    st.wHour = h;
    st.wMinute = mi;
    st.wSecond = s;
    st.wMilliseconds = ms;
    return st;
}

std::string Show(const SYSTEMTIME& st)
{
    char buf[64];
    snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u.%03u dow %u", st.wYear, st.wMonth,
             st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds, st.wDayOfWeek);
    return buf;
}

uint64_t Ticks(const FILETIME& ft)
{
    return (uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime;
}

FILETIME FromTicks(uint64_t t)
{
    FILETIME ft{};
    ft.dwLowDateTime = static_cast<DWORD>(t);
    ft.dwHighDateTime = static_cast<DWORD>(t >> 32);
    return ft;
}

// Date and time fields equal; the day of the week only when both carry one.
void ExpectSameTime(const SYSTEMTIME& want, const SYSTEMTIME& got)
{
    EXPECT_EQ(Show(want), Show(got));
}

TDateTime gFakeNow = 0;
TDateTime FakeClock()
{
    return gFakeNow;
}

} // namespace

TEST(DateTimeU, DayNumbersAndTheirDates)
{
    struct Case {
        TDateTime dt;
        SYSTEMTIME st;
        WORD dayOfWeek;
    };
    const Case cases[] = {
        {0.0, MakeTime(1899, 12, 30), 6},
        {2.75, MakeTime(1900, 1, 1, 18), 1},
        {1.5, MakeTime(1899, 12, 31, 12), 0},
        {36526.0, MakeTime(2000, 1, 1), 6},
        {60.0, MakeTime(1900, 2, 28), 3},
        {61.0, MakeTime(1900, 3, 1), 4},
        // Before day 0 the fraction's absolute value is the time of day.
        {-1.25, MakeTime(1899, 12, 29, 6), 5},
        {-2.5, MakeTime(1899, 12, 28, 12), 4},
        {-693593.0, MakeTime(1, 1, 1), 1},
        {2958465.0 + 86399999.0 / 86400000.0, MakeTime(9999, 12, 31, 23, 59, 59, 999), 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dt);
        SYSTEMTIME want = c.st;
        want.wDayOfWeek = c.dayOfWeek;
        ExpectSameTime(want, DateTimeToSystemTime(c.dt));
        TDateTime back = -1e9;
        ASSERT_TRUE(TrySystemTimeToDateTime(c.st, back));
        EXPECT_EQ(c.dt, back);
    }
    EXPECT_EQ(2.0, DateOf(2.75));
    EXPECT_EQ(-1.0, DateOf(-1.25));
    EXPECT_EQ(0.0, DateOf(0.5));
}

TEST(DateTimeU, TableAgreesWithTheSystemThroughFileTime)
{
    // Each time goes SYSTEMTIME -> FILETIME through Windows; ours must land on
    // the same FILETIME and the same SYSTEMTIME (day of the week included).
    const SYSTEMTIME table[] = {
        MakeTime(1601, 1, 1),
        MakeTime(1601, 1, 1, 0, 0, 0, 1),
        MakeTime(1752, 9, 14, 12, 0, 0, 500),
        MakeTime(1899, 12, 29, 23, 59, 59, 999),
        MakeTime(1899, 12, 30, 0, 0, 0, 1),
        MakeTime(1900, 2, 28, 23, 59, 59, 999),
        MakeTime(1900, 3, 1, 0, 0, 0, 0),
        MakeTime(1970, 1, 1, 0, 0, 0, 0),
        MakeTime(2000, 2, 29, 12, 34, 56, 789),
        MakeTime(2038, 1, 19, 3, 14, 7, 999),
        MakeTime(2100, 2, 28, 6, 0, 0, 1),
        MakeTime(9999, 12, 31, 23, 59, 59, 999),
    };
    for (const SYSTEMTIME& st : table) {
        SCOPED_TRACE(Show(st));
        FILETIME sysFt{};
        ASSERT_TRUE(SystemTimeToFileTime(&st, &sysFt));
        SYSTEMTIME sysSt{};
        ASSERT_TRUE(FileTimeToSystemTime(&sysFt, &sysSt));

        const TDateTime dt = SystemTimeToDateTime(st);
        EXPECT_EQ(dt, FileTimeToDateTime(sysFt));
        EXPECT_EQ(Ticks(sysFt), Ticks(DateTimeToFileTime(dt)));
        ExpectSameTime(sysSt, DateTimeToSystemTime(dt));
    }
}

TEST(DateTimeU, EveryMillisecondSurvivesTheRoundTrip)
{
    // Truncating instead of rounding loses a millisecond on a large share of
    // values; a fixed generator covers the whole range with many of them.
    uint64_t seed = 0x9E3779B97F4A7C15ull;
    auto next = [&seed] {
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        return seed >> 33;
    };
    int failures = 0;
    for (int i = 0; i < 200000 && failures < 5; ++i) {
        const WORD year = static_cast<WORD>(1601 + next() % (9999 - 1601 + 1));
        const WORD month = static_cast<WORD>(1 + next() % 12);
        const WORD day = static_cast<WORD>(1 + next() % 28);
        const auto ms = static_cast<uint32_t>(next() % 86400000u);
        const SYSTEMTIME st = MakeTime(
            year, month, day, static_cast<WORD>(ms / 3600000), static_cast<WORD>(ms / 60000 % 60),
            static_cast<WORD>(ms / 1000 % 60), static_cast<WORD>(ms % 1000));
        const TDateTime dt = SystemTimeToDateTime(st);
        SYSTEMTIME back = DateTimeToSystemTime(dt);
        back.wDayOfWeek = 0;
        FILETIME sysFt{};
        SystemTimeToFileTime(&st, &sysFt);
        const bool same = memcmp(&st, &back, sizeof st) == 0 &&
                          Ticks(DateTimeToFileTime(dt)) == Ticks(sysFt) &&
                          FileTimeToDateTime(sysFt) == dt;
        if (!same) {
            ++failures;
            ADD_FAILURE() << Show(st) << " came back as " << Show(back);
        }
    }
}

TEST(DateTimeU, FileTimeRoundsToTheNearestMillisecond)
{
    FILETIME base{};
    const SYSTEMTIME st = MakeTime(2010, 6, 15, 10, 20, 30, 400);
    ASSERT_TRUE(SystemTimeToFileTime(&st, &base));
    const uint64_t t = Ticks(base);
    const TDateTime at = FileTimeToDateTime(base);

    EXPECT_EQ(at, FileTimeToDateTime(FromTicks(t + 4999)));
    EXPECT_EQ(at, FileTimeToDateTime(FromTicks(t - 5000)));
    ExpectSameTime(DateTimeToSystemTime(at),
                   DateTimeToSystemTime(FileTimeToDateTime(FromTicks(t - 5000))));
    SYSTEMTIME up = DateTimeToSystemTime(FileTimeToDateTime(FromTicks(t + 5000)));
    EXPECT_EQ(401, up.wMilliseconds);

    // Just below midnight rounds into the next day, not to 24:00.
    const SYSTEMTIME late = DateTimeToSystemTime(36526.0 - 1e-10);
    ExpectSameTime(
        [] {
            SYSTEMTIME s = MakeTime(2000, 1, 1);
            s.wDayOfWeek = 6;
            return s;
        }(),
        late);
    // And before day 0 just the same: 1899-12-29 24:00 is 1899-12-30 00:00.
    const SYSTEMTIME lateNegative = DateTimeToSystemTime(-1.9999999999);
    EXPECT_EQ(1899, lateNegative.wYear);
    EXPECT_EQ(30, lateNegative.wDay);
    EXPECT_EQ(0, lateNegative.wHour);
}

TEST(DateTimeU, InvalidInputIsRefused)
{
    const SYSTEMTIME bad[] = {
        MakeTime(1900, 2, 29),
        MakeTime(2001, 2, 29),
        MakeTime(2000, 13, 1),
        MakeTime(2000, 0, 1),
        MakeTime(2000, 4, 31),
        MakeTime(2000, 1, 0),
        MakeTime(2000, 1, 1, 24),
        MakeTime(2000, 1, 1, 0, 60),
        MakeTime(2000, 1, 1, 0, 0, 60),
        MakeTime(2000, 1, 1, 0, 0, 0, 1000),
        MakeTime(0, 1, 1),
        MakeTime(10000, 1, 1),
    };
    for (const SYSTEMTIME& st : bad) {
        SCOPED_TRACE(Show(st));
        TDateTime out = 123.0;
        EXPECT_FALSE(TrySystemTimeToDateTime(st, out));
        EXPECT_EQ(123.0, out);
        EXPECT_EQ(0.0, SystemTimeToDateTime(st));
    }
    // Values with no date give the zero SYSTEMTIME and the zero FILETIME.
    for (TDateTime dt : {std::nan(""), HUGE_VAL, -HUGE_VAL, 3e6, -7e5}) {
        SCOPED_TRACE(dt);
        EXPECT_EQ(0, DateTimeToSystemTime(dt).wYear);
        EXPECT_EQ(0u, Ticks(DateTimeToFileTime(dt)));
    }
    EXPECT_EQ(0u, Ticks(DateTimeToFileTime(-200000.0))) << "before 1601";
}

TEST(DateTimeU, LocalAndUtcAgreeWithTheSystem)
{
    for (const SYSTEMTIME& st : {MakeTime(2021, 1, 15, 12), MakeTime(2021, 7, 15, 12),
                                 MakeTime(1999, 12, 31, 23, 30), MakeTime(2024, 3, 31, 1, 30)}) {
        SCOPED_TRACE(Show(st));
        const TDateTime local = SystemTimeToDateTime(st);
        FILETIME localFt{};
        ASSERT_TRUE(SystemTimeToFileTime(&st, &localFt));
        FILETIME utcFt{};
        ASSERT_TRUE(LocalFileTimeToFileTime(&localFt, &utcFt));
        EXPECT_EQ(FileTimeToDateTime(utcFt), LocalToUtc(local));

        FILETIME backFt{};
        ASSERT_TRUE(FileTimeToLocalFileTime(&utcFt, &backFt));
        EXPECT_EQ(FileTimeToDateTime(backFt), UtcToLocal(FileTimeToDateTime(utcFt)));
    }
}

TEST(DateTimeU, TheClockSeamMovesNow)
{
    gFakeNow = 45000.25;
    const TClock old = SetClock(&FakeClock);
    EXPECT_EQ(45000.25, Now());
    EXPECT_EQ(LocalToUtc(45000.25), NowUtc());
    gFakeNow = 45001.5;
    EXPECT_EQ(45001.5, Now());
    EXPECT_EQ(&FakeClock, SetClock(nullptr));
    EXPECT_EQ(old, SetClock(old)) << "nullptr restores the system clock";

    // The system clock again: within a minute of the local time.
    SYSTEMTIME st{};
    GetLocalTime(&st);
    EXPECT_NEAR(SystemTimeToDateTime(st), Now(), 1.0 / 1440);
}
