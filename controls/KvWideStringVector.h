#pragma once
// A vector of WideStrings with the shared WideString item handler.

#include "controls/KvContainers.h"

// The shared WideString item handler: init empty, free releases, copy assigns;
// read and write one WideString element and then the rest of ItemSize raw; the
// header is the ItemSize check.
TKvItemHandler* KvWideStringItemHandler();

// Header callbacks shared by the item handlers of these units: ItemSize as an
// integer element; reading a different size raises "Invalid ItemSize (%d)"
// against the container.
void KvWriteItemSizeHeader(TKvContainer& container, TKvBinaryWriter& writer);
void KvReadItemSizeHeader(TKvContainer& container, TKvBinaryReader& reader);
// Writes or reads the bytes of an item beyond its first `used` bytes raw.
void KvWriteItemTail(TKvContainer& container, TKvBinaryWriter& writer, const void* item,
                     size_t used);
void KvReadItemTail(TKvContainer& container, TKvBinaryReader& reader, void* item, size_t used);

class TKvWideStringVector : public TKvVector {
public:
    TKvWideStringVector() : TKvVector(KvWideStringItemHandler(), "TKvWideStringVector") {}
    const char* ClassName() const override { return "TKvWideStringVector"; }
    void Add(const WideString& s) { *static_cast<WideString*>(InsertLast()) = s; }
    const WideString& At(int32_t index) const { return *static_cast<WideString*>(PItemAt(index)); }
};
