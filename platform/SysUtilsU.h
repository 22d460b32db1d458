#pragma once
// Text functions and the operating-system error that the rest of the utility
// layer assumes. 8-bit strings are in the system code page unless named ...Utf8.

#include <windows.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

// Removes every character of code 0 to 32 at both ends (unsigned bytes: 0x80
// and above are text).
std::string Trim(std::string_view s);
std::string TrimLeft(std::string_view s);
std::string TrimRight(std::string_view s);

// Upper- and lower-casing through the system's mapping (CharUpperBuffA,
// CharLowerBuffA). Every case-insensitive comparison maps both sides with these.
std::string UpperCase(std::string_view s);
std::string LowerCase(std::string_view s);
// Bytes that UpperCase and LowerCase have mapped in this process: tests see
// in it that a lookup does not map whole lines again and again.
uint64_t CaseMappedBytes() noexcept;
// Compares UpperCase(a) with UpperCase(b) byte by byte (unsigned): <0, 0, >0.
int CompareText(std::string_view a, std::string_view b);
bool SameText(std::string_view a, std::string_view b);
// ASCII-only case folding, for the places that ignore "ASCII letter case".
std::string AsciiUpperCase(std::string_view s);
std::string AsciiLowerCase(std::string_view s);
bool SameTextAscii(std::string_view a, std::string_view b);

std::string IntToStr(int64_t value);
// Decimal, optional sign, optional "$"/"0x" hexadecimal prefix; no blanks. False
// and out untouched when s is not such a number or overflows 32 bits.
bool TryStrToInt(std::string_view s, int32_t& out);
int32_t StrToIntDef(std::string_view s, int32_t def);
// Decimal only: an optional sign and digits, nothing else ("0x9", "$9" and
// " 9" are no numbers here); for stored fields that are written in decimal.
// False and out untouched when s is not such a number or overflows 32 bits.
bool TryStrToIntDecimal(std::string_view s, int32_t& out);

// The operating-system error: a Win32 code with the system's text for it
// (FormatMessageW). what() gives the text as UTF-8.
class ESystemError : public std::runtime_error {
public:
    explicit ESystemError(DWORD code);
    DWORD Code() const noexcept { return code_; }
    const std::wstring& Text() const noexcept { return text_; }

private:
    DWORD code_;
    std::wstring text_;
};

// The system's text for a Win32 code, without the trailing line break.
std::wstring SystemErrorText(DWORD code);
[[noreturn]] void RaiseSystemError(DWORD code);
[[noreturn]] void RaiseLastOSError();
