#include "controls/KvWideStringHash.h"

#include "controls/KvFiler.h"
#include "controls/KvWideStringVector.h"

#include <new>

namespace {

const WideString& Key(const void* key)
{
    return *static_cast<const WideString*>(key);
}

uint32_t HashKey(const void* key)
{
    return HashWideString(Key(key));
}

uint32_t HashKeyCI(const void* key)
{
    return HashWideStringCI(Key(key));
}

bool SameKeys(const void* a, const void* b)
{
    return WideSameStr(Key(a), Key(b));
}

bool SameKeysCI(const void* a, const void* b)
{
    return WideSameText(Key(a), Key(b));
}

bool SameKeyBuf(const char16_t* buf, int32_t len, const void* stored)
{
    return WideSameBufStr(buf, len, Key(stored));
}

bool SameKeyBufCI(const char16_t* buf, int32_t len, const void* stored)
{
    return WideSameBufText(buf, len, Key(stored));
}

void StoreKey(const void* source, void* dest)
{
    *static_cast<WideString*>(dest) = Key(source);
}

void StoreKeyBuf(const char16_t* buf, int32_t len, void* dest)
{
    *static_cast<WideString*>(dest) = WideString(buf, len);
}

void FreeKey(void* key)
{
    static_cast<WideString*>(key)->Clear();
}

void ReadKey(TKvContainer&, TKvBinaryReader& reader, void* key, void*)
{
    *static_cast<WideString*>(key) = reader.ReadWideString();
}

void WriteKey(TKvContainer&, TKvBinaryWriter& writer, const void* key, void*)
{
    writer.WriteWideString(Key(key));
}

TKvKeyHandler* MakeKeyHandler(bool caseInsensitive)
{
    auto* h = new TKvKeyHandler();
    h->SetKeySize(sizeof(WideString));
    h->SetOnHashKey(caseInsensitive ? &HashKeyCI : &HashKey);
    h->SetOnHashKeyBuf(caseInsensitive ? &HashWideBufCI : &HashWideBuf);
    h->SetOnSameKeys(caseInsensitive ? &SameKeysCI : &SameKeys);
    h->SetOnSameKeyBuf(caseInsensitive ? &SameKeyBufCI : &SameKeyBuf);
    h->SetOnStoreKey(&StoreKey);
    h->SetOnStoreKeyBuf(&StoreKeyBuf);
    h->SetOnFreeKey(&FreeKey);
    h->SetOnReadKey(&ReadKey);
    h->SetOnWriteKey(&WriteKey);
    KvRegisterSharedHandler(h);
    return h;
}

} // namespace

uint32_t HashWideBuf(const char16_t* buf, int32_t len) noexcept
{
    uint32_t h = 0;
    for (int32_t i = 0; i < len; ++i)
        h = h * 31 + buf[i];
    return h;
}

uint32_t HashWideBufCI(const char16_t* buf, int32_t len) noexcept
{
    uint32_t h = 0;
    for (int32_t i = 0; i < len; ++i)
        h = h * 31 + WideFold(buf[i]);
    return h;
}

uint32_t HashWideString(const WideString& s) noexcept
{
    return HashWideBuf(s.Data(), s.Length());
}

uint32_t HashWideStringCI(const WideString& s) noexcept
{
    return HashWideBufCI(s.Data(), s.Length());
}

TKvKeyHandler* KvWideStringKeyHandler()
{
    static TKvKeyHandler* handler = MakeKeyHandler(false);
    return handler;
}

TKvKeyHandler* KvWideStringKeyHandlerCI()
{
    static TKvKeyHandler* handler = MakeKeyHandler(true);
    return handler;
}

TKvWideStringHash::TKvWideStringHash(TKvKeyHandler* keyHandler)
    : TKvHash(KvWideStringItemHandler(), keyHandler, "TKvWideStringHash")
{
}
