#pragma once
// Hashes whose items are 32-bit unsigned numbers, and the unsigned key handler.

#include "controls/KvContainers.h"

// K += K shl 12; K ^= K shr 22; ... with logical shifts and wrap-around.
uint32_t HashCardinal(uint32_t k) noexcept;

// The shared unsigned item handler: init 0, copy 4 bytes; read and write one
// unsigned element, then the rest of ItemSize raw; header: the ItemSize check.
TKvItemHandler* KvCardinalItemHandler();
// The shared unsigned key handler: HashCardinal, equal numbers, copy; read and
// write one unsigned element.
TKvKeyHandler* KvCardinalKeyHandler();

class TKvCardinalHash : public TKvHash {
public:
    explicit TKvCardinalHash(TKvKeyHandler* keyHandler)
        : TKvHash(KvCardinalItemHandler(), keyHandler, "TKvCardinalHash")
    {
    }
    const char* ClassName() const override { return "TKvCardinalHash"; }
    // The number stored for the key; 0 when absent.
    uint32_t CardinalOfKeyBuf(const char16_t* buf, int32_t len) const;
};
