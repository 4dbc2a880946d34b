// Fixed-layout encoder: every slot written, each referenced object directly
// after its uoffset, the vtable after the table's extent. Padding after each
// vtable is left as the buffer held it.
#include "serial/codec.h"
#include "serial/fixed_layout.h"
#include "serial/runtime.h"
#include "serial/secmem.h"
#include "serial/wire.h"

namespace korvo {
namespace {

void WriteTable(const TableDesc &stDesc, const uint8_t *pucRec, uint8_t *pucOut, uint32_t uiTable) {
    SerialEnsureInit();
    const ByteOrder stOrder{HostIsBigEndian()};
    uint16_t ausEntry[kMaxSlots];

    uint32_t uiCursor = uiTable + 4;
    for (uint32_t i = 0; i < stDesc.uiSlots; ++i) {
        const FieldDesc &stField = stDesc.pstFields[i];
        ausEntry[i] = static_cast<uint16_t>(uiCursor - uiTable);
        uint8_t *pucAt = pucOut + uiCursor;
        const uint8_t *pucMember = pucRec + stField.usOffset;
        switch (stField.eKind) {
            case Kind::kU8:
                *pucAt = *pucMember;
                break;
            case Kind::kU32:
                stOrder.Store(pucAt, ReadMember<uint32_t>(pucMember, 0));
                break;
            case Kind::kU64:
                stOrder.Store(pucAt, ReadMember<uint64_t>(pucMember, 0));
                break;
            case Kind::kBytes:
                stOrder.Store(pucAt, uint32_t{4});
                stOrder.Store(pucAt + 4, uint32_t{stField.usLength});
                memcpy_s(pucAt + 8, stField.usLength, pucMember, stField.usLength);
                break;
            case Kind::kTable:
                stOrder.Store(pucAt, uint32_t{4});
                WriteTable(*stField.pstSub, pucMember, pucOut, uiCursor + 4);
                break;
            case Kind::kVector:  // requests carry no vectors
                break;
        }
        uiCursor = FixedFieldEnd(stField, uiCursor);
    }

    const uint32_t uiVtable = uiCursor;
    const uint32_t uiTableSize = uiVtable - uiTable;
    stOrder.Store(pucOut + uiTable, 0u - uiTableSize);  // negative soffset: vtable after
    stOrder.Store(pucOut + uiVtable, static_cast<uint16_t>(VtableLength(stDesc)));
    stOrder.Store(pucOut + uiVtable + 2, static_cast<uint16_t>(uiTableSize));
    for (uint32_t i = 0; i < stDesc.uiSlots; ++i) {
        stOrder.Store(pucOut + uiVtable + 4 + 2 * i, ausEntry[i]);
    }
}

}  // namespace

void PackFixed(const TableDesc &stRoot, uint8_t *pucBuf, const void *pvRec) {
    SerialEnsureInit();
    ByteOrder{HostIsBigEndian()}.Store(pucBuf, kFixedRootTable);
    WriteTable(stRoot, static_cast<const uint8_t *>(pvRec), pucBuf, kFixedRootTable);
}

}  // namespace korvo
