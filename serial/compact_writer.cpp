// Compact encoder: zero scalars left out, nothing aligned or padded. Each
// table is its vtable followed directly by the table: soffset, the present
// scalars in slot order, one uoffset per reference slot, then the referenced
// objects in slot order (a nested table as vtable plus table, byte vectors
// back to back).
#include "serial/codec.h"
#include "serial/runtime.h"
#include "serial/secmem.h"
#include "serial/wire.h"

namespace korvo {
namespace {

bool ScalarPresent(const FieldDesc &stField, const uint8_t *pucRec) {
    switch (stField.eKind) {
        case Kind::kU8:
            return ReadMember<uint8_t>(pucRec, stField.usOffset) != 0;
        case Kind::kU32:
            return ReadMember<uint32_t>(pucRec, stField.usOffset) != 0;
        case Kind::kU64:
            return ReadMember<uint64_t>(pucRec, stField.usOffset) != 0;
        default:
            return false;
    }
}

void StoreScalar(const FieldDesc &stField, const uint8_t *pucRec, uint8_t *pucOut, ByteOrder stOrder) {
    switch (stField.eKind) {
        case Kind::kU8:
            *pucOut = ReadMember<uint8_t>(pucRec, stField.usOffset);
            break;
        case Kind::kU32:
            stOrder.Store(pucOut, ReadMember<uint32_t>(pucRec, stField.usOffset));
            break;
        default:
            stOrder.Store(pucOut, ReadMember<uint64_t>(pucRec, stField.usOffset));
            break;
    }
}

// Writes the table's vtable at uiVtable, the table right after it, then its
// objects; returns the position after the last byte written. Two passes: the
// present scalars, then the reference slots, whose uoffsets follow the
// scalars and whose objects follow the table.
uint32_t WriteTable(const TableDesc &stDesc, const uint8_t *pucRec, uint8_t *pucOut,
                    uint32_t uiVtable, ByteOrder stOrder) {
    const uint32_t uiVtableLen = 4 + 2 * stDesc.uiSlots;
    const uint32_t uiTable = uiVtable + uiVtableLen;
    uint8_t *pucEntry = pucOut + uiVtable + 4;
    memset(pucEntry, 0, 2 * stDesc.uiSlots);  // absent until written

    uint32_t uiCursor = uiTable + 4;
    uint32_t uiRefs = 0;
    for (uint32_t i = 0; i < stDesc.uiSlots; ++i) {
        const FieldDesc &stField = stDesc.pstFields[i];
        if (!IsScalar(stField.eKind)) {
            ++uiRefs;
        } else if (ScalarPresent(stField, pucRec)) {
            stOrder.Store(pucEntry + 2 * i, static_cast<uint16_t>(uiCursor - uiTable));
            StoreScalar(stField, pucRec, pucOut + uiCursor, stOrder);
            uiCursor += ScalarWidth(stField.eKind);
        }
    }
    uint32_t uiRef = uiCursor;  // the next reference slot's uoffset
    uiCursor += 4 * uiRefs;
    // The table's own data: soffset, inline fields and its byte vectors.
    uint32_t uiTableSize = uiCursor - uiTable;
    for (uint32_t i = 0; uiRefs != 0; ++i) {
        const FieldDesc &stField = stDesc.pstFields[i];
        if (IsScalar(stField.eKind)) continue;
        stOrder.Store(pucEntry + 2 * i, static_cast<uint16_t>(uiRef - uiTable));
        if (stField.eKind == Kind::kBytes) {
            stOrder.Store(pucOut + uiRef, uiCursor - uiRef);
            stOrder.Store(pucOut + uiCursor, uint32_t{stField.usLength});
            memcpy_s(pucOut + uiCursor + 4, stField.usLength, pucRec + stField.usOffset,
                     stField.usLength);
            uiCursor += 4 + stField.usLength;
            uiTableSize += 4 + stField.usLength;
        } else {
            const uint32_t uiSubTable = uiCursor + 4 + 2 * stField.pstSub->uiSlots;
            stOrder.Store(pucOut + uiRef, uiSubTable - uiRef);
            uiCursor = WriteTable(*stField.pstSub, pucRec + stField.usOffset, pucOut, uiCursor,
                                  stOrder);
        }
        uiRef += 4;
        --uiRefs;
    }

    stOrder.Store(pucOut + uiVtable, static_cast<uint16_t>(uiVtableLen));
    stOrder.Store(pucOut + uiVtable + 2, static_cast<uint16_t>(uiTableSize));
    stOrder.Store(pucOut + uiTable, uiVtableLen);  // soffset: the vtable lies just before
    return uiCursor;
}

}  // namespace

uint32_t CompactSize(const CompactSizingView &stSizing, const void *pvRec) {
    const auto *pucRec = static_cast<const uint8_t *>(pvRec);
    uint32_t uiSize = stSizing.uiBase;
    for (uint32_t i = 0; i < stSizing.uiScalars; ++i) {
        const ScalarRef &stScalar = stSizing.pstScalars[i];
        const uint8_t *pucAt = pucRec + stScalar.usOffset;
        const bool bPresent = stScalar.ucWidth == 8   ? ReadMember<uint64_t>(pucAt, 0) != 0
                              : stScalar.ucWidth == 4 ? ReadMember<uint32_t>(pucAt, 0) != 0
                                                      : *pucAt != 0;
        uiSize += bPresent ? stScalar.ucWidth : 0u;
    }
    return uiSize;
}

uint32_t PackCompact(const TableDesc &stRoot, const CompactSizingView &stSizing, const char *pcTag,
                     const SerialBufDesc *pstBuf, const void *pvRec) {
    if (pstBuf == nullptr) {
        return pvRec != nullptr ? CompactSize(stSizing, pvRec) : 0;
    }
    const uint32_t uiCapacity = *pstBuf->puiLen;
    // A buffer too small for this record is refused like one below the
    // 4-byte minimum, so the encoder never writes past the capacity.
    if (uiCapacity < 4 || pstBuf->pucData == nullptr || pvRec == nullptr ||
        uiCapacity < CompactSize(stSizing, pvRec)) {
        KORVO_LOG(kCodeBadParam, pcTag, "[KORVO]:Param invalid(%s, %u, %s)",
                  NullText(pstBuf->pucData), uiCapacity, NullText(pvRec));
        return 0;
    }
    SerialEnsureInit();
    const ByteOrder stOrder{HostIsBigEndian()};
    uint8_t *pucOut = pstBuf->pucData;
    stOrder.Store(pucOut, 8 + 2 * stRoot.uiSlots);  // root table follows the root vtable at 4
    return WriteTable(stRoot, static_cast<const uint8_t *>(pvRec), pucOut, 4, stOrder);
}

}  // namespace korvo
