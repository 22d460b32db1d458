#pragma once
// Two scanners whose work is no list of items: the recycle bin of all drives
// (clean category), measured and emptied, and the physical memory (boost
// category), judged and released.

#include "engine/qvClasses.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// Holds no items; its counters come from the last query of the bin.
class TqvItemsRecycleBin : public TqvItems {
public:
    using TqvItems::TqvItems;

    bool NotEmpty = false;
    int64_t ItemCount = 0;
    int64_t ByteSize = 0;

    void Scan() override;
    // Empties the bin when the scan found it not empty, and refreshes its
    // icon. Every item is placed on the disk first: a link, or a folder that
    // holds one, is never emptied through (the shell's emptying reaches a
    // link's target where the platform resolves links). When every item is
    // plain, the shell empties the bin (no window, confirmation, progress or
    // sound); otherwise the plain items are removed one by one with their
    // records, through handles that are the entries themselves, and the
    // others stay and are named.
    void Clean() override;
    int FoundCount() const override;       // the item count when not empty, else 0
    int64_t FoundSize() const override;    // the bytes
    int SelectedCount() const override;    // as FoundCount
    int64_t SelectedSize() const override; // as FoundSize
    int DoneCount() const override;
    int64_t DoneSize() const override;
    void CollectNotDone(std::vector<TqvNotDone>& NotDone) const override;

private:
    bool emptied_ = false; // the shell emptied it whole
    int doneCount_ = 0;
    int64_t doneSize_ = 0;
    std::vector<TqvNotDone> left_;
};

// Worth releasing on a computer with at most 1024 MiB of physical memory of
// which at most 20 per cent is free. The release takes the memory in 1 MiB
// blocks, touches every byte and gives it all back, so that the system pages
// other programs' memory out.
class TqvItemsMemory : public TqvItems {
public:
    using TqvItems::TqvItems;

    int64_t TotalMiB = 0;
    bool Worth = false;

    // Puts the free percentage into the status's memory figure when worth
    // releasing; the figure is -1 otherwise.
    void Scan() override;
    // Drives the status's own position and maximum (the last block index),
    // with a forced report before and after every block; a stop or a failed
    // allocation ends the taking, and every block taken is freed, last first,
    // however the release ends.
    void Clean() override;
    int FoundCount() const override; // 1 when worth releasing
};

std::unique_ptr<TqvItems> CreateItemsRecycleBin(TqvMain* Owner);
std::unique_ptr<TqvItems> CreateItemsMemory(TqvMain* Owner);

// ---------------------------------------------------------------------------
// Test seams; nullptr restores the real call. Set them while no scan runs.

inline constexpr size_t kMemoryBlockSize = 1048576;

// The memory status (GlobalMemoryStatusEx): total and available physical
// bytes; False when the query failed.
using TMemoryStatusQuery = bool (*)(uint64_t& TotalBytes, uint64_t& AvailableBytes);
TMemoryStatusQuery SetMemoryStatusQueryForTests(TMemoryStatusQuery Query) noexcept;

// Taking and giving back one block of kMemoryBlockSize bytes (VirtualAlloc
// and VirtualFree). Allocate answers nullptr when it fails.
struct TMemoryBlockCalls {
    void* (*Allocate)() = nullptr;
    void (*Free)(void* Block) = nullptr;
};
void SetMemoryBlockCallsForTests(const TMemoryBlockCalls& Calls) noexcept;
