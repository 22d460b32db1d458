#include "engine/qvSystemScanners.h"

#include "engine/qvScanners.h"
#include "engine/qvScanTools.h"
#include "platform/FileUtilsU.h"
#include "platform/RecycleBinU.h"
#include "platform/SysUtilsU.h"
#include "platform/UnicodeU.h"

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

namespace {

// What keeps a bin item from being emptied: '' for a plain file or a folder
// whose whole tree holds no link. Its bytes go to Size.
std::string HeldBack(const TRecycleBinEntry& Entry, int64_t& Size, TFileList& Tree, bool& Folder)
{
    TFileIdentity identity;
    if (!ReadFileIdentity(Entry.Path, false, identity))
        return "cannot be read";
    if (identity.IsLink)
        return "a link, left in the bin";
    Size = 0;
    Folder = (identity.Attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (!Folder) {
        WIN32_FIND_DATAW data{};
        HANDLE find = FindFirstFileW(ExtendedLengthPath(Entry.Path).c_str(), &data);
        if (find != INVALID_HANDLE_VALUE) {
            FindClose(find);
            Size = (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        }
        return {};
    }
    FindFilesRecursiveW(Entry.Path + L"\\*.*", Tree, true);
    ReadFoundIdentities(Tree);
    for (const TFoundFile& f : Tree) {
        if (f.Attributes & FILE_ATTRIBUTE_REPARSE_POINT)
            return "holds a link (" + f.Path + "), left in the bin";
        Size += f.Size;
    }
    return {};
}

// Removes one plain item and then its record; False when anything stayed.
bool RemoveBinEntry(const TRecycleBinEntry& Entry, bool Folder, const TFileList& Tree,
                    std::string& Why)
{
    TRemoveResult result = TRemoveResult::Removed;
    if (!Folder) {
        result = RemovePath(Entry.Path, false);
    } else {
        TFileIdentity rootIdentity;
        ReadFileIdentity(Entry.Path, true, rootIdentity);
        TContainedRemover remover(Entry.Path, rootIdentity);
        if (!remover.RootReady())
            result = remover.RootResult();
        for (const TFoundFile& f : Tree) {
            if (result != TRemoveResult::Removed)
                break;
            if (!f.IsFolder() && !IsRemoved(remover.RemoveFile(f.WidePath, f.Identity)))
                result = TRemoveResult::Failed;
        }
        for (auto it = Tree.rbegin(); it != Tree.rend(); ++it)
            if (it->IsFolder())
                remover.RemoveFolder(it->WidePath, it->Identity);
        if (result == TRemoveResult::Removed)
            result = remover.RemoveRoot();
    }
    if (!IsRemoved(result)) {
        Why = RemoveResultText(result);
        return false;
    }
    if (!Entry.Record.empty() && !IsRemoved(RemovePath(Entry.Record, false))) {
        Why = "its record in the bin stayed";
        return false;
    }
    return true;
}

} // namespace

void TqvItemsRecycleBin::Clean()
{
    if (!NotEmpty)
        return;
    qvLog("Cleaning RecycleBin");
    emptied_ = false;
    doneCount_ = 0;
    doneSize_ = 0;
    left_.clear();
    struct TJudged {
        TRecycleBinEntry Entry;
        int64_t Size = 0;
        TFileList Tree;
        bool Folder = false;
        std::string HeldBack;
    };
    std::vector<TRecycleBinEntry> entries;
    std::vector<TJudged> judged;
    bool anyHeld = false;
    if (ListRecycleBinEntries(entries)) {
        for (TRecycleBinEntry& e : entries) {
            TJudged j;
            j.Entry = std::move(e);
            j.HeldBack = HeldBack(j.Entry, j.Size, j.Tree, j.Folder);
            anyHeld = anyHeld || !j.HeldBack.empty();
            judged.push_back(std::move(j));
        }
    } else {
        qvLog("RecycleBin items not placed on the disk: the shell empties it");
    }
    if (!anyHeld) {
        emptied_ = EmptyRecycleBin(nullptr, false, false, false);
        if (!emptied_)
            left_.push_back({"the recycle bin", "the shell did not empty it"});
    } else {
        for (const TJudged& j : judged) {
            const std::string path = AnsiFromWide(j.Entry.Path);
            std::string why = j.HeldBack;
            if (why.empty() && RemoveBinEntry(j.Entry, j.Folder, j.Tree, why)) {
                ++doneCount_;
                doneSize_ += j.Size;
                qvLog("RecycleBin item deleted: " + path);
                continue;
            }
            qvLog("RecycleBin item not deleted: " + path + ": " + why);
            left_.push_back({"recycle bin item " + path, why});
        }
    }
    UpdateRecycleBinIcon();
    qvLog("RecycleBin cleaned");
}

int TqvItemsRecycleBin::DoneCount() const
{
    return emptied_ ? FoundCount() : doneCount_;
}

int64_t TqvItemsRecycleBin::DoneSize() const
{
    return emptied_ ? FoundSize() : doneSize_;
}

void TqvItemsRecycleBin::CollectNotDone(std::vector<TqvNotDone>& NotDone) const
{
    NotDone.insert(NotDone.end(), left_.begin(), left_.end());
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
