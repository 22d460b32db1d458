#include "controls/KvContainers.h"

#include "controls/KvFiler.h"
#include "platform/ClassesU.h"
#include "platform/GuardU.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Header values of hash slots and bucket heads. Every end test is "negative".
constexpr int32_t kNone = INT32_MIN;          // $80000000
constexpr uint32_t kEnd = 0x80000000u;        // end of a chain
constexpr uint32_t kDeletedBit = 0x40000000u; // bit 30: the slot is free
constexpr int32_t kInitialHashCount = 7;
constexpr int32_t kFormatVersion = 1;

// On the 32-bit target records are packed exactly (a slot is 4 + KeySize +
// ItemSize bytes); on 64-bit builds the parts are padded to pointer size so that
// pointers inside keys and items stay aligned.
constexpr size_t kAlign = sizeof(void*) == 4 ? 1 : alignof(void*);

size_t Aligned(size_t n)
{
    return (n + kAlign - 1) / kAlign * kAlign;
}

size_t SizeOf(int32_t size)
{
    return size > 0 ? static_cast<size_t>(size) : 0;
}

int32_t HighestPowerOfTwo(int32_t n)
{
    int32_t p = 1;
    while (p <= n / 2)
        p *= 2;
    return p;
}

// Reallocates a block of records from oldCount to newCount by the capacity
// rule: it grows when the old capacity is too small and shrinks when the new
// count falls below the shrink threshold of the old one.
char* ResizeBlock(char* block, int32_t oldCount, int32_t newCount, size_t recordSize)
{
    bool grow = newCount > oldCount && ContainerCapacity(oldCount) < newCount;
    bool shrink = newCount < oldCount && newCount < ShrinkThreshold(oldCount);
    if (!grow && !shrink)
        return block;
    int32_t capacity = ContainerCapacity(newCount);
    if (capacity == 0) {
        KvRelease(block);
        return nullptr;
    }
    return static_cast<char*>(KvReallocate(block, static_cast<size_t>(capacity) * recordSize));
}

std::string FormatMessageText(const char* message, const int64_t* arg)
{
    std::string text(message);
    if (arg) {
        size_t at = text.find("%d");
        if (at != std::string::npos)
            text.replace(at, 2, std::to_string(*arg));
    }
    return text;
}

} // namespace

// --- Persistent base and error object ------------------------------------------------

void TKvPersistent::Assign(const TKvPersistent& source)
{
    source.AssignTo(*this);
}

void TKvPersistent::AssignTo(TKvPersistent& dest) const
{
    throw EKvAssignError(std::string("Cannot assign a ") + ClassName() + " to a " +
                         dest.ClassName());
}

void TKvPersistent::DefineProperties(TKvPropertyFiler&) {}

void TKvErrorObject::RaiseContainerError(const char* message) const
{
    throw EKvContainerError(std::string("Class ") + ClassName() + ": " +
                            FormatMessageText(message, nullptr));
}

void TKvErrorObject::RaiseContainerError(const char* message, int64_t arg) const
{
    throw EKvContainerError(std::string("Class ") + ClassName() + ": " +
                            FormatMessageText(message, &arg));
}

// --- Handlers ---------------------------------------------------------------------------

void TKvBaseHandler::Free()
{
    if (useCount_ != 0)
        RaiseContainerError("ItemHandler in use during destruction");
    delete this;
}

void TKvBaseHandler::CheckNotInUse(const char* message) const
{
    if (useCount_ != 0)
        RaiseContainerError(message);
}

void TKvItemHandler::SetItemSize(int32_t size)
{
    CheckNotInUse("ItemHandler in use while setting ItemSize");
    itemSize_ = size;
}
void TKvItemHandler::SetOnInitItem(TKvInitItem fn)
{
    CheckNotInUse("ItemHandler in use while assigning OnInitItem");
    onInitItem_ = fn;
}
void TKvItemHandler::SetOnFreeItem(TKvFreeItem fn)
{
    CheckNotInUse("ItemHandler in use while assigning OnFreeItem");
    onFreeItem_ = fn;
}
void TKvItemHandler::SetOnCopyItem(TKvCopyItem fn)
{
    CheckNotInUse("ItemHandler in use while assigning OnCopyItem");
    onCopyItem_ = fn;
}
void TKvItemHandler::SetOnReadItem(TKvReadItem fn)
{
    CheckNotInUse("ItemHandler in use while assigning OnReadItem");
    onReadItem_ = fn;
}
void TKvItemHandler::SetOnWriteItem(TKvWriteItem fn)
{
    CheckNotInUse("ItemHandler in use while assigning OnWriteItem");
    onWriteItem_ = fn;
}
void TKvItemHandler::SetOnReadHeader(TKvReadHeader fn)
{
    CheckNotInUse("ItemHandler in use while assigning OnReadHeader");
    onReadHeader_ = fn;
}
void TKvItemHandler::SetOnWriteHeader(TKvWriteHeader fn)
{
    CheckNotInUse("ItemHandler in use while assigning OnWriteHeader");
    onWriteHeader_ = fn;
}

