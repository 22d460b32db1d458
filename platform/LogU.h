#pragma once
// The engine's diagnostic log call, the running program's own path and
// folder, and the administrator test.

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>

// ---------------------------------------------------------------------------
// Log

// Messages below this level are dropped; level 3 is never written.
inline constexpr uint8_t kLogMinLevel = 1;
inline constexpr uint8_t kLogCategoryCount = 3; // categories 1 to 3

// The level and category at which swallowed exceptions of the guard are logged.
inline constexpr uint8_t kGuardLogCategory = 1;
inline constexpr uint8_t kGuardLogLevel = 4;

// True when a message of this level goes to its category's sink.
bool LogEligible(uint8_t Level) noexcept;

// A sink receives the eligible messages of one category. It may be called from
// any thread at once and must not throw (an exception is swallowed).
using TLogSink = void (*)(std::string_view Text, uint8_t Category, uint8_t Level);

// Replaces the sink of a category (1 to 3); nullptr empties it. Returns the
// previous sink. The shipped programs keep every sink empty; tests and the
// engine's test driver put their own in. Other categories are ignored.
TLogSink SetLogSink(uint8_t Category, TLogSink Sink) noexcept;

// Hands an eligible message to its category's sink; nothing else happens.
// Safe on any thread, never throws.
void Log(std::string_view Text, uint8_t Category, uint8_t Level) noexcept;

// ---------------------------------------------------------------------------
// The running program

// Full path of the running executable (GetModuleFileNameA, any length),
// computed on first use (thread-safe) and kept for the life of the process.
const std::string& GetApplicationFileName();
// Its folder, ending in a backslash.
const std::string& GetApplicationDir();

// The uncached query behind GetApplicationFileName: the buffer grows until the
// path fits. Query replaces GetModuleFileNameA(nullptr, ...) for tests.
using TModuleFileNameQuery = DWORD(WINAPI*)(HMODULE, LPSTR, DWORD);
std::string QueryModuleFileName(TModuleFileNameQuery Query = nullptr);

// ---------------------------------------------------------------------------
// Administrator test

// True when the calling thread's token (opened as itself), or the process
// token when the thread has none, lists BUILTIN\Administrators (S-1-5-32-544)
// among its groups. The entry's attributes are not looked at: a deny-only entry
// of a filtered token counts, so this tells membership, not elevation. False
// when no token opens. Throws ESystemError when the SID cannot be built or the
// group list cannot be read; token, buffer and SID are released on every path.
bool IsAdministrator();

// Test seam: the token query IsAdministrator uses (GetTokenInformation by
// default); nullptr restores it. Returns the previous one.
using TTokenInformationQuery = BOOL(WINAPI*)(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD,
                                             PDWORD);
TTokenInformationQuery SetTokenInformationQuery(TTokenInformationQuery Query) noexcept;
