// Writes KORVO buffers for the tests by hand: Image puts values at explicit
// positions, so that a test reads like a hex dump with its explanation. Whole
// records in chosen layouts come from the host's record writer.
#ifndef PSS_TEST_KORVO_BUILDER_H
#define PSS_TEST_KORVO_BUILDER_H

#include <stdint.h>
#include <string.h>

#include <initializer_list>
#include <vector>

#include "host/record_writer.h"

namespace pss_test {

using pss_host::Layout;
using pss_host::WriteRecord;

// A buffer that grows to whatever is written into it, little-endian throughout.
struct Image {
    std::vector<uint8_t> bytes;

    Image() = default;
    explicit Image(size_t uiSize) : bytes(uiSize, 0) {}

    template <class T>
    Image &Put(uint32_t uiPos, T v) {
        if (bytes.size() < uiPos + sizeof v) bytes.resize(uiPos + sizeof v, 0);
        for (size_t i = 0; i < sizeof v; ++i) bytes[uiPos + i] = uint8_t(uint64_t{v} >> (8 * i));
        return *this;
    }
    Image &U16(uint32_t uiPos, uint16_t v) { return Put(uiPos, v); }
    Image &U32(uint32_t uiPos, uint32_t v) { return Put(uiPos, v); }
    // The uoffset at uiAt that leads to uiTarget, modulo 2^32 as a reader adds it.
    Image &Offset(uint32_t uiAt, uint32_t uiTarget) { return U32(uiAt, uiTarget - uiAt); }
    // The soffset of the table at uiTable whose vtable lies at uiVtable.
    Image &Soffset(uint32_t uiTable, uint32_t uiVtable) { return U32(uiTable, uiTable - uiVtable); }
    // A vtable with an entry for every slot given.
    Image &Vtable(uint32_t uiPos, uint16_t usTableSize, std::initializer_list<uint16_t> slots) {
        uint32_t uiAt = uiPos + 4;
        for (const uint16_t usEntry : slots) U16(uiAt, usEntry), uiAt += 2;
        return U16(uiPos, static_cast<uint16_t>(uiAt - uiPos)).U16(uiPos + 2, usTableSize);
    }

    const uint8_t *Data() const { return bytes.data(); }
    int32_t Len() const { return static_cast<int32_t>(bytes.size()); }
};

}  // namespace pss_test

#endif
