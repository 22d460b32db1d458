#pragma once
// Date-time doubles: days since 1899-12-30 00:00, the time of day as the
// fraction. Whether a value is local or UTC is named by the function.

#include <windows.h>

using TDateTime = double;

// Exact to the millisecond both ways. False and out untouched for a SYSTEMTIME
// that is not a valid date or time.
bool TrySystemTimeToDateTime(const SYSTEMTIME& st, TDateTime& out);
TDateTime SystemTimeToDateTime(const SYSTEMTIME& st); // 0 when invalid
SYSTEMTIME DateTimeToSystemTime(TDateTime dt);        // wDayOfWeek filled

// FILETIME counts 100 ns units since 1601-01-01; no zone is applied here.
TDateTime FileTimeToDateTime(const FILETIME& ft);
FILETIME DateTimeToFileTime(TDateTime dt);

// Zone conversions through the system (FileTimeToLocalFileTime and its inverse).
TDateTime UtcToLocal(TDateTime utc);
TDateTime LocalToUtc(TDateTime local);

// The whole-day part. Before 1899-12-30 the fraction's absolute value is the
// time of day (-1.25 is 1899-12-29 06:00), so the day part is cut toward zero.
double DateOf(TDateTime dt);

// Now, local time, through one replaceable clock so that tests can move time.
using TClock = TDateTime (*)();
TDateTime Now();
TDateTime NowUtc(); // LocalToUtc(Now())
// Sets the clock; nullptr restores the system clock. Returns the previous one.
TClock SetClock(TClock clock) noexcept;
