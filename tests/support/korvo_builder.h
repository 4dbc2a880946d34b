// Writes KORVO buffers for the tests. Image puts values at explicit positions,
// so a test reads like a hex dump with its explanation; WriteRecord encodes any
// record from its schema with a chosen layout (vtables before or after their
// tables, zero scalars omitted or written, equal elements sharing one table,
// filler between objects), so the same record can be offered in many shapes.
#ifndef PSS_TEST_KORVO_BUILDER_H
#define PSS_TEST_KORVO_BUILDER_H

#include <stdint.h>

#include <initializer_list>
#include <vector>

#include "serial/schema.h"

namespace pss_test {

class Image {
  public:
    Image() = default;
    explicit Image(size_t uiSize) : bytes(uiSize, 0) {}

    Image &U8(uint32_t uiPos, uint8_t v);
    Image &U16(uint32_t uiPos, uint16_t v);
    Image &U32(uint32_t uiPos, uint32_t v);
    Image &U64(uint32_t uiPos, uint64_t v);
    Image &Raw(uint32_t uiPos, const void *pv, size_t uiLen);
    // A run of u16 entries, e.g. a whole vtable.
    Image &U16s(uint32_t uiPos, std::initializer_list<uint16_t> values);
    // The uoffset at uiAt that leads to uiTarget (forward only).
    Image &Offset(uint32_t uiAt, uint32_t uiTarget);
    // The soffset of the table at uiTable that puts its vtable at uiVtable.
    Image &Soffset(uint32_t uiTable, uint32_t uiVtable);
    // A vtable: length 4 + 2 x slots, table size, slot entries.
    Image &Vtable(uint32_t uiPos, uint16_t usTableSize, std::initializer_list<uint16_t> slots);
    // A byte vector: count, then the bytes.
    Image &ByteVector(uint32_t uiPos, uint32_t uiCount, uint8_t ucFill);

    const uint8_t *Data() const { return bytes.data(); }
    int32_t Len() const { return static_cast<int32_t>(bytes.size()); }

    std::vector<uint8_t> bytes;

  private:
    uint8_t *At(uint32_t uiPos, size_t uiLen);
};

struct Layout {
    bool bVtableAfter = false;  // vtables after their tables: negative soffsets
    bool bWriteZeros = false;   // write zero scalars instead of leaving them out
    bool bShareEqual = false;   // equal elements of a vector share one table
    uint32_t uiFiller = 0;      // unreferenced bytes between objects
};

// Encodes the record pvRec, laid out as stDesc describes it, as a whole buffer.
std::vector<uint8_t> WriteRecord(const korvo::TableDesc &stDesc, const void *pvRec,
                                 const Layout &stLayout = {});

template <class R>
std::vector<uint8_t> Write(const R &stRec, const Layout &stLayout = {}) {
    return WriteRecord(korvo::Schema<R>::kTable, &stRec, stLayout);
}

}  // namespace pss_test

#endif