void TKvKeyHandler::SetKeySize(int32_t size)
{
    CheckNotInUse("ItemHandler in use while setting KeySize");
    keySize_ = size;
}
void TKvKeyHandler::SetOnHashKey(TKvHashKey fn)
{
    CheckNotInUse("ItemHandler in use while assigning OnHashKey");
    onHashKey_ = fn;
}
void TKvKeyHandler::SetOnHashKeyBuf(TKvHashKeyBuf fn)
{
    CheckNotInUse("ItemHandler in use while assigning OnHashKeyBuf");
    onHashKeyBuf_ = fn;
}
void TKvKeyHandler::SetOnSameKeys(TKvSameKeys fn)
{
    CheckNotInUse("ItemHandler in use while assigning OnSameKeys");
    onSameKeys_ = fn;
}
void TKvKeyHandler::SetOnSameKeyBuf(TKvSameKeyBuf fn)
{
    CheckNotInUse("ItemHandler in use while assigning OnSameKeyBuf");
    onSameKeyBuf_ = fn;
}
void TKvKeyHandler::SetOnStoreKey(TKvStoreKey fn)
{
    CheckNotInUse("ItemHandler in use while assigning OnStoreKey");
    onStoreKey_ = fn;
}
void TKvKeyHandler::SetOnStoreKeyBuf(TKvStoreKeyBuf fn)
{
    CheckNotInUse("ItemHandler in use while assigning OnStoreKeyBuf");
    onStoreKeyBuf_ = fn;
}
void TKvKeyHandler::SetOnFreeKey(TKvFreeKey fn)
{
    CheckNotInUse("ItemHandler in use while assigning OnFreeKey");
    onFreeKey_ = fn;
}
void TKvKeyHandler::SetOnReadKey(TKvReadKey fn)
{
    CheckNotInUse("ItemHandler in use while assigning OnReadKey");
    onReadKey_ = fn;
}
void TKvKeyHandler::SetOnWriteKey(TKvWriteKey fn)
{
    CheckNotInUse("ItemHandler in use while assigning OnWriteKey");
    onWriteKey_ = fn;
}

// --- Shared handlers -------------------------------------------------------------------

namespace {

// Registered at the first request, so that the exit hook below is registered
// inside the first container's (or table's) construction and therefore runs
// after that object's static destructor.
std::vector<TKvBaseHandler*>* gSharedHandlers = nullptr;

void FreeSharedHandlers() noexcept
{
    if (!gSharedHandlers)
        return;
    for (auto it = gSharedHandlers->rbegin(); it != gSharedHandlers->rend(); ++it) {
        TKvBaseHandler* handler = *it;
        if (handler->UseCount() != 0) {
            // A container outlived the program: leave its handler alive.
            std::string text = std::string("Class ") + handler->ClassName() +
                               ": ItemHandler in use at program end (" +
                               std::to_string(handler->UseCount()) + ")";
            ReportGuarded(text.c_str());
            continue;
        }
        delete handler;
    }
    delete gSharedHandlers;
    gSharedHandlers = nullptr;
}

} // namespace

TKvBaseHandler* KvRegisterSharedHandler(TKvBaseHandler* handler)
{
    if (!gSharedHandlers) {
        gSharedHandlers = new std::vector<TKvBaseHandler*>();
        std::atexit(&FreeSharedHandlers);
    }
    gSharedHandlers->push_back(handler);
    return handler;
}

// --- Capacity ------------------------------------------------------------------------------

int32_t ContainerCapacity(int32_t n) noexcept
{
    if (n <= 0)
        return 0;
    int32_t p = HighestPowerOfTwo(n);
    if (p == n)
        return p;
    int32_t s = p / 4 > 2 ? p / 4 : 2;
    for (int32_t k = 1; k <= 3; ++k) {
        if (p + k * s >= n)
            return p + k * s;
    }
    return p + 4 * s;
}

int32_t ShrinkThreshold(int32_t m) noexcept
{
    if (m <= 2)
        return m;
    int32_t q = HighestPowerOfTwo(m - 1);
    int32_t s = q / 4 > 2 ? q / 4 : 2;
    for (int32_t k = -1; k <= 2; ++k) {
        int32_t candidate = q + k * s + 1;
        if (candidate > m - s)
            return candidate;
    }
    return q + 3 * s + 1;
}

// --- Container -------------------------------------------------------------------------

TKvContainer::TKvContainer(TKvItemHandler* itemHandler, const char* className)
    : itemHandler_(itemHandler)
{
    if (!itemHandler)
        throw EKvContainerError(std::string("Class ") + className + ": ItemHandler is nil");
    itemHandler->AddUse();
}

TKvContainer::~TKvContainer()
{
    itemHandler_->RemoveUse();
}

void TKvContainer::CheckSameItems(TKvSameItems sameItems) const
{
    if (!sameItems)
        RaiseContainerError("SameItems not assigned");
}

void TKvContainer::CheckIterate(const TKvIterateItems& iterateItems) const
{
    if (!iterateItems)
        RaiseContainerError("IterateItems not assigned");
}

void TKvContainer::CheckReadItem() const
{
    if (!itemHandler_->OnReadItem())
        itemHandler_->RaiseContainerError("OnReadItem not assigned");
}

void TKvContainer::CheckWriteItem() const
{
    if (!itemHandler_->OnWriteItem())
        itemHandler_->RaiseContainerError("OnWriteItem not assigned");
}

void TKvContainer::InitItem(void* item) const
{
    if (TKvInitItem init = itemHandler_->OnInitItem())
        init(item);
}

void TKvContainer::FreeItem(void* item) const noexcept
{
    if (TKvFreeItem free = itemHandler_->OnFreeItem())
        free(item);
}

void TKvContainer::ReadPrologue(TKvBinaryReader& reader, uint32_t options, const char* magic)
{
    if (options & kvfoMagic) {
        char stored[4];
        reader.ReadBuffer(stored, 4);
        if (std::memcmp(stored, magic, 4) != 0)
            RaiseContainerError("Invalid stream format");
    }
    if (options & kvfoVersion) {
        if (reader.ReadCardinal() != kFormatVersion)
            RaiseContainerError("Invalid stream format");
    }
    if (options & kvfoHeader) {
        if (TKvReadHeader header = itemHandler_->OnReadHeader())
            header(*this, reader);
    }
}

void TKvContainer::WritePrologue(TKvBinaryWriter& writer, uint32_t options, const char* magic)
{
    if (options & kvfoMagic)
        writer.WriteBuffer(magic, 4);
    if (options & kvfoVersion)
        writer.WriteCardinal(kFormatVersion);
    if (options & kvfoHeader) {
        if (TKvWriteHeader header = itemHandler_->OnWriteHeader())
            header(*this, writer);
    }
}

