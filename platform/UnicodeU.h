#pragma once
// Conversions between wide (UTF-16), UTF-8 and system-code-page text, and the
// coding of single code points as UTF-8.
//
// Every conversion sizes its buffer with a first call, so there is no length
// limit; an empty input, or one the system refuses, gives an empty result.
// Embedded NULs are converted like any other character.

#include <cstdint>
#include <string>
#include <string_view>

// Wide text in the system code page (CP_ACP); a character the code page lacks
// becomes the system's default replacement character ("?").
std::string WideToAnsi(std::wstring_view w);
// System-code-page text widened (CP_ACP).
std::wstring AnsiToWide(std::string_view ansi);
// UTF-8 decoded (code page 65001); malformed bytes become U+FFFD.
std::wstring Utf8ToWide(std::string_view utf8);
// Wide text as UTF-8 (code page 65001).
std::string WideToUtf8(std::wstring_view w);

// The same four under the names that say both ends.
inline std::string AnsiFromWide(std::wstring_view w)
{
    return WideToAnsi(w);
}
inline std::wstring WideFromAnsi(std::string_view ansi)
{
    return AnsiToWide(ansi);
}
inline std::wstring WideFromUtf8(std::string_view utf8)
{
    return Utf8ToWide(utf8);
}
inline std::string Utf8FromWide(std::wstring_view w)
{
    return WideToUtf8(w);
}

// The UTF-8 bytes of one code point; no bytes for a negative value or one of
// 0x110000 and above. Surrogate values are coded like any other (0xD800 -> ED A0 80).
std::string EncodeUtf8CodePoint(int64_t codePoint);
// The same into bytes; the result is the count written (0 to 4).
int EncodeUtf8CodePoint(int64_t codePoint, unsigned char (&bytes)[4]);
// The bytes of EncodeUtf8CodePoint as a short string.
std::string CodePointToUtf8(int64_t codePoint);
// Decodes one sequence by its length alone (1 to 4 bytes); lead and continuation
// bits are not checked. Any other length gives 0.
uint32_t Utf8ToCodePoint(std::string_view bytes);
