// Geometry of the fixed-layout image, computed from a schema at compile time:
// every slot of every table present, each referenced object right after its
// uoffset, the vtable after the table, padding to a multiple of 8 after each
// vtable. The writer and the build-time checks use the same functions.
#ifndef KORVO_FIXED_LAYOUT_H
#define KORVO_FIXED_LAYOUT_H

#include "serial/schema.h"

namespace korvo {

constexpr uint32_t RoundUp8(uint32_t v) { return (v + 7u) & ~7u; }

constexpr uint32_t FixedObjectEnd(const TableDesc &stDesc, uint32_t uiTable);

// Position after the field that starts at uiCursor.
constexpr uint32_t FixedFieldEnd(const FieldDesc &stField, uint32_t uiCursor) {
    switch (stField.eKind) {
        case Kind::kBytes:
            return uiCursor + 8 + stField.usLength;  // uoffset, count, bytes
        case Kind::kTable:
            return FixedObjectEnd(*stField.pstSub, uiCursor + 4);
        default:
            return uiCursor + ScalarWidth(stField.eKind);
    }
}

// The vtable lies where the table's fields end.
constexpr uint32_t FixedVtablePos(const TableDesc &stDesc, uint32_t uiTable) {
    uint32_t uiCursor = uiTable + 4;
    for (uint32_t i = 0; i < stDesc.uiSlots; ++i) {
        uiCursor = FixedFieldEnd(stDesc.pstFields[i], uiCursor);
    }
    return uiCursor;
}

constexpr uint32_t VtableLength(const TableDesc &stDesc) { return 4 + 2 * stDesc.uiSlots; }

constexpr uint32_t FixedObjectEnd(const TableDesc &stDesc, uint32_t uiTable) {
    return RoundUp8(FixedVtablePos(stDesc, uiTable) + VtableLength(stDesc));
}

// Offset of slot i from its table's position.
constexpr uint32_t FixedEntry(const TableDesc &stDesc, uint32_t uiTable, uint32_t uiSlot) {
    uint32_t uiCursor = uiTable + 4;
    for (uint32_t i = 0; i < uiSlot; ++i) {
        uiCursor = FixedFieldEnd(stDesc.pstFields[i], uiCursor);
    }
    return uiCursor - uiTable;
}

inline constexpr uint32_t kFixedRootTable = 4;

constexpr uint32_t FixedImageSize(const TableDesc &stRoot) {
    return FixedObjectEnd(stRoot, kFixedRootTable);
}

}  // namespace korvo

#endif
