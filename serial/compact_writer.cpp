// The compact writer, one for every request: it walks the request's plan.
// Each table is its vtable followed directly by the table: soffset, the
// present scalars in slot order, one uoffset per reference slot, then the
// referenced objects in slot order (a nested table as vtable plus table,
// byte vectors back to back).
#include "serial/compact_writer.h"

#include "serial/secmem.h"

namespace korvo {

uint8_t *WriteCompactTable(const CompactPlanView &stPlan, uint32_t uiTable, uint8_t *pucVtable,
                           const uint8_t *pucRec, ByteOrder stOrder) {
    const CompactTable &stTable = stPlan.pstTables[uiTable];
    uint8_t *pucTable = pucVtable + stTable.usVtableLen;
    uint8_t *pucEntries = pucVtable + 4;
    stOrder.Store(pucVtable, stTable.usVtableLen);
    stOrder.Store(pucTable, uint32_t{stTable.usVtableLen});  // soffset: the vtable lies just before

    // A present scalar goes to the cursor, which then moves on; an absent one
    // (a zero) is stored aside, so that no branch depends on the values.
    uint8_t aucAside[8];
    uint8_t *pucCursor = pucTable + 4;
    const CompactScalar *pstScalar = stPlan.pstScalars + stTable.ucFirstScalar;
    for (const CompactScalar *pstEnd = pstScalar + stTable.ucScalars; pstScalar != pstEnd;
         ++pstScalar) {
        uint64_t ullValue;
        if (pstScalar->ucWidth == 8) {
            ullValue = ReadMember<uint64_t>(pucRec, pstScalar->usMember);
        } else {
            ullValue = ReadMember<uint32_t>(pucRec, pstScalar->usMember);
        }
        const bool bPresent = ullValue != 0;
        uint8_t *pucTo = bPresent ? pucCursor : aucAside;
        if (pstScalar->ucWidth == 8) {
            stOrder.Store(pucTo, ullValue);
        } else {
            stOrder.Store(pucTo, static_cast<uint32_t>(ullValue));
        }
        const auto usEntry = static_cast<uint16_t>(bPresent ? pucCursor - pucTable : 0);
        stOrder.Store(pucEntries + 2 * pstScalar->ucSlot, usEntry);
        pucCursor += bPresent ? pstScalar->ucWidth : 0;
    }

    // From here on every position is the cursor plus a constant.
    const auto uiScalarBytes = static_cast<uint32_t>(pucCursor - (pucTable + 4));
    stOrder.Store(pucVtable + 2, static_cast<uint16_t>(stTable.usBareSize + uiScalarBytes));
    uint8_t *pucObject = pucCursor + 4 * stTable.ucRefs;
    const CompactRef *pstRef = stPlan.pstRefs + stTable.ucFirstRef;
    for (uint8_t *pucUoffset = pucCursor; pucUoffset != pucCursor + 4 * stTable.ucRefs;
         pucUoffset += 4, ++pstRef) {
        stOrder.Store(pucEntries + 2 * pstRef->ucSlot,
                      static_cast<uint16_t>(pucUoffset - pucTable));
        if (pstRef->eKind == Kind::kBytes) {
            stOrder.Store(pucUoffset, static_cast<uint32_t>(pucObject - pucUoffset));  // the count
            stOrder.Store(pucObject, uint32_t{pstRef->usLength});
            memcpy_s(pucObject + 4, pstRef->usLength, pucRec + pstRef->usMember, pstRef->usLength);
            pucObject += 4 + pstRef->usLength;
        } else {
            // A uoffset reaches the nested table itself, past its vtable.
            const uint32_t uiSubVtableLen = stPlan.pstTables[pstRef->ucTable].usVtableLen;
            stOrder.Store(pucUoffset,
                          static_cast<uint32_t>(pucObject + uiSubVtableLen - pucUoffset));
            pucObject = WriteCompactTable(stPlan, pstRef->ucTable, pucObject, pucRec, stOrder);
        }
    }
    return pucObject;
}

void RefuseCompact(const char *pcTag, const SerialBufDesc *pstBuf, const void *pvRec) {
    KORVO_LOG(kCodeBadParam, pcTag, "[KORVO]:Param invalid(%s, %u, %s)", NullText(pstBuf->pucData),
              *pstBuf->puiLen, NullText(pvRec));
}

}  // namespace korvo
