#pragma once
// Hashes of WideString items, and the two WideString key handlers (exact and
// case-insensitive), whose keys can also be looked up by a character buffer.

#include "controls/KvContainers.h"

// H = H * 31 + c over the code units (32-bit wrap-around); '' gives 0. The CI
// forms fold every unit first. A buffer and a string of the same units hash alike.
uint32_t HashWideString(const WideString& s) noexcept;
uint32_t HashWideStringCI(const WideString& s) noexcept;
uint32_t HashWideBuf(const char16_t* buf, int32_t len) noexcept;
uint32_t HashWideBufCI(const char16_t* buf, int32_t len) noexcept;

// Keys are WideStrings: store assigns, store from a buffer makes a new string,
// free releases, read and write one WideString element.
TKvKeyHandler* KvWideStringKeyHandler();
// The same with folded hashes and case-insensitive equality.
TKvKeyHandler* KvWideStringKeyHandlerCI();

class TKvWideStringHash : public TKvHash {
public:
    explicit TKvWideStringHash(TKvKeyHandler* keyHandler);
    const char* ClassName() const override { return "TKvWideStringHash"; }
};
