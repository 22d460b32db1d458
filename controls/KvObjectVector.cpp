#include "platform/ClassesU.h"

#include "controls/KvObjectVector.h"

namespace {

void InitObject(void* item)
{
    *static_cast<TObject**>(item) = nullptr;
}

void FreeObject(void* item)
{
    TObject*& obj = *static_cast<TObject**>(item);
    delete obj;
    obj = nullptr;
}

void CopyObject(const void* source, void* dest)
{
    *static_cast<TObject**>(dest) = *static_cast<TObject* const*>(source);
}

} // namespace

TKvItemHandler* KvObjectItemHandler()
{
    static TKvItemHandler* handler = [] {
        auto* h = new TKvItemHandler();
        h->SetItemSize(sizeof(TObject*));
        h->SetOnInitItem(&InitObject);
        h->SetOnFreeItem(&FreeObject);
        h->SetOnCopyItem(&CopyObject);
        KvRegisterSharedHandler(h);
        return h;
    }();
    return handler;
}

void TKvObjectVector::AddObject(TObject* obj)
{
    *static_cast<TObject**>(InsertLast()) = obj;
}

TObject* TKvObjectVector::GetObject(int32_t index) const
{
    return *static_cast<TObject**>(PItemAt(index));
}
