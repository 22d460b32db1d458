#pragma once
// A vector of (name, value, id) records: the base of the tokenizer's tag pieces.

#include "controls/KvWideString2Vector.h"

struct TKvNameValueID {
    WideString Name;
    WideString Value;
    uint32_t ID;
};

// Moved as raw bytes by the vector: 12 bytes on the 32-bit target.
static_assert(sizeof(void*) != 4 || sizeof(TKvNameValueID) == 12);

// The shared name/value/id item handler: init all zero, free releases both
// strings, copy assigns both strings and the id; read and write two WideString
// elements and one unsigned element, then the rest of ItemSize raw; header: the
// ItemSize check.
TKvItemHandler* KvNameValueIDItemHandler();

class TKvWideString2CardinalVector : public TKvWideString2Vector {
public:
    TKvWideString2CardinalVector()
        : TKvWideString2Vector(KvNameValueIDItemHandler(), "TKvWideString2CardinalVector")
    {
    }
    const char* ClassName() const override { return "TKvWideString2CardinalVector"; }

    TKvNameValueID& At(int32_t index) const
    {
        return *static_cast<TKvNameValueID*>(PItemAt(index));
    }
    // Appends a record and returns it.
    TKvNameValueID& Add(const WideString& name, const WideString& value, uint32_t id);
    // Index of the first item with that id, -1 when none.
    int32_t IndexOfID(uint32_t id) const;
    TKvNameValueID* FindByID(uint32_t id) const;
    // The first such item's value; empty when none.
    WideString ValueOfID(uint32_t id) const;
    // Index checked.
    const WideString& ValueAt(int32_t index) const { return At(index).Value; }

protected:
    TKvWideString2CardinalVector(TKvItemHandler* itemHandler, const char* className)
        : TKvWideString2Vector(itemHandler, className)
    {
    }
};
