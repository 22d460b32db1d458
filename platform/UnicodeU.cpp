#include "platform/UnicodeU.h"

#include <windows.h>

#include <limits>

namespace {

constexpr UINT kUtf8CodePage = 65001;

bool FitsInt(size_t n)
{
    return n <= static_cast<size_t>(std::numeric_limits<int>::max());
}

std::string Narrow(UINT codePage, std::wstring_view w)
{
    if (w.empty() || !FitsInt(w.size()))
        return {};
    const int len = static_cast<int>(w.size());
    const int n = WideCharToMultiByte(codePage, 0, w.data(), len, nullptr, 0, nullptr, nullptr);
    if (n <= 0)
        return {};
    std::string out(static_cast<size_t>(n), '\0');
    const int written =
        WideCharToMultiByte(codePage, 0, w.data(), len, out.data(), n, nullptr, nullptr);
    if (written <= 0)
        return {};
    out.resize(static_cast<size_t>(written));
    return out;
}

std::wstring Widen(UINT codePage, std::string_view s)
{
    if (s.empty() || !FitsInt(s.size()))
        return {};
    const int len = static_cast<int>(s.size());
    const int n = MultiByteToWideChar(codePage, 0, s.data(), len, nullptr, 0);
    if (n <= 0)
        return {};
    std::wstring out(static_cast<size_t>(n), L'\0');
    const int written = MultiByteToWideChar(codePage, 0, s.data(), len, out.data(), n);
    if (written <= 0)
        return {};
    out.resize(static_cast<size_t>(written));
    return out;
}

} // namespace

std::string WideToAnsi(std::wstring_view w)
{
    return Narrow(CP_ACP, w);
}

std::wstring AnsiToWide(std::string_view ansi)
{
    return Widen(CP_ACP, ansi);
}

std::wstring Utf8ToWide(std::string_view utf8)
{
    return Widen(kUtf8CodePage, utf8);
}

std::string WideToUtf8(std::wstring_view w)
{
    return Narrow(kUtf8CodePage, w);
}

int EncodeUtf8CodePoint(int64_t codePoint, unsigned char (&bytes)[4])
{
    if (codePoint < 0)
        return 0;
    const auto cp = static_cast<uint64_t>(codePoint);
    if (cp < 0x80) {
        bytes[0] = static_cast<unsigned char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        bytes[0] = static_cast<unsigned char>(0xC0 | (cp >> 6));
        bytes[1] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        bytes[0] = static_cast<unsigned char>(0xE0 | (cp >> 12));
        bytes[1] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
        bytes[2] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
        return 3;
    }
    if (cp < 0x110000) {
        bytes[0] = static_cast<unsigned char>(0xF0 | (cp >> 18));
        bytes[1] = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
        bytes[2] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
        bytes[3] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
        return 4;
    }
    return 0;
}

std::string EncodeUtf8CodePoint(int64_t codePoint)
{
    unsigned char bytes[4];
    const int n = EncodeUtf8CodePoint(codePoint, bytes);
    return std::string(reinterpret_cast<const char*>(bytes), static_cast<size_t>(n));
}

std::string CodePointToUtf8(int64_t codePoint)
{
    return EncodeUtf8CodePoint(codePoint);
}

uint32_t Utf8ToCodePoint(std::string_view bytes)
{
    auto b = [&](size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])); };
    switch (bytes.size()) {
    case 1:
        return b(0) & 0x7F;
    case 2:
        return ((b(0) & 0x1F) << 6) | (b(1) & 0x3F);
    case 3:
        return ((b(0) & 0x0F) << 12) | ((b(1) & 0x3F) << 6) | (b(2) & 0x3F);
    case 4:
        return ((b(0) & 0x07) << 18) | ((b(1) & 0x3F) << 12) | ((b(2) & 0x3F) << 6) | (b(3) & 0x3F);
    default:
        return 0;
    }
}
