#include "controls/KvWideStrings.h"

#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <new>

namespace {

#include "controls/KvWideFold.inc"

#ifdef KORV_COUNT_BUFFERS
std::atomic<long> gLiveBuffers{0};
std::atomic<size_t> gLargestRequest{0};
// Bytes by the heap's own block sizes, so a release needs no header of ours.
std::atomic<int64_t> gLiveBytes{0};
std::atomic<int64_t> gPeakBytes{0};

void NoteBytes(int64_t delta) noexcept
{
    const int64_t live = gLiveBytes.fetch_add(delta, std::memory_order_relaxed) + delta;
    int64_t peak = gPeakBytes.load(std::memory_order_relaxed);
    while (live > peak &&
           !gPeakBytes.compare_exchange_weak(peak, live, std::memory_order_relaxed)) {
    }
}

void NoteRequest(size_t bytes) noexcept
{
    size_t seen = gLargestRequest.load(std::memory_order_relaxed);
    while (bytes > seen &&
           !gLargestRequest.compare_exchange_weak(seen, bytes, std::memory_order_relaxed)) {
    }
}
#endif

// Buffer layout: a 32-bit unit count, 4 spare bytes (keeps the units 8-byte
// aligned in both builds), the units, a zero unit. The handle points at the units.
constexpr size_t kHeader = 8;

} // namespace

void* KvAllocate(size_t bytes)
{
#ifdef KORV_COUNT_BUFFERS
    NoteRequest(bytes);
#endif
    void* block = std::malloc(bytes ? bytes : 1);
    if (!block)
        throw std::bad_alloc();
#ifdef KORV_COUNT_BUFFERS
    gLiveBuffers.fetch_add(1, std::memory_order_relaxed);
    NoteBytes(static_cast<int64_t>(_msize(block)));
#endif
    return block;
}

void* KvReallocate(void* block, size_t bytes)
{
    if (!block)
        return KvAllocate(bytes);
#ifdef KORV_COUNT_BUFFERS
    NoteRequest(bytes);
    const int64_t before = static_cast<int64_t>(_msize(block));
#endif
    void* grown = std::realloc(block, bytes ? bytes : 1);
    if (!grown)
        throw std::bad_alloc();
#ifdef KORV_COUNT_BUFFERS
    NoteBytes(static_cast<int64_t>(_msize(grown)) - before);
#endif
    return grown;
}

void KvRelease(void* block) noexcept
{
    if (!block)
        return;
#ifdef KORV_COUNT_BUFFERS
    gLiveBuffers.fetch_sub(1, std::memory_order_relaxed);
    NoteBytes(-static_cast<int64_t>(_msize(block)));
#endif
    std::free(block);
}

long KvLiveBuffers() noexcept
{
#ifdef KORV_COUNT_BUFFERS
    return gLiveBuffers.load(std::memory_order_relaxed);
#else
    return 0;
#endif
}

bool KvCountsBuffers() noexcept
{
#ifdef KORV_COUNT_BUFFERS
    return true;
#else
    return false;
#endif
}

size_t KvLargestRequest() noexcept
{
#ifdef KORV_COUNT_BUFFERS
    return gLargestRequest.load(std::memory_order_relaxed);
#else
    return 0;
#endif
}

void KvResetLargestRequest() noexcept
{
#ifdef KORV_COUNT_BUFFERS
    gLargestRequest.store(0, std::memory_order_relaxed);
#endif
}

int64_t KvLiveBytes() noexcept
{
#ifdef KORV_COUNT_BUFFERS
    return gLiveBytes.load(std::memory_order_relaxed);
#else
    return 0;
#endif
}

void KvMarkPeakBytes() noexcept
{
#ifdef KORV_COUNT_BUFFERS
    gPeakBytes.store(gLiveBytes.load(std::memory_order_relaxed), std::memory_order_relaxed);
#endif
}

int64_t KvPeakBytes() noexcept
{
#ifdef KORV_COUNT_BUFFERS
    return gPeakBytes.load(std::memory_order_relaxed);
#else
    return 0;
#endif
}

// --- WideString -------------------------------------------------------------

char16_t* WideString::Make(const char16_t* buf, int32_t len)
{
    if (len <= 0)
        return nullptr;
    auto* block =
        static_cast<char*>(KvAllocate(kHeader + (static_cast<size_t>(len) + 1) * sizeof(char16_t)));
    reinterpret_cast<int32_t*>(block)[0] = len;
    auto* units = reinterpret_cast<char16_t*>(block + kHeader);
    if (buf)
        std::memcpy(units, buf, static_cast<size_t>(len) * sizeof(char16_t));
    else
        std::memset(units, 0, static_cast<size_t>(len) * sizeof(char16_t));
    units[len] = 0;
    return units;
}

void WideString::Release() noexcept
{
    if (p_) {
        KvRelease(reinterpret_cast<char*>(p_) - kHeader);
        p_ = nullptr;
    }
}

WideString::WideString(const char16_t* text)
{
    if (text)
        p_ = Make(text, static_cast<int32_t>(std::char_traits<char16_t>::length(text)));
}