void TKvContainer::DefineProperties(TKvPropertyFiler& filer)
{
    constexpr int32_t kBufSize = 4096;
    filer.DefineBinaryProperty(
        ClassName(),
        [this](TStream* stream) {
            if (!stream)
                RaiseContainerError("Stream is nil");
            TKvBinaryReader reader(*stream, kBufSize);
            ReadFromFiler(reader, kvfoAll, nullptr);
        },
        [this](TStream* stream) {
            if (!stream)
                RaiseContainerError("Stream is nil");
            TKvBinaryWriter writer(*stream, kBufSize);
            WriteToFiler(writer, kvfoAll, nullptr);
            writer.FlushBuffer();
        },
        NotEmpty());
}

// --- Hash ----------------------------------------------------------------------------------

TKvHash::TKvHash(TKvItemHandler* itemHandler, TKvKeyHandler* keyHandler, const char* className)
    : TKvContainer(itemHandler, className), keyHandler_(keyHandler), firstDeleted_(kNone)
{
    // The base is built by now: its destructor gives the item handler back.
    if (!keyHandler)
        throw EKvContainerError(std::string("Class ") + className + ": KeyHandler is nil");
    keyOffset_ = Aligned(sizeof(uint32_t));
    itemOffset_ = keyOffset_ + Aligned(SizeOf(keyHandler->KeySize()));
    slotSize_ = itemOffset_ + Aligned(SizeOf(itemHandler->ItemSize()));
    buckets_ = static_cast<int32_t*>(KvAllocate(kInitialHashCount * sizeof(int32_t)));
    hashCount_ = kInitialHashCount;
    for (int32_t i = 0; i < hashCount_; ++i)
        buckets_[i] = kNone;
    keyHandler->AddUse();
}

TKvHash::~TKvHash()
{
    KvRelease(buckets_);
    buckets_ = nullptr;
    Guard([&] { FreeLiveSlots(); });
    KvRelease(slots_);
    keyHandler_->RemoveUse();
}

char* TKvHash::Slot(int32_t index) const
{
    return slots_ + static_cast<size_t>(index) * slotSize_;
}

uint32_t& TKvHash::Header(int32_t index) const
{
    return *reinterpret_cast<uint32_t*>(Slot(index));
}

void* TKvHash::KeyOf(int32_t index) const
{
    return Slot(index) + keyOffset_;
}

void* TKvHash::ItemOf(int32_t index) const
{
    return Slot(index) + itemOffset_;
}

bool TKvHash::Live(int32_t index) const
{
    return (Header(index) & kDeletedBit) == 0;
}

TKvHash::Hit TKvHash::Lookup(const void* key) const
{
    TKvHashKey hash = keyHandler_->OnHashKey();
    if (!hash)
        keyHandler_->RaiseContainerError("OnHashKey not assigned");
    TKvSameKeys same = keyHandler_->OnSameKeys();
    if (!same)
        keyHandler_->RaiseContainerError("OnSameKeys not assigned");
    Hit hit{kNone, kNone, hash(key) % static_cast<uint32_t>(hashCount_)};
    for (int32_t i = buckets_[hit.bucket]; i >= 0; i = static_cast<int32_t>(Header(i))) {
        if (same(key, KeyOf(i))) {
            hit.slot = i;
            return hit;
        }
        hit.prev = i;
    }
    return hit;
}

void TKvHash::ResizeSlots(int32_t newCount)
{
    slots_ = ResizeBlock(slots_, slotCount_, newCount, slotSize_);
}

void* TKvHash::AddEntry(const void* key, const Hit& hit)
{
    TKvStoreKey store = keyHandler_->OnStoreKey();
    // The most recently freed slot is reused first, else one is appended.
    const bool reuse = firstDeleted_ >= 0;
    int32_t slot = firstDeleted_;
    if (!reuse) {
        ResizeSlots(slotCount_ + 1);
        slot = slotCount_;
    }
    // Key and item are filled before the slot is linked, so a failing callback
    // leaves the hash as it was.
    std::memset(KeyOf(slot), 0, slotSize_ - keyOffset_);
    store(key, KeyOf(slot));
    try {
        InitItem(ItemOf(slot));
    } catch (...) {
        if (TKvFreeKey freeKey = keyHandler_->OnFreeKey())
            freeKey(KeyOf(slot));
        throw;
    }
    if (reuse)
        firstDeleted_ = static_cast<int32_t>(Header(slot) & ~kDeletedBit);
    else
        ++slotCount_;
    // New entries go to the END of their chain.
    if (hit.prev >= 0)
        Header(hit.prev) = static_cast<uint32_t>(slot);
    else
        buckets_[hit.bucket] = slot;
    Header(slot) = kEnd;
    ++count_;
    if (count_ >= hashCount_)
        SetHashCount(ContainerCapacity(count_));
    return ItemOf(slot);
}

void* TKvHash::Insert(const void* key)
{
    if (!keyHandler_->OnStoreKey())
        keyHandler_->RaiseContainerError("OnStoreKey not assigned");
    Hit hit = Lookup(key);
    if (hit.slot >= 0)
        return nullptr;
    return AddEntry(key, hit);
}

void* TKvHash::FindOrInsert(const void* key)
{
    if (!keyHandler_->OnStoreKey())
        keyHandler_->RaiseContainerError("OnStoreKey not assigned");
    Hit hit = Lookup(key);
    if (hit.slot >= 0)
        return ItemOf(hit.slot);
    return AddEntry(key, hit);
}

void* TKvHash::Find(const void* key) const
{
    Hit hit = Lookup(key);
    return hit.slot >= 0 ? ItemOf(hit.slot) : nullptr;
}

void* TKvHash::FindBuf(const char16_t* buf, int32_t len) const
{
    TKvHashKeyBuf hash = keyHandler_->OnHashKeyBuf();
    if (!hash)
        keyHandler_->RaiseContainerError("OnHashKeyBuf not assigned");
    TKvSameKeyBuf same = keyHandler_->OnSameKeyBuf();
    if (!same)
        keyHandler_->RaiseContainerError("OnSameKeyBuf not assigned");
    uint32_t bucket = hash(buf, len) % static_cast<uint32_t>(hashCount_);
    for (int32_t i = buckets_[bucket]; i >= 0; i = static_cast<int32_t>(Header(i))) {
        if (same(buf, len, KeyOf(i)))
            return ItemOf(i);
    }
    return nullptr;
}

