#include "engine/qvSystemScanners.h"

#include "engine/qvScanners.h"
#include "platform/RecycleBinU.h"
#include "platform/SysUtilsU.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <utility>
#include <vector>

namespace {

constexpr uint64_t kBytesPerMiB = 1048576;
constexpr int64_t kWorthMaxMiB = 1024;
constexpr int64_t kWorthMaxFreePercent = 20;

TMemoryStatusQuery gMemoryStatusQuery = nullptr;
TMemoryBlockCalls gMemoryBlockCalls;

bool RealMemoryStatus(uint64_t& TotalBytes, uint64_t& AvailableBytes)
{
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof(status);
    if (!GlobalMemoryStatusEx(&status))
        return false;
    TotalBytes = status.ullTotalPhys;
    AvailableBytes = status.ullAvailPhys;
    return true;
}

void* RealAllocate()
{
    return VirtualAlloc(nullptr, kMemoryBlockSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
}

void RealFree(void* Block)
{
    VirtualFree(Block, 0, MEM_RELEASE);
}

int ClampToInt(int64_t Count)
{
    return static_cast<int>(std::clamp<int64_t>(Count, 0, INT_MAX));
}

} // namespace

// ---------------------------------------------------------------------------
// TqvItemsRecycleBin

void TqvItemsRecycleBin::Scan()
{
    qvLog("Scan type: RecycleBin");
    NotEmpty = !IsRecycleBinEmpty();
    int64_t size = 0;
    int64_t count = 0;
    if (QueryRecycleBin(size, count)) {
        ByteSize = size;
        ItemCount = count;
    } else {
        // The bin said it holds something, but not how much.
        ItemCount = NotEmpty ? 1 : 0;
        ByteSize = 0;
    }
    if (NotEmpty)
        qvLog("RecycleBin is FULL " + IntToStr(ItemCount) + " items");
    else
        qvLog("RecycleBin is empty");
    if (Owner)
        Owner->AddFound(ClampToInt(ItemCount));
}

void TqvItemsRecycleBin::Clean()
{
    if (!NotEmpty)
        return;
    qvLog("Cleaning RecycleBin");
    EmptyRecycleBin(nullptr, false, false, false);
    UpdateRecycleBinIcon();
    qvLog("RecycleBin cleaned");
}

int TqvItemsRecycleBin::FoundCount() const
{
    return NotEmpty ? ClampToInt(ItemCount) : 0;
}

int64_t TqvItemsRecycleBin::FoundSize() const
{
    return ByteSize;
}

int TqvItemsRecycleBin::SelectedCount() const
{
    return FoundCount();
}

int64_t TqvItemsRecycleBin::SelectedSize() const
{
    return FoundSize();
}

// ---------------------------------------------------------------------------
// TqvItemsMemory

void TqvItemsMemory::Scan()
{
    qvLog("Scan type: Memory");
    qvLog("Memory if worth cleaning anytime");
    Worth = false;
    TotalMiB = 0;
    if (!Owner)
        return;
    TqvUIStatus& status = Owner->Status;
    status.MemoryFigure = -1;

    uint64_t total = 0;
    uint64_t available = 0;
    const TMemoryStatusQuery query = gMemoryStatusQuery ? gMemoryStatusQuery : &RealMemoryStatus;
    if (!query(total, available))
        return;
    // A status without memory is no status: nothing to judge (and nothing to
    // divide by).
    if (total == 0)
        return;
    TotalMiB = static_cast<int64_t>(total / kBytesPerMiB);
    // available * 100 cannot overflow for any real amount; a figure above 100
    // (more available than there is) counts as all free.
    int64_t percent = available <= total ? static_cast<int64_t>(available * 100 / total) : 100;
    if (percent < 0 || percent > 100)
        percent = 100;
    status.MemoryFigure = percent;
    if (TotalMiB <= kWorthMaxMiB && percent <= kWorthMaxFreePercent) {
        Worth = true;
        Owner->AddFound(1);
    } else {
        status.MemoryFigure = -1;
    }
}

void TqvItemsMemory::Clean()
{
    if (!Worth || !Owner)
        return;
    qvLog("Cleaning Memory");
    if (TotalMiB <= 0)
        return;
    TqvMain& root = *Owner;
    TqvUIStatus& status = root.Status;
    // The category's bar continues after this group.
    const int32_t categoryMaximum = status.Maximum;

    void* (*allocate)() = gMemoryBlockCalls.Allocate ? gMemoryBlockCalls.Allocate : &RealAllocate;
    void (*release)(void*) = gMemoryBlockCalls.Free ? gMemoryBlockCalls.Free : &RealFree;

    // Every block taken is given back however the release ends.
    struct TBlocks {
        std::vector<void*> List;
        void (*Release)(void*);
        ~TBlocks()
        {
            while (!List.empty()) {
                Release(List.back());
                List.pop_back();
            }
        }
    } blocks{{}, release};

    const int32_t last = static_cast<int32_t>(std::min<int64_t>(TotalMiB, INT32_MAX) - 1);
    blocks.List.reserve(static_cast<size_t>(last) + 1);
    status.Position = 0;
    status.Maximum = last;
    if (root.Progress(true)) {
        for (int32_t i = 0; i <= last; ++i) {
            status.Position = i;
            if (!root.Progress(true))
                break;
            void* block = allocate();
            if (!block)
                break;
            blocks.List.push_back(block);
            // Touched, the block is backed by physical memory.
            memset(block, 1, kMemoryBlockSize);
            if (!root.Progress(true))
                break;
        }
    }

    const int32_t taken = static_cast<int32_t>(blocks.List.size());
    status.Position = std::max(taken - 1, 0);
    status.Maximum = status.Position;
    root.Progress(true);
    while (!blocks.List.empty()) {
        status.Position = static_cast<int32_t>(blocks.List.size()) - 1;
        root.Progress(true);
        release(blocks.List.back());
        blocks.List.pop_back();
    }
    status.Maximum = categoryMaximum;
    qvLog("Memory cleanded!");
}

int TqvItemsMemory::FoundCount() const
{
    return Worth ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Factories and seams

std::unique_ptr<TqvItems> CreateItemsRecycleBin(TqvMain* Owner)
{
    return std::make_unique<TqvItemsRecycleBin>(Owner);
}

std::unique_ptr<TqvItems> CreateItemsMemory(TqvMain* Owner)
{
    return std::make_unique<TqvItemsMemory>(Owner);
}

TMemoryStatusQuery SetMemoryStatusQueryForTests(TMemoryStatusQuery Query) noexcept
{
    return std::exchange(gMemoryStatusQuery, Query);
}

void SetMemoryBlockCallsForTests(const TMemoryBlockCalls& Calls) noexcept
{
    gMemoryBlockCalls = Calls;
}
