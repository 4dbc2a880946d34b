// Loads and stores of KORVO values: little-endian in the buffer, at any
// alignment, byte-swapped when the host is big-endian. memcpy keeps every
// access free of alignment and aliasing assumptions; compilers turn it into
// a plain (unaligned) load or store.
#ifndef KORVO_WIRE_H
#define KORVO_WIRE_H

#include <stdint.h>
#include <string.h>

namespace korvo {

struct ByteOrder {
    bool bSwap;  // the host is big-endian: swap every multi-byte value

    // Host order to the buffer's little-endian order and back: the same swap.
    uint8_t SwapIfBigEndian(uint8_t v) const { return v; }
    uint16_t SwapIfBigEndian(uint16_t v) const { return bSwap ? __builtin_bswap16(v) : v; }
    uint32_t SwapIfBigEndian(uint32_t v) const { return bSwap ? __builtin_bswap32(v) : v; }
    uint64_t SwapIfBigEndian(uint64_t v) const { return bSwap ? __builtin_bswap64(v) : v; }

    template <class T>
    void Store(uint8_t *p, T v) const {
        v = SwapIfBigEndian(v);
        memcpy(p, &v, sizeof v);
    }
    template <class T>
    T Load(const uint8_t *p) const {
        T v;
        memcpy(&v, p, sizeof v);
        return SwapIfBigEndian(v);
    }
};

// Record fields are reached by byte offset from a record's address.
template <class T>
T ReadMember(const uint8_t *pucRec, uint32_t uiOffset) {
    T v;
    memcpy(&v, pucRec + uiOffset, sizeof v);
    return v;
}
template <class T>
void WriteMember(uint8_t *pucRec, uint32_t uiOffset, T v) {
    memcpy(pucRec + uiOffset, &v, sizeof v);
}

}  // namespace korvo

#endif