void TKvHash::Delete(const void* key)
{
    Hit hit = Lookup(key);
    if (hit.slot < 0)
        return;
    int32_t slot = hit.slot;
    if (hit.prev >= 0)
        Header(hit.prev) = Header(slot);
    else
        buckets_[hit.bucket] = static_cast<int32_t>(Header(slot));
    Header(slot) = static_cast<uint32_t>(firstDeleted_) | kDeletedBit;
    firstDeleted_ = slot;
    if (TKvFreeKey freeKey = keyHandler_->OnFreeKey())
        freeKey(KeyOf(slot));
    FreeItem(ItemOf(slot));
    --count_;
    if (count_ < ShrinkThreshold(slotCount_))
        Pack();
}

void TKvHash::SetHashCount(int32_t n)
{
    if (n < count_)
        RaiseContainerError("Invalid HashCount (%d)", n);
    int32_t buckets = n | kInitialHashCount;
    if (buckets == hashCount_)
        return;
    if (!keyHandler_->OnHashKey())
        keyHandler_->RaiseContainerError("OnHashKey not assigned");
    buckets_ = static_cast<int32_t*>(
        KvReallocate(buckets_, static_cast<size_t>(buckets) * sizeof(int32_t)));
    hashCount_ = buckets;
    Rehash();
}

void TKvHash::Rehash()
{
    TKvHashKey hash = keyHandler_->OnHashKey();
    if (!hash)
        keyHandler_->RaiseContainerError("OnHashKey not assigned");
    for (int32_t b = 0; b < hashCount_; ++b)
        buckets_[b] = kNone;
    // Deleted slots keep their headers: the free list survives.
    for (int32_t i = 0; i < slotCount_; ++i) {
        if (!Live(i))
            continue;
        uint32_t b = hash(KeyOf(i)) % static_cast<uint32_t>(hashCount_);
        Header(i) = static_cast<uint32_t>(buckets_[b]);
        buckets_[b] = i;
    }
}

void TKvHash::Pack()
{
    if (firstDeleted_ < 0)
        return;
    if (!keyHandler_->OnHashKey())
        keyHandler_->RaiseContainerError("OnHashKey not assigned");
    int32_t live = 0;
    for (int32_t i = 0; i < slotCount_;) {
        if (!Live(i)) {
            ++i;
            continue;
        }
        int32_t runEnd = i;
        while (runEnd < slotCount_ && Live(runEnd))
            ++runEnd;
        if (live != i)
            std::memmove(Slot(live), Slot(i), static_cast<size_t>(runEnd - i) * slotSize_);
        live += runEnd - i;
        i = runEnd;
    }
    if (live < slotCount_) {
        ResizeSlots(live);
        slotCount_ = live;
    }
    firstDeleted_ = kNone;
    Rehash();
}

bool TKvHash::IsSlotDeleted(int32_t index) const
{
    if (index < 0 || index >= slotCount_)
        RaiseContainerError("List index out of bounds (%d)", index);
    return !Live(index);
}

void* TKvHash::PKeyAtSlot(int32_t index) const
{
    if (IsSlotDeleted(index))
        RaiseContainerError("Item is deleted");
    return KeyOf(index);
}

void* TKvHash::PItemAtSlot(int32_t index) const
{
    if (IsSlotDeleted(index))
        RaiseContainerError("Item is deleted");
    return ItemOf(index);
}

uint32_t TKvHash::SlotHeader(int32_t index) const
{
    if (index < 0 || index >= slotCount_)
        RaiseContainerError("List index out of bounds (%d)", index);
    return Header(index);
}

int32_t TKvHash::BucketHead(int32_t bucket) const
{
    if (bucket < 0 || bucket >= hashCount_)
        RaiseContainerError("List index out of bounds (%d)", bucket);
    return buckets_[bucket];
}

void TKvHash::FreeLiveSlots() noexcept
{
    TKvFreeKey freeKey = keyHandler_->OnFreeKey();
    for (int32_t i = 0; i < slotCount_; ++i) {
        if (!Live(i))
            continue;
        if (freeKey)
            freeKey(KeyOf(i));
        FreeItem(ItemOf(i));
    }
}

void TKvHash::Clear()
{
    if (hashCount_ != kInitialHashCount) {
        buckets_ =
            static_cast<int32_t*>(KvReallocate(buckets_, kInitialHashCount * sizeof(int32_t)));
        hashCount_ = kInitialHashCount;
    }
    for (int32_t b = 0; b < hashCount_; ++b)
        buckets_[b] = kNone;
    FreeLiveSlots();
    KvRelease(slots_);
    slots_ = nullptr;
    slotCount_ = 0;
    count_ = 0;
    firstDeleted_ = kNone;
}

bool TKvHash::Exists(const void* data, TKvSameItems sameItems) const
{
    return FindFirst(data, sameItems) != nullptr;
}

bool TKvHash::ExistsBackward(const void* data, TKvSameItems sameItems) const
{
    return FindLast(data, sameItems) != nullptr;
}

void TKvHash::Iterate(const TKvIterateItems& iterateItems)
{
    CheckIterate(iterateItems);
    for (int32_t i = 0; i < slotCount_; ++i) {
        if (Live(i))
            iterateItems(ItemOf(i));
    }
}

void* TKvHash::FindFirst(const void* data, TKvSameItems sameItems) const
{
    CheckSameItems(sameItems);
    for (int32_t i = 0; i < slotCount_; ++i) {
        if (Live(i) && sameItems(ItemOf(i), data))
            return ItemOf(i);
    }
    return nullptr;
}

void* TKvHash::FindLast(const void* data, TKvSameItems sameItems) const
{
    CheckSameItems(sameItems);
    for (int32_t i = slotCount_ - 1; i >= 0; --i) {
        if (Live(i) && sameItems(ItemOf(i), data))
            return ItemOf(i);
    }
    return nullptr;
}

