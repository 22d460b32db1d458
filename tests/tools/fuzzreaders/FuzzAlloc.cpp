#include "FuzzAlloc.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace {

// Each block carries its size in front, kept at the alignment new promises.
constexpr size_t kHeader = alignof(std::max_align_t) > sizeof(size_t) ? alignof(std::max_align_t)
                                                                      : sizeof(size_t);

std::atomic<int64_t> gLive{0};
std::atomic<int64_t> gPeak{0};
std::atomic<int64_t> gMark{0};

void* Allocate(size_t size) noexcept
{
    void* block = std::malloc(size + kHeader);
    if (!block)
        return nullptr;
    *static_cast<size_t*>(block) = size;
    const int64_t live = gLive.fetch_add(static_cast<int64_t>(size)) + static_cast<int64_t>(size);
    int64_t peak = gPeak.load(std::memory_order_relaxed);
    while (live > peak && !gPeak.compare_exchange_weak(peak, live))
        ;
    return static_cast<char*>(block) + kHeader;
}

void Release(void* p) noexcept
{
    if (!p)
        return;
    void* block = static_cast<char*>(p) - kHeader;
    gLive.fetch_sub(static_cast<int64_t>(*static_cast<size_t*>(block)));
    std::free(block);
}

void* AllocateOrThrow(size_t size)
{
    void* p = Allocate(size);
    if (!p)
        throw std::bad_alloc();
    return p;
}

} // namespace

namespace fuzz {

int64_t LiveBytes() noexcept
{
    return gLive.load();
}

void MarkPeak() noexcept
{
    const int64_t live = gLive.load();
    gMark.store(live);
    gPeak.store(live);
}

int64_t PeakSinceMark() noexcept
{
    return gPeak.load() - gMark.load();
}

} // namespace fuzz

void* operator new(size_t size)
{
    return AllocateOrThrow(size);
}

void* operator new[](size_t size)
{
    return AllocateOrThrow(size);
}

void* operator new(size_t size, const std::nothrow_t&) noexcept
{
    return Allocate(size);
}

void* operator new[](size_t size, const std::nothrow_t&) noexcept
{
    return Allocate(size);
}

void operator delete(void* p) noexcept
{
    Release(p);
}

void operator delete[](void* p) noexcept
{
    Release(p);
}

void operator delete(void* p, size_t) noexcept
{
    Release(p);
}

void operator delete[](void* p, size_t) noexcept
{
    Release(p);
}

void operator delete(void* p, const std::nothrow_t&) noexcept
{
    Release(p);
}

void operator delete[](void* p, const std::nothrow_t&) noexcept
{
    Release(p);
}
