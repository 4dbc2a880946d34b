// A request's fixed-layout image as a plan made at compile time: runs of
// constant bytes (uoffsets, counts, soffsets, vtables, already little-endian)
// and the record fields to store between them. The writer stamps one store or
// copy per step, so no layout work is left for run time.
#ifndef KORVO_FIXED_PLAN_H
#define KORVO_FIXED_PLAN_H

#include "serial/fixed_layout.h"

namespace korvo {

struct FixedStep {
    enum Op : uint8_t { kConst, kU8, kU32, kU64, kBytes };
    Op eOp;
    uint16_t usPos;  // position in the image
    uint16_t usLen;  // kConst: bytes from the pool; kBytes: array length
    uint16_t usSrc;  // kConst: index into the pool; otherwise offset in the record
};

template <uint32_t kSteps, uint32_t kPoolBytes>
struct FixedPlan {
    FixedStep astSteps[kSteps] = {};
    uint8_t aucPool[kPoolBytes] = {};
    uint32_t uiSteps = 0;
    uint32_t uiPool = 0;

    // Constant bytes that continue the previous constant run extend it.
    constexpr void Const(uint32_t uiPos, uint32_t uiValue, uint32_t uiBytes) {
        FixedStep *pstLast = uiSteps > 0 ? &astSteps[uiSteps - 1] : nullptr;
        if (pstLast == nullptr || pstLast->eOp != FixedStep::kConst ||
            pstLast->usPos + pstLast->usLen != uiPos) {
            pstLast = &astSteps[uiSteps++];
            *pstLast = {FixedStep::kConst, static_cast<uint16_t>(uiPos), 0,
                        static_cast<uint16_t>(uiPool)};
        }
        for (uint32_t i = 0; i < uiBytes; ++i) {
            aucPool[uiPool++] = static_cast<uint8_t>(uiValue >> (8 * i));  // little-endian
        }
        pstLast->usLen = static_cast<uint16_t>(pstLast->usLen + uiBytes);
    }
    constexpr void Field(FixedStep::Op eOp, uint32_t uiPos, uint32_t uiSrc, uint32_t uiLen = 0) {
        astSteps[uiSteps++] = {eOp, static_cast<uint16_t>(uiPos), static_cast<uint16_t>(uiLen),
                               static_cast<uint16_t>(uiSrc)};
    }
};

// Plans the table at uiTable whose record starts at uiRec in the request.
template <class Plan>
constexpr void PlanTable(const TableDesc &stDesc, uint32_t uiTable, uint32_t uiRec, Plan &stPlan) {
    const uint32_t uiVtable = FixedVtablePos(stDesc, uiTable);
    stPlan.Const(uiTable, 0u - (uiVtable - uiTable), 4);  // negative soffset: vtable after
    uint32_t uiCursor = uiTable + 4;
    for (uint32_t i = 0; i < stDesc.uiSlots; ++i) {
        const FieldDesc &stField = stDesc.pstFields[i];
        const uint32_t uiMember = uiRec + stField.usOffset;
        switch (stField.eKind) {
            case Kind::kU8:
                stPlan.Field(FixedStep::kU8, uiCursor, uiMember);
                break;
            case Kind::kU32:
                stPlan.Field(FixedStep::kU32, uiCursor, uiMember);
                break;
            case Kind::kU64:
                stPlan.Field(FixedStep::kU64, uiCursor, uiMember);
                break;
            case Kind::kBytes:
                stPlan.Const(uiCursor, 4, 4);  // the vector follows its uoffset
                stPlan.Const(uiCursor + 4, stField.usLength, 4);
                stPlan.Field(FixedStep::kBytes, uiCursor + 8, uiMember, stField.usLength);
                break;
            case Kind::kTable:
                stPlan.Const(uiCursor, 4, 4);
                PlanTable(*stField.pstSub, uiCursor + 4, uiMember, stPlan);
                break;
            case Kind::kVector:  // requests carry no vectors
                break;
        }
        uiCursor = FixedFieldEnd(stField, uiCursor);
    }
    stPlan.Const(uiVtable, VtableLength(stDesc), 2);
    stPlan.Const(uiVtable + 2, uiVtable - uiTable, 2);
    for (uint32_t i = 0; i < stDesc.uiSlots; ++i) {
        stPlan.Const(uiVtable + 4 + 2 * i, FixedEntry(stDesc, uiTable, i), 2);
    }
}

template <class Plan>
constexpr Plan MakeFixedPlan(const TableDesc &stRoot) {
    Plan stPlan;
    stPlan.Const(0, kFixedRootTable, 4);
    PlanTable(stRoot, kFixedRootTable, 0, stPlan);
    return stPlan;
}

// The plan of a request, sized exactly: a first pass into generous room
// counts its steps and constant bytes.
template <const TableDesc &kRoot>
inline constexpr auto kFixedPlan = [] {
    constexpr auto stDraft = MakeFixedPlan<FixedPlan<64, 256>>(kRoot);
    return MakeFixedPlan<FixedPlan<stDraft.uiSteps, stDraft.uiPool>>(kRoot);
}();

}  // namespace korvo

#endif