void TKvHash::RebuildAfterRead()
{
    if (count_ < hashCount_)
        Rehash();
    else
        SetHashCount(ContainerCapacity(count_));
}

void TKvHash::ReadFromFiler(TKvBinaryReader& reader, uint32_t options, void* data)
{
    CheckReadItem();
    TKvReadKey readKey = keyHandler_->OnReadKey();
    if (!readKey)
        keyHandler_->RaiseContainerError("OnReadKey not assigned");
    if (!keyHandler_->OnHashKey())
        keyHandler_->RaiseContainerError("OnHashKey not assigned");
    ReadPrologue(reader, options, "KVHC");
    Clear();
    TKvReadItem readItem = itemHandler_->OnReadItem();
    TKvFreeKey freeKey = keyHandler_->OnFreeKey();
    try {
        uint32_t entries = reader.ReadCardinal();
        // No count reserves memory: a corrupt count ends at the stream's end.
        for (uint32_t n = 0; n < entries; ++n) {
            ResizeSlots(slotCount_ + 1);
            int32_t slot = slotCount_;
            Header(slot) = kEnd;
            std::memset(KeyOf(slot), 0, slotSize_ - keyOffset_);
            bool itemMade = false;
            try {
                readKey(*this, reader, KeyOf(slot), data);
                InitItem(ItemOf(slot));
                itemMade = true;
                readItem(*this, reader, ItemOf(slot), data);
            } catch (...) {
                // The half-read entry is dropped; the ones before it stay.
                if (freeKey)
                    freeKey(KeyOf(slot));
                if (itemMade)
                    FreeItem(ItemOf(slot));
                slots_ = ResizeBlock(slots_, slotCount_ + 1, slotCount_, slotSize_);
                throw;
            }
            ++slotCount_;
            ++count_;
        }
    } catch (...) {
        // Entries were appended unlinked: make the chains whole before the error
        // goes on, so that the entries read stay usable.
        RebuildAfterRead();
        throw;
    }
    RebuildAfterRead();
}

void TKvHash::WriteToFiler(TKvBinaryWriter& writer, uint32_t options, void* data)
{
    CheckWriteItem();
    TKvWriteKey writeKey = keyHandler_->OnWriteKey();
    if (!writeKey)
        keyHandler_->RaiseContainerError("OnWriteKey not assigned");
    WritePrologue(writer, options, "KVHC");
    writer.WriteCardinal(static_cast<uint32_t>(count_));
    TKvWriteItem writeItem = itemHandler_->OnWriteItem();
    for (int32_t i = 0; i < slotCount_; ++i) {
        if (!Live(i))
            continue;
        writeKey(*this, writer, KeyOf(i), data);
        writeItem(*this, writer, ItemOf(i), data);
    }
}

// --- Linear containers: assignment -------------------------------------------------------

void TKvLinearContainer::CheckAssignable(const TKvContainer& source) const
{
    if (source.ItemHandler() != itemHandler_)
        RaiseContainerError("Itemhandlers do not match");
    if (!itemHandler_->OnCopyItem())
        itemHandler_->RaiseContainerError("OnCopyItems not assigned");
}

void TKvLinearContainer::AppendCopies(const TKvContainer& source)
{
    CheckAssignable(source);
    Clear();
    TKvCopyItem copy = itemHandler_->OnCopyItem();
    // The source's forward order; every walk below is iterative.
    if (auto* list = dynamic_cast<const TKvList*>(&source)) {
        for (void* item = list->PFirstItem(); item; item = list->NextItem(item))
            copy(item, InsertLast());
    } else if (auto* tree = dynamic_cast<const TKvTree*>(&source)) {
        for (void* item = tree->PFirstItem(); item; item = tree->NextItem(item))
            copy(item, InsertLast());
    } else if (auto* vector = dynamic_cast<const TKvVector*>(&source)) {
        for (int32_t i = 0; i < vector->Count(); ++i)
            copy(vector->PItemAt(i), InsertLast());
    }
}

void TKvLinearContainer::Assign(const TKvPersistent& source)
{
    if (&source == this)
        return;
    if (dynamic_cast<const TKvList*>(&source) || dynamic_cast<const TKvTree*>(&source) ||
        dynamic_cast<const TKvVector*>(&source)) {
        AppendCopies(static_cast<const TKvContainer&>(source));
        return;
    }
    TKvPersistent::Assign(source);
}

// --- List ------------------------------------------------------------------------------------

namespace {
constexpr size_t kListNodeHeader = sizeof(void*) * 2;
constexpr size_t kTreeNodeHeader = sizeof(void*) * 5;
} // namespace

TKvList::~TKvList()
{
    Guard([&] { Clear(); });
}

void* TKvList::ItemOf(const Node* node)
{
    return const_cast<char*>(reinterpret_cast<const char*>(node)) + kListNodeHeader;
}

TKvList::Node* TKvList::NodeOf(const void* item)
{
    return reinterpret_cast<Node*>(const_cast<char*>(static_cast<const char*>(item)) -
                                   kListNodeHeader);
}

TKvList::Node* TKvList::NewNode(bool atFront)
{
    auto* node = static_cast<Node*>(KvAllocate(kListNodeHeader + SizeOf(itemHandler_->ItemSize())));
    std::memset(node, 0, kListNodeHeader + SizeOf(itemHandler_->ItemSize()));
    if (atFront) {
        node->next = first_;
        if (first_)
            first_->prev = node;
        else
            last_ = node;
        first_ = node;
    } else {
        node->prev = last_;
        if (last_)
            last_->next = node;
        else
            first_ = node;
        last_ = node;
    }
    ++count_;
    return node;
}

void* TKvList::InsertFirst()
{
    void* item = ItemOf(NewNode(true));
    InitItem(item);
    return item;
}

void* TKvList::InsertFirstRaw()
{
    return ItemOf(NewNode(true));
}

void* TKvList::InsertLast()
{
    void* item = ItemOf(NewNode(false));
    InitItem(item);
    return item;
}

void* TKvList::InsertLastRaw()
{
    return ItemOf(NewNode(false));
}

