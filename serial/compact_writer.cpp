// The compact writer, one for every request: it walks the request's plan.
// Each table is its vtable followed directly by the table: soffset, the
// present scalars in slot order, one uoffset per reference slot, then the
// referenced objects in slot order (a nested table as vtable plus table,
// byte vectors back to back).
#include "serial/compact_writer.h"

#include "platform/secmem/secmem.h"
#include "serial/runtime.h"

namespace korvo {

namespace {

// Stamped once per byte order, so that the loops below carry no test of it.
// The plan's steps are copied into locals before use: every store to the
// buffer may alias them, and would otherwise make the compiler load them again.
template <bool kSwap>
uint8_t *WriteTable(const CompactPlanView &stPlan, uint32_t uiTable, uint8_t *pucVtable,
                    const uint8_t *pucRec) {
    constexpr ByteOrder stOrder{kSwap};
    const CompactTable stTable = stPlan.pstTables[uiTable];
    uint8_t *pucTable = pucVtable + stTable.usVtableLen;
    uint8_t *pucEntries = pucVtable + 4;
    stOrder.Store(pucVtable, stTable.usVtableLen);
    stOrder.Store(pucTable, uint32_t{stTable.usVtableLen});  // soffset: the vtable lies just before

    // A present scalar goes to the cursor, which then moves on; an absent one
    // (a zero) is stored aside, so that no branch depends on the values.
    uint8_t aucAside[8];
    uint8_t *pucCursor = pucTable + 4;
    const CompactScalar *pstScalars = stPlan.pstScalars + stTable.ucFirstScalar;
    for (uint32_t i = 0; i < stTable.ucScalars; ++i) {
        const CompactScalar stScalar = pstScalars[i];
        bool bPresent;
        if (stScalar.ucWidth == 8) {
            const auto ullValue = ReadMember<uint64_t>(pucRec, stScalar.usMember);
            bPresent = ullValue != 0;
            stOrder.Store(bPresent ? pucCursor : aucAside, ullValue);
        } else {
            const auto uiValue = ReadMember<uint32_t>(pucRec, stScalar.usMember);
            bPresent = uiValue != 0;
            stOrder.Store(bPresent ? pucCursor : aucAside, uiValue);
        }
        const auto usEntry = static_cast<uint16_t>(bPresent ? pucCursor - pucTable : 0);
        stOrder.Store(pucEntries + 2 * stScalar.ucSlot, usEntry);
        pucCursor += bPresent ? stScalar.ucWidth : 0;
    }

    // From here on every position is the cursor plus a constant.
    const auto uiScalarBytes = static_cast<uint32_t>(pucCursor - (pucTable + 4));
    stOrder.Store(pucVtable + 2, static_cast<uint16_t>(stTable.usBareSize + uiScalarBytes));
    uint8_t *pucObject = pucCursor + 4 * stTable.ucRefs;
    const CompactRef *pstRefs = stPlan.pstRefs + stTable.ucFirstRef;
    for (uint32_t i = 0; i < stTable.ucRefs; ++i) {
        const CompactRef stRef = pstRefs[i];
        uint8_t *pucUoffset = pucCursor + 4 * i;
        stOrder.Store(pucEntries + 2 * stRef.ucSlot, static_cast<uint16_t>(pucUoffset - pucTable));
        if (stRef.eKind == Kind::kBytes) {
            stOrder.Store(pucUoffset, static_cast<uint32_t>(pucObject - pucUoffset));  // the count
            stOrder.Store(pucObject, uint32_t{stRef.usLength});
            memcpy_s(pucObject + 4, stRef.usLength, pucRec + stRef.usMember, stRef.usLength);
            pucObject += 4 + stRef.usLength;
        } else {
            // A uoffset reaches the nested table itself, past its vtable.
            const uint32_t uiSubVtableLen = stPlan.pstTables[stRef.ucTable].usVtableLen;
            stOrder.Store(pucUoffset,
                          static_cast<uint32_t>(pucObject + uiSubVtableLen - pucUoffset));
            pucObject = WriteTable<kSwap>(stPlan, stRef.ucTable, pucObject, pucRec);
        }
    }
    return pucObject;
}

}  // namespace

uint32_t EncodeCompact(const char *pcTag, const SerialBufDesc *pstBuf, const void *pvRec,
                       uint32_t uiSize, const CompactPlanView &stPlan) {
    // A buffer too small for this record is refused like one below the
    // 4-byte minimum, so the encoder never writes past the capacity.
    const uint32_t uiCapacity = *pstBuf->puiLen;
    if (uiCapacity < 4 || pstBuf->pucData == nullptr || pvRec == nullptr || uiCapacity < uiSize) {
        KORVO_LOG(kCodeBadParam, pcTag, "[KORVO]:Param invalid(%s, %u, %s)",
                  NullText(pstBuf->pucData), uiCapacity, NullText(pvRec));
        return 0;
    }
    SerialEnsureInit();
    const ByteOrder stOrder{HostIsBigEndian()};
    const auto *pucRec = static_cast<const uint8_t *>(pvRec);
    uint8_t *pucOut = pstBuf->pucData;
    // The root table follows its vtable at 4.
    stOrder.Store(pucOut, 4 + uint32_t{stPlan.pstTables[0].usVtableLen});
    const uint8_t *pucEnd = stOrder.bSwap ? WriteTable<true>(stPlan, 0, pucOut + 4, pucRec)
                                          : WriteTable<false>(stPlan, 0, pucOut + 4, pucRec);
    return static_cast<uint32_t>(pucEnd - pucOut);
}

}  // namespace korvo
