#include "platform/SysUtilsU.h"

#include <algorithm>
#include <atomic>
#include <limits>

namespace {

bool IsTrimmed(char c)
{
    // Unsigned: bytes of 0x80 and above are text in every code page we meet.
    return static_cast<unsigned char>(c) <= 32;
}

// The system's case mapping works in place on at most a DWORD of characters.
// A longer string is mapped in pieces that never split a double-byte pair.
std::atomic<uint64_t> gCaseMappedBytes{0};

template <DWORD(WINAPI* Map)(LPSTR, DWORD)> std::string MapCase(std::string_view s)
{
    gCaseMappedBytes.fetch_add(s.size(), std::memory_order_relaxed);
    std::string out(s);
    constexpr size_t kPiece = size_t{1} << 30;
    size_t pos = 0;
    while (pos < out.size()) {
        size_t len = out.size() - pos;
        if (len > kPiece) {
            // Walk pairs from the piece's start so the cut lands between characters.
            size_t i = pos;
            const size_t limit = pos + kPiece;
            while (i < limit) {
                i += IsDBCSLeadByte(static_cast<BYTE>(out[i])) ? 2 : 1;
            }
            len = std::min(i, out.size()) - pos;
        }
        Map(out.data() + pos, static_cast<DWORD>(len));
        pos += len;
    }
    return out;
}

char AsciiUpper(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

int CompareBytes(std::string_view a, std::string_view b)
{
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        const auto ca = static_cast<unsigned char>(a[i]);
        const auto cb = static_cast<unsigned char>(b[i]);
        if (ca != cb)
            return ca < cb ? -1 : 1;
    }
    if (a.size() == b.size())
        return 0;
    return a.size() < b.size() ? -1 : 1;
}

std::string Utf8FromWideText(const std::wstring& w)
{
    if (w.empty())
        return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                      nullptr, nullptr);
    if (n <= 0)
        return {};
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), out.data(), n, nullptr,
                        nullptr);
    return out;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

std::string TrimLeft(std::string_view s)
{
    size_t b = 0;
    while (b < s.size() && IsTrimmed(s[b]))
        ++b;
    return std::string(s.substr(b));
}

std::string TrimRight(std::string_view s)
{
    size_t e = s.size();
    while (e > 0 && IsTrimmed(s[e - 1]))
        --e;
    return std::string(s.substr(0, e));
}

std::string Trim(std::string_view s)
{
    size_t b = 0;
    size_t e = s.size();
    while (b < e && IsTrimmed(s[b]))
        ++b;
    while (e > b && IsTrimmed(s[e - 1]))
        --e;
    return std::string(s.substr(b, e - b));
}

std::string UpperCase(std::string_view s)
{
    return MapCase<&CharUpperBuffA>(s);
}

std::string LowerCase(std::string_view s)
{
    return MapCase<&CharLowerBuffA>(s);
}

uint64_t CaseMappedBytes() noexcept
{
    return gCaseMappedBytes.load(std::memory_order_relaxed);
}

int CompareText(std::string_view a, std::string_view b)
{
    return CompareBytes(UpperCase(a), UpperCase(b));
}

bool SameText(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && CompareText(a, b) == 0;
}

std::string AsciiUpperCase(std::string_view s)
{
    std::string out(s);
    for (char& c : out)
        c = AsciiUpper(c);
    return out;
}

std::string AsciiLowerCase(std::string_view s)
{
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

bool SameTextAscii(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (AsciiUpper(a[i]) != AsciiUpper(b[i]))
            return false;
    }
    return true;
}

std::string IntToStr(int64_t value)
{
    return std::to_string(value);
}

bool TryStrToInt(std::string_view s, int32_t& out)
{
    size_t i = 0;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
        negative = s[i] == '-';
        ++i;
    }
    bool hex = false;
    if (i < s.size() && s[i] == '$') {
        hex = true;
        ++i;
    } else if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
        hex = true;
        i += 2;
    }
    if (i >= s.size())
        return false;

    // Hexadecimal gives the 32-bit pattern ("$FFFFFFFF" is -1); decimal must fit
    // the signed range.
    const uint64_t limit = hex ? 0xFFFFFFFFull : (negative ? 0x80000000ull : 0x7FFFFFFFull);
    uint64_t value = 0;
    for (; i < s.size(); ++i) {
        int digit = hex ? HexDigit(s[i]) : ((s[i] >= '0' && s[i] <= '9') ? s[i] - '0' : -1);
        if (digit < 0)
            return false;
        value = value * (hex ? 16 : 10) + static_cast<uint64_t>(digit);
        if (value > limit)
            return false;
    }
    uint32_t bits = static_cast<uint32_t>(value);
    if (negative)
        bits = 0u - bits;
    out = static_cast<int32_t>(bits);
    return true;
}

bool TryStrToIntDecimal(std::string_view s, int32_t& out)
{
    const size_t digits = !s.empty() && (s[0] == '+' || s[0] == '-') ? 1 : 0;
    if (digits >= s.size())
        return false;
    for (size_t i = digits; i < s.size(); ++i)
        if (s[i] < '0' || s[i] > '9')
            return false;
    return TryStrToInt(s, out);
}

int32_t StrToIntDef(std::string_view s, int32_t def)
{
    int32_t v = def;
    return TryStrToInt(s, v) ? v : def;
}

std::wstring SystemErrorText(DWORD code)
{
    wchar_t* buffer = nullptr;
    const DWORD n = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text;
    if (n != 0 && buffer != nullptr)
        text.assign(buffer, n);
    if (buffer != nullptr)
        LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r'))
        text.pop_back();
    return text;
}

namespace {

std::string SystemErrorWhat(DWORD code, const std::wstring& text)
{
    if (text.empty())
        return "System error " + std::to_string(code);
    return Utf8FromWideText(text);
}

} // namespace

ESystemError::ESystemError(DWORD code)
    : std::runtime_error(SystemErrorWhat(code, SystemErrorText(code))), code_(code),
      text_(SystemErrorText(code))
{
}

void RaiseSystemError(DWORD code)
{
    throw ESystemError(code);
}

void RaiseLastOSError()
{
    throw ESystemError(GetLastError());
}