void* TKvList::PFirstItem() const
{
    return first_ ? ItemOf(first_) : nullptr;
}

void* TKvList::PLastItem() const
{
    return last_ ? ItemOf(last_) : nullptr;
}

void* TKvList::NextItem(const void* item) const
{
    Node* next = NodeOf(item)->next;
    return next ? ItemOf(next) : nullptr;
}

void* TKvList::PrevItem(const void* item) const
{
    Node* prev = NodeOf(item)->prev;
    return prev ? ItemOf(prev) : nullptr;
}

void TKvList::DeleteLast()
{
    if (!last_)
        RaiseContainerError("Container is empty");
    Node* node = last_;
    FreeItem(ItemOf(node));
    last_ = node->prev;
    if (last_)
        last_->next = nullptr;
    else
        first_ = nullptr;
    KvRelease(node);
    --count_;
}

void TKvList::Clear()
{
    Node* node = first_;
    first_ = last_ = nullptr;
    while (node) {
        Node* next = node->next;
        FreeItem(ItemOf(node));
        KvRelease(node);
        node = next;
    }
    count_ = 0;
}

bool TKvList::Exists(const void* data, TKvSameItems sameItems) const
{
    return FindFirst(data, sameItems) != nullptr;
}

bool TKvList::ExistsBackward(const void* data, TKvSameItems sameItems) const
{
    return FindLast(data, sameItems) != nullptr;
}

void TKvList::Iterate(const TKvIterateItems& iterateItems)
{
    CheckIterate(iterateItems);
    for (Node* node = first_; node; node = node->next)
        iterateItems(ItemOf(node));
}

void* TKvList::FindFirst(const void* data, TKvSameItems sameItems) const
{
    CheckSameItems(sameItems);
    for (Node* node = first_; node; node = node->next) {
        if (sameItems(ItemOf(node), data))
            return ItemOf(node);
    }
    return nullptr;
}

void* TKvList::FindLast(const void* data, TKvSameItems sameItems) const
{
    CheckSameItems(sameItems);
    for (Node* node = last_; node; node = node->prev) {
        if (sameItems(ItemOf(node), data))
            return ItemOf(node);
    }
    return nullptr;
}

void TKvList::ReadFromFiler(TKvBinaryReader& reader, uint32_t options, void* data)
{
    CheckReadItem();
    ReadPrologue(reader, options, "KVLC");
    Clear();
    TKvReadItem readItem = itemHandler_->OnReadItem();
    int32_t n = reader.ReadInteger();
    for (int32_t i = 0; i < n; ++i) {
        void* item = InsertLast();
        try {
            readItem(*this, reader, item, data);
        } catch (...) {
            DeleteLast();
            throw;
        }
    }
}

void TKvList::WriteToFiler(TKvBinaryWriter& writer, uint32_t options, void* data)
{
    CheckWriteItem();
    WritePrologue(writer, options, "KVLC");
    writer.WriteInteger(count_);
    TKvWriteItem writeItem = itemHandler_->OnWriteItem();
    for (Node* node = first_; node; node = node->next)
        writeItem(*this, writer, ItemOf(node), data);
}

// --- Tree ------------------------------------------------------------------------------------

TKvTree::~TKvTree()
{
    Guard([&] { Clear(); });
}

void* TKvTree::ItemOf(const Node* node)
{
    return const_cast<char*>(reinterpret_cast<const char*>(node)) + kTreeNodeHeader;
}

TKvTree::Node* TKvTree::NodeOf(const void* item)
{
    return reinterpret_cast<Node*>(const_cast<char*>(static_cast<const char*>(item)) -
                                   kTreeNodeHeader);
}

TKvTree::Node* TKvTree::ParentNode(void* parentItem)
{
    return parentItem ? NodeOf(parentItem) : &root_;
}

TKvTree::Node* TKvTree::NewNode(Node* parent, bool atFront, bool init)
{
    size_t bytes = kTreeNodeHeader + SizeOf(itemHandler_->ItemSize());
    auto* node = static_cast<Node*>(KvAllocate(bytes));
    std::memset(node, 0, bytes);
    node->parent = parent;
    if (atFront) {
        node->nextSibling = parent->firstChild;
        if (parent->firstChild)
            parent->firstChild->prevSibling = node;
        else
            parent->lastChild = node;
        parent->firstChild = node;
    } else {
        node->prevSibling = parent->lastChild;
        if (parent->lastChild)
            parent->lastChild->nextSibling = node;
        else
            parent->firstChild = node;
        parent->lastChild = node;
    }
    ++count_;
    if (init)
        InitItem(ItemOf(node));
    return node;
}

void* TKvTree::InsertFirst()
{
    return ItemOf(NewNode(&root_, true, true));
}
void* TKvTree::InsertFirstRaw()
{
    return ItemOf(NewNode(&root_, true, false));
}
void* TKvTree::InsertLast()
{
    return ItemOf(NewNode(&root_, false, true));
}
void* TKvTree::InsertLastRaw()
{
    return ItemOf(NewNode(&root_, false, false));
}
void* TKvTree::InsertFirstChild(void* parentItem)
{
    return ItemOf(NewNode(ParentNode(parentItem), true, true));
}
void* TKvTree::InsertFirstChildRaw(void* parentItem)
{
    return ItemOf(NewNode(ParentNode(parentItem), true, false));
}
void* TKvTree::InsertLastChild(void* parentItem)
{
    return ItemOf(NewNode(ParentNode(parentItem), false, true));
}
void* TKvTree::InsertLastChildRaw(void* parentItem)
{
    return ItemOf(NewNode(ParentNode(parentItem), false, false));
}

const TKvTree::Node* TKvTree::DeepestLast(const Node* node)
{
    while (node->lastChild)
        node = node->lastChild;
    return node;
}

const TKvTree::Node* TKvTree::Next(const Node* node) const
{
    if (node->firstChild)
        return node->firstChild;
    while (node != &root_) {
        if (node->nextSibling)
            return node->nextSibling;
        node = node->parent;
    }
    return nullptr;
}

