#include "controls/KvCardinalHash.h"

#include "controls/KvFiler.h"
#include "controls/KvWideStringVector.h"

#include <cstring>

namespace {

void InitCardinal(void* item)
{
    *static_cast<uint32_t*>(item) = 0;
}

void CopyCardinal(const void* source, void* dest)
{
    std::memcpy(dest, source, sizeof(uint32_t));
}

void ReadCardinalItem(TKvContainer& container, TKvBinaryReader& reader, void* item, void*)
{
    *static_cast<uint32_t*>(item) = reader.ReadCardinal();
    KvReadItemTail(container, reader, item, sizeof(uint32_t));
}

void WriteCardinalItem(TKvContainer& container, TKvBinaryWriter& writer, const void* item, void*)
{
    writer.WriteCardinal(*static_cast<const uint32_t*>(item));
    KvWriteItemTail(container, writer, item, sizeof(uint32_t));
}

uint32_t HashCardinalKey(const void* key)
{
    return HashCardinal(*static_cast<const uint32_t*>(key));
}

bool SameCardinalKeys(const void* a, const void* b)
{
    return *static_cast<const uint32_t*>(a) == *static_cast<const uint32_t*>(b);
}

void ReadCardinalKey(TKvContainer&, TKvBinaryReader& reader, void* key, void*)
{
    *static_cast<uint32_t*>(key) = reader.ReadCardinal();
}

void WriteCardinalKey(TKvContainer&, TKvBinaryWriter& writer, const void* key, void*)
{
    writer.WriteCardinal(*static_cast<const uint32_t*>(key));
}

} // namespace

uint32_t HashCardinal(uint32_t k) noexcept
{
    k += k << 12;
    k ^= k >> 22;
    k += k << 4;
    k ^= k >> 9;
    k += k << 10;
    k ^= k >> 2;
    k += k << 7;
    k ^= k >> 12;
    return k;
}

TKvItemHandler* KvCardinalItemHandler()
{
    static TKvItemHandler* handler = [] {
        auto* h = new TKvItemHandler();
        h->SetItemSize(sizeof(uint32_t));
        h->SetOnInitItem(&InitCardinal);
        h->SetOnCopyItem(&CopyCardinal);
        h->SetOnReadItem(&ReadCardinalItem);
        h->SetOnWriteItem(&WriteCardinalItem);
        h->SetOnReadHeader(&KvReadItemSizeHeader);
        h->SetOnWriteHeader(&KvWriteItemSizeHeader);
        KvRegisterSharedHandler(h);
        return h;
    }();
    return handler;
}

TKvKeyHandler* KvCardinalKeyHandler()
{
    static TKvKeyHandler* handler = [] {
        auto* h = new TKvKeyHandler();
        h->SetKeySize(sizeof(uint32_t));
        h->SetOnHashKey(&HashCardinalKey);
        h->SetOnSameKeys(&SameCardinalKeys);
        h->SetOnStoreKey(&CopyCardinal);
        h->SetOnReadKey(&ReadCardinalKey);
        h->SetOnWriteKey(&WriteCardinalKey);
        KvRegisterSharedHandler(h);
        return h;
    }();
    return handler;
}

uint32_t TKvCardinalHash::CardinalOfKeyBuf(const char16_t* buf, int32_t len) const
{
    void* item = FindBuf(buf, len);
    return item ? *static_cast<uint32_t*>(item) : 0;
}
