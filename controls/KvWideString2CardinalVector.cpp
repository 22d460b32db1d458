#include "controls/KvWideString2CardinalVector.h"

#include "controls/KvFiler.h"
#include "controls/KvWideStringVector.h"

#include <new>

namespace {

void InitRecord(void* item)
{
    new (item) TKvNameValueID{};
}

void FreeRecord(void* item)
{
    auto* r = static_cast<TKvNameValueID*>(item);
    r->Name.Clear();
    r->Value.Clear();
}

void CopyRecord(const void* source, void* dest)
{
    auto* s = static_cast<const TKvNameValueID*>(source);
    auto* d = static_cast<TKvNameValueID*>(dest);
    d->Name = s->Name;
    d->Value = s->Value;
    d->ID = s->ID;
}

void ReadRecord(TKvContainer& container, TKvBinaryReader& reader, void* item, void*)
{
    auto* r = static_cast<TKvNameValueID*>(item);
    r->Name = reader.ReadWideString();
    r->Value = reader.ReadWideString();
    r->ID = reader.ReadCardinal();
    KvReadItemTail(container, reader, item, sizeof(TKvNameValueID));
}

void WriteRecord(TKvContainer& container, TKvBinaryWriter& writer, const void* item, void*)
{
    auto* r = static_cast<const TKvNameValueID*>(item);
    writer.WriteWideString(r->Name);
    writer.WriteWideString(r->Value);
    writer.WriteCardinal(r->ID);
    KvWriteItemTail(container, writer, item, sizeof(TKvNameValueID));
}

bool SameID(const void* item, const void* data)
{
    return static_cast<const TKvNameValueID*>(item)->ID == *static_cast<const uint32_t*>(data);
}

} // namespace

TKvItemHandler* KvNameValueIDItemHandler()
{
    static TKvItemHandler* handler = [] {
        auto* h = new TKvItemHandler();
        h->SetItemSize(sizeof(TKvNameValueID));
        h->SetOnInitItem(&InitRecord);
        h->SetOnFreeItem(&FreeRecord);
        h->SetOnCopyItem(&CopyRecord);
        h->SetOnReadItem(&ReadRecord);
        h->SetOnWriteItem(&WriteRecord);
        h->SetOnReadHeader(&KvReadItemSizeHeader);
        h->SetOnWriteHeader(&KvWriteItemSizeHeader);
        KvRegisterSharedHandler(h);
        return h;
    }();
    return handler;
}

TKvNameValueID& TKvWideString2CardinalVector::Add(const WideString& name, const WideString& value,
                                                  uint32_t id)
{
    auto* r = static_cast<TKvNameValueID*>(InsertLast());
    r->Name = name;
    r->Value = value;
    r->ID = id;
    return *r;
}

int32_t TKvWideString2CardinalVector::IndexOfID(uint32_t id) const
{
    return IndexOf(&id, &SameID);
}

TKvNameValueID* TKvWideString2CardinalVector::FindByID(uint32_t id) const
{
    return static_cast<TKvNameValueID*>(FindFirst(&id, &SameID));
}

WideString TKvWideString2CardinalVector::ValueOfID(uint32_t id) const
{
    TKvNameValueID* r = FindByID(id);
    return r ? r->Value : WideString();
}