WideString::WideString(const char16_t* buf, int32_t len) : p_(Make(buf, len)) {}

WideString::WideString(std::u16string_view text)
    : p_(Make(text.data(), static_cast<int32_t>(text.size())))
{
}

WideString::WideString(const WideString& other) : p_(Make(other.p_, other.Length())) {}

WideString& WideString::operator=(const WideString& other)
{
    if (this != &other) {
        char16_t* copy = Make(other.p_, other.Length());
        Release();
        p_ = copy;
    }
    return *this;
}

WideString& WideString::operator=(WideString&& other) noexcept
{
    if (this != &other) {
        Release();
        p_ = other.p_;
        other.p_ = nullptr;
    }
    return *this;
}

void WideString::SetLength(int32_t n)
{
    int32_t old = Length();
    if (n == old)
        return;
    if (n <= 0) {
        Release();
        return;
    }
    if (!p_) {
        p_ = Make(nullptr, n);
        return;
    }
    auto* block =
        static_cast<char*>(KvReallocate(reinterpret_cast<char*>(p_) - kHeader,
                                        kHeader + (static_cast<size_t>(n) + 1) * sizeof(char16_t)));
    reinterpret_cast<int32_t*>(block)[0] = n;
    p_ = reinterpret_cast<char16_t*>(block + kHeader);
    if (n > old)
        std::memset(p_ + old, 0, static_cast<size_t>(n - old) * sizeof(char16_t));
    p_[n] = 0;
}

WideString& WideString::operator+=(const WideString& tail)
{
    int32_t old = Length(), add = tail.Length();
    if (add == 0)
        return *this;
    if (this == &tail) {
        WideString copy(tail);
        return *this += copy;
    }
    SetLength(old + add);
    std::memcpy(p_ + old, tail.p_, static_cast<size_t>(add) * sizeof(char16_t));
    return *this;
}

WideString& WideString::operator+=(char16_t c)
{
    int32_t old = Length();
    SetLength(old + 1);
    p_[old] = c;
    return *this;
}

WideString WideString::Substr(int32_t start, int32_t count) const
{
    int32_t len = Length();
    if (start < 0)
        start = 0;
    if (start >= len || count <= 0)
        return {};
    if (count > len - start)
        count = len - start;
    return WideString(p_ + start, count);
}

WideString operator+(const WideString& a, const WideString& b)
{
    WideString r(a);
    r += b;
    return r;
}

// --- Folding and comparison ---------------------------------------------------

char16_t WideFold(char16_t c) noexcept
{
    uint8_t block = kFoldIndex[c >> 6];
    return block ? kFoldBlocks[block - 1][c & 63] : c;
}

namespace {

// Raw equality first: the fold is looked up only where the units differ.
bool SameUnitsText(const char16_t* a, const char16_t* b, int32_t len) noexcept
{
    for (int32_t i = 0; i < len; ++i) {
        if (a[i] != b[i] && WideFold(a[i]) != WideFold(b[i]))
            return false;
    }
    return true;
}

} // namespace

bool WideSameStr(const WideString& a, const WideString& b) noexcept
{
    return a.View() == b.View();
}

bool WideSameText(const WideString& a, const WideString& b) noexcept
{
    return a.Length() == b.Length() && SameUnitsText(a.Data(), b.Data(), a.Length());
}

bool WideSameBufStr(const char16_t* buf, int32_t len, const WideString& s) noexcept
{
    if (s.Length() != len)
        return false;
    return len == 0 || std::memcmp(buf, s.Data(), static_cast<size_t>(len) * 2) == 0;
}

bool WideSameBufText(const char16_t* buf, int32_t len, const WideString& s) noexcept
{
    return s.Length() == len && (len == 0 || SameUnitsText(buf, s.Data(), len));
}

int32_t WidePosText(const char16_t* needle, int32_t needleLen, const char16_t* haystack,
                    int32_t startIndex, int32_t haystackLen) noexcept
{
    if (needleLen <= 0 || needleLen > haystackLen || startIndex < 0 ||
        startIndex > haystackLen - needleLen)
        return 0;
    const char16_t first = needle[0];
    const char16_t firstFold = WideFold(first);
    const int32_t lastStart = haystackLen - needleLen;
    for (int32_t i = startIndex; i <= lastStart; ++i) {
        char16_t c = haystack[i];
        if (c != first && WideFold(c) != firstFold)
            continue;
        if (SameUnitsText(needle + 1, haystack + i + 1, needleLen - 1))
            return i + 1;
    }
    return 0;
}

int32_t WidePosTextFrom(const WideString& needle, const WideString& s, int32_t start) noexcept
{
    if (needle.IsEmpty() || s.IsEmpty() || start <= 0)
        return 0;
    return WidePosText(needle.Data(), needle.Length(), s.Data(), start - 1, s.Length());
}

bool WideContainsText(const WideString& needle, const WideString& s, int32_t start) noexcept
{
    return WidePosTextFrom(needle, s, start) != 0;
}

// --- Builder -------------------------------------------------------------------

