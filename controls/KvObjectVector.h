#pragma once
// A vector of object references whose shared handler owns the objects: Clear,
// Delete and SetCount free the objects they drop.

#include "controls/KvContainers.h"

class TObject;

// <windows.h> maps GetObject to GetObjectW; the GDI call is written with its
// suffix in this code base, so the name is freed for the vector's accessor.
// Units that also include <windows.h> include it before this header.
#ifdef GetObject
#undef GetObject
#endif

static_assert(sizeof(void*) != 4 || sizeof(TObject*) == 4);

// The shared object item handler: init nil, free deletes the object, copy
// copies the reference; no read or write.
TKvItemHandler* KvObjectItemHandler();

class TKvObjectVector : public TKvVector {
public:
    TKvObjectVector() : TKvVector(KvObjectItemHandler(), "TKvObjectVector") {}
    const char* ClassName() const override { return "TKvObjectVector"; }
    // Appends obj; the vector owns it from then on.
    void AddObject(TObject* obj);
    TObject* GetObject(int32_t index) const;
};
