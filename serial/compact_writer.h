// Compact encoder and size query of a request, from the plan of
// compact_plan.h: zero scalars left out, nothing aligned or padded.
//
// The size query is stamped: the bare size plus, for each scalar, its width
// when non-zero, with no loop and no branch. The writer walks the plan's
// tables; only a table's scalars move what follows them, so everything after
// the scalars is placed from one cursor plus constants of the plan.
#ifndef KORVO_COMPACT_WRITER_H
#define KORVO_COMPACT_WRITER_H

#include <utility>

#include "patch_sdk_service_agent.h"
#include "serial/compact_plan.h"
#include "serial/runtime.h"
#include "serial/wire.h"

namespace korvo {

template <CompactScalar kScalar>
inline uint32_t PresentBytes(const uint8_t *pucRec) {
    static_assert(kScalar.ucWidth == 4 || kScalar.ucWidth == 8, "requests carry no 8-bit scalar");
    using T = std::conditional_t<kScalar.ucWidth == 8, uint64_t, uint32_t>;
    return ReadMember<T>(pucRec, kScalar.usMember) != 0 ? uint32_t{kScalar.ucWidth} : 0u;
}

// Bytes the compact encoding of the record takes.
template <const auto &kPlan>
inline uint32_t CompactSize(const uint8_t *pucRec) {
    return [&]<size_t... I>(std::index_sequence<I...>) {
        return (kPlan.uiBareSize + ... + PresentBytes<kPlan.astScalars[I]>(pucRec));
    }
    (std::make_index_sequence<kPlan.astScalars.size()>{});
}

struct CompactPlanView {
    const CompactTable *pstTables;
    const CompactScalar *pstScalars;
    const CompactRef *pstRefs;
};

// Writes table uiTable of the plan, its vtable at pucVtable, and the objects
// after it; returns the end of what it wrote.
uint8_t *WriteCompactTable(const CompactPlanView &stPlan, uint32_t uiTable, uint8_t *pucVtable,
                           const uint8_t *pucRec, ByteOrder stOrder);

// Logs the refusal of an encode's arguments.
[[gnu::cold]] void RefuseCompact(const char *pcTag, const SerialBufDesc *pstBuf, const void *pvRec);

// Compact encoder and size query of the request whose root table is kRoot,
// with its argument check logged under pcTag.
template <const TableDesc &kRoot>
uint32_t PackCompact(const char *pcTag, const SerialBufDesc *pstBuf, const void *pvRec) {
    constexpr auto &kPlan = kCompactPlan<kRoot>;
    const auto *pucRec = static_cast<const uint8_t *>(pvRec);
    const uint32_t uiSize = pucRec != nullptr ? CompactSize<kPlan>(pucRec) : 0;
    if (pstBuf == nullptr) return uiSize;
    // A buffer too small for this record is refused like one below the
    // 4-byte minimum, so the encoder never writes past the capacity.
    const uint32_t uiCapacity = *pstBuf->puiLen;
    if (uiCapacity < 4 || pstBuf->pucData == nullptr || pucRec == nullptr || uiCapacity < uiSize) {
        RefuseCompact(pcTag, pstBuf, pvRec);
        return 0;
    }
    SerialEnsureInit();
    const ByteOrder stOrder{HostIsBigEndian()};
    uint8_t *pucOut = pstBuf->pucData;
    stOrder.Store(pucOut, 4 + VtableLength(kRoot));  // the root table follows its vtable at 4
    // The view is made here, not kept: pointers in constant data would cost
    // the shared library a relocation each.
    const CompactPlanView stView{kPlan.astTables.data(), kPlan.astScalars.data(),
                                 kPlan.astRefs.data()};
    const uint8_t *pucEnd = WriteCompactTable(stView, 0, pucOut + 4, pucRec, stOrder);
    return static_cast<uint32_t>(pucEnd - pucOut);
}

}  // namespace korvo

#endif