const TKvTree::Node* TKvTree::Prev(const Node* node) const
{
    if (node->prevSibling)
        return DeepestLast(node->prevSibling);
    return node->parent == &root_ ? nullptr : node->parent;
}

void* TKvTree::PFirstItem() const
{
    return root_.firstChild ? ItemOf(root_.firstChild) : nullptr;
}

void* TKvTree::PLastItem() const
{
    return root_.lastChild ? ItemOf(DeepestLast(root_.lastChild)) : nullptr;
}

void* TKvTree::NextItem(const void* item) const
{
    const Node* next = Next(NodeOf(item));
    return next ? ItemOf(next) : nullptr;
}

void* TKvTree::PrevItem(const void* item) const
{
    const Node* prev = Prev(NodeOf(item));
    return prev ? ItemOf(prev) : nullptr;
}

void* TKvTree::ParentItem(const void* item) const
{
    const Node* parent = NodeOf(item)->parent;
    return parent == &root_ ? nullptr : ItemOf(parent);
}

void* TKvTree::FirstChildItem(const void* item) const
{
    const Node* child = NodeOf(item)->firstChild;
    return child ? ItemOf(child) : nullptr;
}

void* TKvTree::NextSiblingItem(const void* item) const
{
    const Node* next = NodeOf(item)->nextSibling;
    return next ? ItemOf(next) : nullptr;
}

void TKvTree::Clear()
{
    // Each child list from its last child to its first, every child's subtree
    // before the child itself.
    Node* node = root_.lastChild;
    while (node) {
        while (node->lastChild)
            node = node->lastChild;
        Node* prev = node->prevSibling;
        Node* parent = node->parent;
        parent->lastChild = prev;
        if (prev)
            prev->nextSibling = nullptr;
        else
            parent->firstChild = nullptr;
        FreeItem(ItemOf(node));
        KvRelease(node);
        --count_;
        node = prev ? prev : (parent == &root_ ? nullptr : parent);
    }
    root_.firstChild = root_.lastChild = nullptr;
    count_ = 0;
}

void TKvTree::DropLastLeaf(Node* node) noexcept
{
    Node* parent = node->parent;
    parent->lastChild = node->prevSibling;
    if (node->prevSibling)
        node->prevSibling->nextSibling = nullptr;
    else
        parent->firstChild = nullptr;
    FreeItem(ItemOf(node));
    KvRelease(node);
    --count_;
}

void TKvTree::Assign(const TKvPersistent& source)
{
    auto* tree = dynamic_cast<const TKvTree*>(&source);
    if (!tree || tree == this) {
        TKvLinearContainer::Assign(source);
        return;
    }
    CheckAssignable(*tree);
    Clear();
    TKvCopyItem copy = itemHandler_->OnCopyItem();
    // Pre-order walk of the source; parent is always the copy of the source
    // node's parent.
    const Node* src = tree->root_.firstChild;
    Node* parent = &root_;
    while (src) {
        Node* made = NewNode(parent, false, true);
        copy(ItemOf(src), ItemOf(made));
        if (src->firstChild) {
            parent = made;
            src = src->firstChild;
            continue;
        }
        while (src != &tree->root_ && !src->nextSibling) {
            src = src->parent;
            parent = parent->parent;
        }
        src = src == &tree->root_ ? nullptr : src->nextSibling;
    }
}

bool TKvTree::Exists(const void* data, TKvSameItems sameItems) const
{
    return FindFirst(data, sameItems) != nullptr;
}

bool TKvTree::ExistsBackward(const void* data, TKvSameItems sameItems) const
{
    return FindLast(data, sameItems) != nullptr;
}

void TKvTree::Iterate(const TKvIterateItems& iterateItems)
{
    CheckIterate(iterateItems);
    for (const Node* node = root_.firstChild; node; node = Next(node))
        iterateItems(ItemOf(node));
}

void* TKvTree::FindFirst(const void* data, TKvSameItems sameItems) const
{
    CheckSameItems(sameItems);
    for (const Node* node = root_.firstChild; node; node = Next(node)) {
        if (sameItems(ItemOf(node), data))
            return ItemOf(node);
    }
    return nullptr;
}

void* TKvTree::FindLast(const void* data, TKvSameItems sameItems) const
{
    CheckSameItems(sameItems);
    if (!root_.lastChild)
        return nullptr;
    for (const Node* node = DeepestLast(root_.lastChild); node; node = Prev(node)) {
        if (sameItems(ItemOf(node), data))
            return ItemOf(node);
    }
    return nullptr;
}

void TKvTree::ReadFromFiler(TKvBinaryReader& reader, uint32_t options, void* data)
{
    CheckReadItem();
    ReadPrologue(reader, options, "KVTC");
    Clear();
    TKvReadItem readItem = itemHandler_->OnReadItem();
    struct Pending {
        Node* parent;
        int32_t remaining;
    };
    // One entry per open level instead of one stack frame.
    std::vector<Pending> open;
    open.push_back({&root_, reader.ReadInteger()});
    while (!open.empty()) {
        Pending& top = open.back();
        if (top.remaining <= 0) {
            open.pop_back();
            continue;
        }
        --top.remaining;
        Node* node = NewNode(top.parent, false, true);
        int32_t children = 0;
        try {
            children = reader.ReadInteger();
            readItem(*this, reader, ItemOf(node), data);
        } catch (...) {
            // The half-read node goes; the nodes read before it stay.
            DropLastLeaf(node);
            throw;
        }
        open.push_back({node, children});
    }
}

void TKvTree::WriteToFiler(TKvBinaryWriter& writer, uint32_t options, void* data)
{
    CheckWriteItem();
    WritePrologue(writer, options, "KVTC");
    auto childCount = [](const Node* parent) {
        int32_t n = 0;
        for (const Node* c = parent->firstChild; c; c = c->nextSibling)
            ++n;
        return n;
    };
    writer.WriteInteger(childCount(&root_));
    TKvWriteItem writeItem = itemHandler_->OnWriteItem();
    // Pre-order is exactly the layout: a node's child count and item, then its
    // children, each as a node.
    for (const Node* node = root_.firstChild; node; node = Next(node)) {
        writer.WriteInteger(childCount(node));
        writeItem(*this, writer, ItemOf(node), data);
    }
}