void WideAppendChar(char16_t c, WideString& s, int32_t& len)
{
    if (s.Length() < len + 1)
        s.SetLength((2 * len + 4) & ~3);
    s[len] = c;
    ++len;
}

void WideAppendBuf(const char16_t* buf, int32_t count, WideString& s, int32_t& len)
{
    if (!buf || count <= 0)
        return;
    int32_t n = len + count;
    if (s.Length() < n) {
        // A slice of s itself would move with the buffer: copy it first.
        const char16_t* own = s.Data();
        if (buf >= own && buf < own + s.Length()) {
            WideString copy(buf, count);
            WideAppendBuf(copy.Data(), count, s, len);
            return;
        }
        s.SetLength((n + n / 2 + 3) & ~3);
    }
    std::memmove(s.MutableData() + len, buf, static_cast<size_t>(count) * sizeof(char16_t));
    len = n;
}

void WideAppendStr(const WideString& a, WideString& s, int32_t& len)
{
    if (a.IsEmpty())
        return;
    WideAppendBuf(a.Data(), a.Length(), s, len);
}

// --- Predicates and trims -------------------------------------------------------

bool WideAllChars(const char16_t* buf, int32_t len, TKvCharPredicate pred)
{
    for (int32_t i = 0; i < len; ++i) {
        if (!pred(buf[i]))
            return false;
    }
    return true;
}

bool WideAllCharsStr(const WideString& s, TKvCharPredicate pred)
{
    return WideAllChars(s.Data(), s.Length(), pred);
}

bool WideAnyChar(const char16_t* buf, int32_t len, TKvCharPredicate pred)
{
    for (int32_t i = 0; i < len; ++i) {
        if (pred(buf[i]))
            return true;
    }
    return false;
}

bool WideAnyCharStr(const WideString& s, TKvCharPredicate pred)
{
    return WideAnyChar(s.Data(), s.Length(), pred);
}

int32_t WideFindCharNotIn(const WideString& s, TKvCharPredicate pred, int32_t start)
{
    int32_t len = s.Length();
    if (len == 0 || start <= 0 || start > len)
        return 0;
    for (int32_t i = start - 1; i < len; ++i) {
        if (!pred(s[i]))
            return i + 1;
    }
    return 0;
}

WideString WideTrimBy(const WideString& s, TKvCharPredicate pred)
{
    int32_t len = s.Length();
    int32_t first = 0;
    while (first < len && pred(s[first]))
        ++first;
    if (first == len)
        return {};
    int32_t last = len - 1;
    while (last > first && pred(s[last]))
        --last;
    if (first == 0 && last == len - 1)
        return s;
    return WideString(s.Data() + first, last - first + 1);
}

WideString WideTrim(const WideString& s)
{
    return WideTrimBy(s, &IsWideSpace);
}

void WideTrimRightBy(WideString& s, TKvCharPredicate pred)
{
    if (!pred)
        pred = &IsWideSpace;
    int32_t len = s.Length();
    int32_t keep = len;
    while (keep > 0 && pred(s[keep - 1]))
        --keep;
    if (keep != len)
        s.SetLength(keep);
}

// --- Character classes ------------------------------------------------------------

bool IsWideSpace(char16_t c) noexcept
{
    return c <= 32;
}

bool IsSpaceDashOrGt(char16_t c) noexcept
{
    return c <= 32 || c == u'-' || c == u'>';
}

bool IsWideHexDigit(char16_t c) noexcept
{
    return HexDigitValue(c) >= 0;
}

bool IsAsciiLetter(char16_t c) noexcept
{
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}

bool IsNameChar(char16_t c) noexcept
{
    return IsAsciiLetter(c) || (c >= u'0' && c <= u'9') || c == u'-' || c == u'.' || c == u':' ||
           c == u'_';
}

int HexDigitValue(char16_t c) noexcept
{
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'A' && c <= u'F')
        return c - u'A' + 10;
    if (c >= u'a' && c <= u'f')
        return c - u'a' + 10;
    return -1;
}

// --- Text size ------------------------------------------------------------------

namespace {

SIZE TextExtent(void* dc, const WideString& s)
{
    SIZE size{};
    if (s.IsEmpty() ||
        !GetTextExtentPoint32W(static_cast<HDC>(dc), reinterpret_cast<LPCWSTR>(s.Data()),
                               s.Length(), &size))
        return SIZE{};
    return size;
}

} // namespace

int WideTextWidth(void* dc, const WideString& s)
{
    return TextExtent(dc, s).cx;
}

int WideTextHeight(void* dc, const WideString& s)
{
    return TextExtent(dc, s).cy;
}

static_assert(sizeof(wchar_t) == sizeof(char16_t));

WideString WideStringFromStd(std::wstring_view text)
{
    return WideString(reinterpret_cast<const char16_t*>(text.data()),
                      static_cast<int32_t>(text.size()));
}

std::wstring StdFromWideString(const WideString& s)
{
    return std::wstring(reinterpret_cast<const wchar_t*>(s.Data()),
                        static_cast<size_t>(s.Length()));
}
