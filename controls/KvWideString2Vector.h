#pragma once
// The intermediate class of the vectors whose items begin with two WideStrings.

#include "controls/KvContainers.h"

class TKvWideString2Vector : public TKvVector {
public:
    const char* ClassName() const override { return "TKvWideString2Vector"; }

protected:
    TKvWideString2Vector(TKvItemHandler* itemHandler, const char* className)
        : TKvVector(itemHandler, className)
    {
    }
};