// --- Vector ----------------------------------------------------------------------------------

TKvVector::TKvVector(TKvItemHandler* itemHandler, const char* className)
    : TKvLinearContainer(itemHandler, className), itemSize_(SizeOf(itemHandler->ItemSize()))
{
}

TKvVector::~TKvVector()
{
    Guard([&] { Clear(); });
}

void TKvVector::Resize(int32_t newCount)
{
    items_ = ResizeBlock(items_, count_, newCount, itemSize_);
}

void TKvVector::CheckIndex(int32_t index) const
{
    if (index < 0 || index >= count_)
        RaiseContainerError("List index out of bounds (%d)", index);
}

void* TKvVector::InsertFirstRaw()
{
    Resize(count_ + 1);
    if (count_ > 0)
        std::memmove(ItemAt(1), ItemAt(0), static_cast<size_t>(count_) * itemSize_);
    std::memset(ItemAt(0), 0, itemSize_);
    ++count_;
    return ItemAt(0);
}

void* TKvVector::InsertFirst()
{
    void* item = InsertFirstRaw();
    InitItem(item);
    return item;
}

void* TKvVector::InsertLastRaw()
{
    Resize(count_ + 1);
    void* item = ItemAt(count_);
    std::memset(item, 0, itemSize_);
    ++count_;
    return item;
}

void* TKvVector::InsertLast()
{
    void* item = InsertLastRaw();
    InitItem(item);
    return item;
}

void* TKvVector::PFirstItem() const
{
    if (count_ == 0)
        RaiseContainerError("List index out of bounds (%d)", 0);
    return ItemAt(0);
}

void* TKvVector::PLastItem() const
{
    if (count_ == 0)
        RaiseContainerError("List index out of bounds (%d)", 0);
    return ItemAt(count_ - 1);
}

void* TKvVector::PItemAt(int32_t index) const
{
    CheckIndex(index);
    return ItemAt(index);
}

void TKvVector::Delete(int32_t index)
{
    CheckIndex(index);
    FreeItem(ItemAt(index));
    if (index < count_ - 1)
        std::memmove(ItemAt(index), ItemAt(index + 1),
                     static_cast<size_t>(count_ - 1 - index) * itemSize_);
    Resize(count_ - 1);
    --count_;
}

int32_t TKvVector::IndexOf(const void* data, TKvSameItems sameItems) const
{
    CheckSameItems(sameItems);
    for (int32_t i = 0; i < count_; ++i) {
        if (sameItems(ItemAt(i), data))
            return i;
    }
    return -1;
}

void TKvVector::SetCount(int32_t n)
{
    if (n < 0)
        RaiseContainerError("List index out of bounds (%d)", n);
    if (n > count_) {
        Resize(n);
        std::memset(ItemAt(count_), 0, static_cast<size_t>(n - count_) * itemSize_);
        int32_t old = count_;
        count_ = n;
        for (int32_t i = old; i < n; ++i)
            InitItem(ItemAt(i));
    } else if (n < count_) {
        for (int32_t i = count_ - 1; i >= n; --i)
            FreeItem(ItemAt(i));
        Resize(n);
        count_ = n;
    }
}

void TKvVector::Assign(const TKvPersistent& source)
{
    auto* vector = dynamic_cast<const TKvVector*>(&source);
    if (!vector || vector == this) {
        TKvLinearContainer::Assign(source);
        return;
    }
    CheckAssignable(*vector);
    // Not cleared: resized to the source's count and overwritten item by item.
    SetCount(vector->Count());
    TKvCopyItem copy = itemHandler_->OnCopyItem();
    for (int32_t i = 0; i < count_; ++i)
        copy(vector->ItemAt(i), ItemAt(i));
}

void TKvVector::Clear()
{
    for (int32_t i = 0; i < count_; ++i)
        FreeItem(ItemAt(i));
    KvRelease(items_);
    items_ = nullptr;
    count_ = 0;
}

bool TKvVector::Exists(const void* data, TKvSameItems sameItems) const
{
    return IndexOf(data, sameItems) >= 0;
}

bool TKvVector::ExistsBackward(const void* data, TKvSameItems sameItems) const
{
    return FindLast(data, sameItems) != nullptr;
}

void TKvVector::Iterate(const TKvIterateItems& iterateItems)
{
    CheckIterate(iterateItems);
    for (int32_t i = 0; i < count_; ++i)
        iterateItems(ItemAt(i));
}

void* TKvVector::FindFirst(const void* data, TKvSameItems sameItems) const
{
    int32_t i = IndexOf(data, sameItems);
    return i >= 0 ? ItemAt(i) : nullptr;
}

void* TKvVector::FindLast(const void* data, TKvSameItems sameItems) const
{
    CheckSameItems(sameItems);
    for (int32_t i = count_ - 1; i >= 0; --i) {
        if (sameItems(ItemAt(i), data))
            return ItemAt(i);
    }
    return nullptr;
}

void TKvVector::ReadFromFiler(TKvBinaryReader& reader, uint32_t options, void* data)
{
    CheckReadItem();
    ReadPrologue(reader, options, "KVVC");
    Clear();
    TKvReadItem readItem = itemHandler_->OnReadItem();
    int32_t n = reader.ReadInteger();
    for (int32_t i = 0; i < n; ++i) {
        void* item = InsertLast();
        try {
            readItem(*this, reader, item, data);
        } catch (...) {
            Delete(count_ - 1);
            throw;
        }
    }
}

void TKvVector::WriteToFiler(TKvBinaryWriter& writer, uint32_t options, void* data)
{
    CheckWriteItem();
    WritePrologue(writer, options, "KVVC");
    writer.WriteInteger(count_);
    TKvWriteItem writeItem = itemHandler_->OnWriteItem();
    for (int32_t i = 0; i < count_; ++i)
        writeItem(*this, writer, ItemAt(i), data);
}
