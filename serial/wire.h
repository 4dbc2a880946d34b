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
    uint8_t SwapIfBigEndian(uint8_t ucValue) const { return ucValue; }
    uint16_t SwapIfBigEndian(uint16_t usValue) const {
        return bSwap ? __builtin_bswap16(usValue) : usValue;
    }
    uint32_t SwapIfBigEndian(uint32_t uiValue) const {
        return bSwap ? __builtin_bswap32(uiValue) : uiValue;
    }
    uint64_t SwapIfBigEndian(uint64_t ullValue) const {
        return bSwap ? __builtin_bswap64(ullValue) : ullValue;
    }

    template <class T>
    void Store(uint8_t *pucAt, T value) const {
        value = SwapIfBigEndian(value);
        memcpy(pucAt, &value, sizeof value);
    }
    template <class T>
    T Load(const uint8_t *pucAt) const {
        T value;
        memcpy(&value, pucAt, sizeof value);
        return SwapIfBigEndian(value);
    }
};

// Record fields are reached by byte offset from a record's address.
template <class T>
T ReadMember(const uint8_t *pucRec, uint32_t uiOffset) {
    T value;
    memcpy(&value, pucRec + uiOffset, sizeof value);
    return value;
}
template <class T>
void WriteMember(uint8_t *pucRec, uint32_t uiOffset, T value) {
    memcpy(pucRec + uiOffset, &value, sizeof value);
}

}  // namespace korvo

#endif
