#include "platform/LogU.h"

#include "platform/SysUtilsU.h"

#include <atomic>
#include <cstring>
#include <vector>

// ---------------------------------------------------------------------------
// Log

namespace {

// Constant-initialised (no constructor runs), so Log works from any other
// unit's static initialisation and from the guard's default hook at any time.
constinit std::atomic<TLogSink> gSinks[kLogCategoryCount] = {};

} // namespace

bool LogEligible(uint8_t Level) noexcept
{
    return Level >= kLogMinLevel && Level != 3;
}

TLogSink SetLogSink(uint8_t Category, TLogSink Sink) noexcept
{
    if (Category < 1 || Category > kLogCategoryCount)
        return nullptr;
    return gSinks[Category - 1].exchange(Sink);
}

void Log(std::string_view Text, uint8_t Category, uint8_t Level) noexcept
{
    if (!LogEligible(Level) || Category < 1 || Category > kLogCategoryCount)
        return;
    TLogSink sink = gSinks[Category - 1].load();
    if (!sink)
        return;
    try {
        sink(Text, Category, Level);
    } catch (...) {
        // A diagnostic must never change what the caller does.
    }
}

// ---------------------------------------------------------------------------
// The running program

namespace {

// Beyond the longest path Windows knows (32,767 characters).
constexpr size_t kMaxModulePath = 65536;

} // namespace

std::string QueryModuleFileName(TModuleFileNameQuery Query)
{
    if (!Query)
        Query = &GetModuleFileNameA;
    // A path that does not fit is cut to the buffer, and the only sign is a
    // result that fills it: grow until the path fits.
    std::vector<char> buffer(MAX_PATH + 1);
    for (;;) {
        DWORD length = Query(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0)
            return std::string();
        if (length < buffer.size() - 1)
            return std::string(buffer.data(), length);
        if (buffer.size() >= kMaxModulePath)
            return std::string(buffer.data(), strnlen(buffer.data(), buffer.size()));
        buffer.resize(buffer.size() * 2);
    }
}

const std::string& GetApplicationFileName()
{
    static const std::string path = QueryModuleFileName();
    return path;
}

const std::string& GetApplicationDir()
{
    static const std::string dir = [] {
        const std::string& path = GetApplicationFileName();
        size_t slash = path.find_last_of("\\/");
        std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash);
        folder += '\\';
        return folder;
    }();
    return dir;
}

// ---------------------------------------------------------------------------
// Administrator test

namespace {

constinit std::atomic<TTokenInformationQuery> gTokenQuery{nullptr};

class TTokenHandle {
public:
    TTokenHandle() = default;
    TTokenHandle(const TTokenHandle&) = delete;
    TTokenHandle& operator=(const TTokenHandle&) = delete;
    ~TTokenHandle()
    {
        if (handle_)
            CloseHandle(handle_);
    }
    HANDLE get() const noexcept { return handle_; }
    HANDLE* put() noexcept { return &handle_; }

private:
    HANDLE handle_ = nullptr;
};

class TSidHolder {
public:
    TSidHolder() = default;
    TSidHolder(const TSidHolder&) = delete;
    TSidHolder& operator=(const TSidHolder&) = delete;
    ~TSidHolder()
    {
        if (sid_)
            FreeSid(sid_);
    }
    PSID get() const noexcept { return sid_; }
    PSID* put() noexcept { return &sid_; }

private:
    PSID sid_ = nullptr;
};

} // namespace

TTokenInformationQuery SetTokenInformationQuery(TTokenInformationQuery Query) noexcept
{
    return gTokenQuery.exchange(Query);
}

bool IsAdministrator()
{
    TTokenHandle token;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, token.put())) {
        if (GetLastError() != ERROR_NO_TOKEN)
            return false;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()))
            return false;
    }

    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    TSidHolder admins;
    if (!AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                  DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, admins.put()))
        RaiseLastOSError();

    TTokenInformationQuery query = gTokenQuery.load();
    if (!query)
        query = &GetTokenInformation;

    DWORD size = 0;
    if (query(token.get(), TokenGroups, nullptr, 0, &size) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        DWORD error = GetLastError();
        // A size query that "succeeds" with no buffer is as broken as one that fails.
        RaiseSystemError(error != ERROR_SUCCESS ? error : ERROR_INVALID_DATA);
    }
    // TOKEN_GROUPS holds pointers: keep the buffer aligned for them.
    std::vector<void*> buffer((size + sizeof(void*) - 1) / sizeof(void*));
    DWORD got = 0;
    if (!query(token.get(), TokenGroups, buffer.data(),
               static_cast<DWORD>(buffer.size() * sizeof(void*)), &got))
        RaiseLastOSError();

    const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
    // Attributes are deliberately not looked at: a deny-only Administrators
    // entry (a filtered token) counts as membership.
    for (DWORD i = 0; i < groups->GroupCount; ++i)
        if (EqualSid(groups->Groups[i].Sid, admins.get()))
            return true;
    return false;
}
