#pragma once
// The HTML units' string type and its small toolbox: case folding by table,
// exact and case-insensitive comparison of strings and buffers, a
// case-insensitive search, a builder that grows a string ahead of its logical
// length, predicate scans and trims, the tokenizer's character classes, hex
// digit values and the pixel size of a text.
//
// A character is one UTF-16 code unit (char16_t); nothing here combines
// surrogate pairs.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Memory of the HTML units: strings, container blocks, node and filer buffers.
// KvAllocate and KvReallocate throw std::bad_alloc. Builds with
// KORV_COUNT_BUFFERS keep the number of live buffers, so tests can see that
// every container and parser gives back what it took.
void* KvAllocate(size_t bytes);
void* KvReallocate(void* block, size_t bytes);
void KvRelease(void* block) noexcept;
// Buffers taken and not yet given back; 0 when the build does not count.
long KvLiveBuffers() noexcept;
// True when this build counts live buffers.
bool KvCountsBuffers() noexcept;
// The largest single request (bytes) since the last reset; 0 when the build
// does not count. Tests use it to see that corrupt input sized nothing.
size_t KvLargestRequest() noexcept;
void KvResetLargestRequest() noexcept;
// Bytes held in these buffers now, and the most held since the last mark (0
// when the build does not count): the fuzzer's allocation caps see the PNG
// codec's memory through them.
int64_t KvLiveBytes() noexcept;
void KvMarkPeakBytes() noexcept;
int64_t KvPeakBytes() noexcept;

// A WideString is one pointer to a length-prefixed, zero-terminated UTF-16
// buffer, null for the empty string. Containers move their items as raw bytes,
// which is sound for this type because nothing in it points into the object
// itself (unlike std::u16string's short-string buffer). Copies are deep.
class WideString {
public:
    WideString() noexcept = default;
    WideString(const char16_t* text); // zero-terminated; nullptr is empty
    WideString(const char16_t* buf, int32_t len);
    WideString(std::u16string_view text);
    WideString(const WideString& other);
    WideString(WideString&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    WideString& operator=(const WideString& other);
    WideString& operator=(WideString&& other) noexcept;
    ~WideString() { Release(); }

    int32_t Length() const noexcept { return p_ ? reinterpret_cast<const int32_t*>(p_)[-2] : 0; }
    bool IsEmpty() const noexcept { return p_ == nullptr; }
    // Never null: the empty string gives a pointer to a zero unit.
    const char16_t* Data() const noexcept { return p_ ? p_ : u""; }
    // Null for the empty string.
    char16_t* MutableData() noexcept { return p_; }
    char16_t operator[](int32_t index) const noexcept { return p_[index]; }
    char16_t& operator[](int32_t index) noexcept { return p_[index]; }
    std::u16string_view View() const noexcept { return {Data(), static_cast<size_t>(Length())}; }
    std::u16string ToU16() const { return std::u16string(View()); }

    // Keeps the first min(old, n) units; new units are zero; 0 frees the buffer.
    void SetLength(int32_t n);
    void Clear() noexcept { Release(); }
    WideString& operator+=(const WideString& tail);
    WideString& operator+=(char16_t c);
    // A new string of units [start, start + count) (0-based), clipped to the string.
    WideString Substr(int32_t start, int32_t count) const;

    friend bool operator==(const WideString& a, const WideString& b) noexcept
    {
        return a.View() == b.View();
    }
    friend bool operator==(const WideString& a, std::u16string_view b) noexcept
    {
        return a.View() == b;
    }
    friend WideString operator+(const WideString& a, const WideString& b);

private:
    void Release() noexcept;
    static char16_t* Make(const char16_t* buf, int32_t len);

    char16_t* p_ = nullptr;
};

// The handle must stay one pointer (4 bytes on the 32-bit target).
static_assert(sizeof(WideString) == sizeof(void*));

// A character predicate.
using TKvCharPredicate = bool (*)(char16_t c);

// Simple case folding by table (capitals to small letters and the few other
// simple foldings of the 4.0 character data, Basic Multilingual Plane only).
char16_t WideFold(char16_t c) noexcept;

bool WideSameStr(const WideString& a, const WideString& b) noexcept;
// Same length, and per position equal units or equal folds.
bool WideSameText(const WideString& a, const WideString& b) noexcept;
bool WideSameBufStr(const char16_t* buf, int32_t len, const WideString& s) noexcept;
bool WideSameBufText(const char16_t* buf, int32_t len, const WideString& s) noexcept;

// Case-insensitive search of needle in haystack from the 0-based startIndex:
// the 1-based position of the first match; 0 when none, for an empty needle
// (nothing is read then), when needleLen > haystackLen or when startIndex is
// negative or beyond haystackLen - needleLen.
int32_t WidePosText(const char16_t* needle, int32_t needleLen, const char16_t* haystack,
                    int32_t startIndex, int32_t haystackLen) noexcept;
// WidePosText on whole strings from the 1-based start; 0 for an empty needle
// or s, or a start of 0.
int32_t WidePosTextFrom(const WideString& needle, const WideString& s, int32_t start) noexcept;
bool WideContainsText(const WideString& needle, const WideString& s, int32_t start) noexcept;

// Builder: s is the buffer (its length the capacity), len the units in use.
// The caller starts with an empty s and len 0 and cuts s to len when done.
void WideAppendChar(char16_t c, WideString& s, int32_t& len);
void WideAppendBuf(const char16_t* buf, int32_t count, WideString& s, int32_t& len);
void WideAppendStr(const WideString& a, WideString& s, int32_t& len);

bool WideAllChars(const char16_t* buf, int32_t len, TKvCharPredicate pred);
bool WideAllCharsStr(const WideString& s, TKvCharPredicate pred);
bool WideAnyChar(const char16_t* buf, int32_t len, TKvCharPredicate pred);
bool WideAnyCharStr(const WideString& s, TKvCharPredicate pred);
// 1-based position of the first character at or after the 1-based start that
// does not satisfy pred; 0 when none, s empty, start 0 or beyond the end.
int32_t WideFindCharNotIn(const WideString& s, TKvCharPredicate pred, int32_t start);
WideString WideTrimBy(const WideString& s, TKvCharPredicate pred);
WideString WideTrim(const WideString& s);
// In place; a nil pred means IsWideSpace.
void WideTrimRightBy(WideString& s, TKvCharPredicate pred);

// c <= 32: every control character and the space (so not U+00A0).
bool IsWideSpace(char16_t c) noexcept;
bool IsSpaceDashOrGt(char16_t c) noexcept;
bool IsWideHexDigit(char16_t c) noexcept;
bool IsAsciiLetter(char16_t c) noexcept;
// "-", ".", "0".."9", ":", "A".."Z", "_", "a".."z".
bool IsNameChar(char16_t c) noexcept;
// 0..15 for a hex digit, negative for every other character.
int HexDigitValue(char16_t c) noexcept;

// Pixel width and height of s in the device context's current font; 0 for an
// empty string (or a failing call). dc is an HDC.
int WideTextWidth(void* dc, const WideString& s);
int WideTextHeight(void* dc, const WideString& s);

// The same UTF-16 units as the std::wstring of the form library's texts
// (wchar_t is 16 bits on this platform).
WideString WideStringFromStd(std::wstring_view text);
std::wstring StdFromWideString(const WideString& s);
