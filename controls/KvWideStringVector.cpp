#include "controls/KvWideStringVector.h"

#include "controls/KvFiler.h"

#include <new>

namespace {

void InitString(void* item)
{
    new (item) WideString();
}

void FreeString(void* item)
{
    static_cast<WideString*>(item)->~WideString();
    new (item) WideString();
}

void CopyString(const void* source, void* dest)
{
    *static_cast<WideString*>(dest) = *static_cast<const WideString*>(source);
}

void ReadString(TKvContainer& container, TKvBinaryReader& reader, void* item, void*)
{
    *static_cast<WideString*>(item) = reader.ReadWideString();
    KvReadItemTail(container, reader, item, sizeof(WideString));
}

void WriteString(TKvContainer& container, TKvBinaryWriter& writer, const void* item, void*)
{
    writer.WriteWideString(*static_cast<const WideString*>(item));
    KvWriteItemTail(container, writer, item, sizeof(WideString));
}

} // namespace

void KvWriteItemSizeHeader(TKvContainer& container, TKvBinaryWriter& writer)
{
    writer.WriteInteger(container.ItemHandler()->ItemSize());
}

void KvReadItemSizeHeader(TKvContainer& container, TKvBinaryReader& reader)
{
    int32_t size = reader.ReadInteger();
    if (size != container.ItemHandler()->ItemSize())
        container.RaiseContainerError("Invalid ItemSize (%d)", size);
}

void KvWriteItemTail(TKvContainer& container, TKvBinaryWriter& writer, const void* item,
                     size_t used)
{
    int32_t size = container.ItemHandler()->ItemSize();
    if (size > static_cast<int32_t>(used))
        writer.WriteBuffer(static_cast<const char*>(item) + used,
                           size - static_cast<int32_t>(used));
}

void KvReadItemTail(TKvContainer& container, TKvBinaryReader& reader, void* item, size_t used)
{
    int32_t size = container.ItemHandler()->ItemSize();
    if (size > static_cast<int32_t>(used))
        reader.ReadBuffer(static_cast<char*>(item) + used, size - static_cast<int32_t>(used));
}

TKvItemHandler* KvWideStringItemHandler()
{
    static TKvItemHandler* handler = [] {
        auto* h = new TKvItemHandler();
        h->SetItemSize(sizeof(WideString));
        h->SetOnInitItem(&InitString);
        h->SetOnFreeItem(&FreeString);
        h->SetOnCopyItem(&CopyString);
        h->SetOnReadItem(&ReadString);
        h->SetOnWriteItem(&WriteString);
        h->SetOnReadHeader(&KvReadItemSizeHeader);
        h->SetOnWriteHeader(&KvWriteItemSizeHeader);
        KvRegisterSharedHandler(h);
        return h;
    }();
    return handler;
}
