#pragma once
// Conversions between wide (UTF-16), UTF-8 and system-code-page text, and the
// coding of single code points as UTF-8.

#include <cstdint>
#include <string>
#include <string_view>

// The UTF-8 bytes of one code point; no bytes for a negative value or one of
// 0x110000 and above. Surrogate values are coded like any other (0xD800 -> ED A0 80).
std::string EncodeUtf8CodePoint(int64_t codePoint);
