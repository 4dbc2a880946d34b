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
#include "serial/wire.h"

namespace korvo {

// 1 when the scalar is one of kWidth bytes and non-zero.
template <CompactScalar kScalar, uint32_t kWidth>
inline uint32_t PresentOfWidth(const uint8_t *pucRec) {
    if constexpr (kScalar.ucWidth != kWidth) {
        return 0;
    } else {
        using T = std::conditional_t<kWidth == 8, uint64_t, uint32_t>;
        return ReadMember<T>(pucRec, kScalar.usMember) != 0 ? 1u : 0u;
    }
}

// Bytes the compact encoding of the record takes. Present scalars are
// counted per width and the counts scaled once: a count adds one flag at a
// time, which compilers keep cheaper than adding scaled widths.
template <const auto &kPlan>
inline uint32_t CompactSize(const uint8_t *pucRec) {
    return [&]<size_t... I>(std::index_sequence<I...>) {
        const uint32_t uiWords = (0u + ... + PresentOfWidth<kPlan.astScalars[I], 4>(pucRec));
        const uint32_t uiLongs = (0u + ... + PresentOfWidth<kPlan.astScalars[I], 8>(pucRec));
        return kPlan.uiBareSize + 4 * uiWords + 8 * uiLongs;
    }
    (std::make_index_sequence<kPlan.astScalars.size()>{});
}

struct CompactPlanView {
    const CompactTable *pstTables;
    const CompactScalar *pstScalars;
    const CompactRef *pstRefs;
};

// The encode after the size query: checks the arguments against the size,
// logging a refusal under pcTag, then writes the plan's tables. Returns the
// bytes written, or 0.
uint32_t EncodeCompact(const char *pcTag, const SerialBufDesc *pstBuf, const void *pvRec,
                       uint32_t uiSize, const CompactPlanView &stPlan);

// Compact encoder and size query of the request whose root table is kRoot.
template <const TableDesc &kRoot>
uint32_t PackCompact(const char *pcTag, const SerialBufDesc *pstBuf, const void *pvRec) {
    constexpr auto &kPlan = kCompactPlan<kRoot>;
    const auto *pucRec = static_cast<const uint8_t *>(pvRec);
    const uint32_t uiSize = pucRec != nullptr ? CompactSize<kPlan>(pucRec) : 0;
    if (pstBuf == nullptr) return uiSize;
    // The view is made here, not kept: pointers in constant data would cost
    // the shared library a relocation each.
    const CompactPlanView stView{kPlan.astTables.data(), kPlan.astScalars.data(),
                                 kPlan.astRefs.data()};
    return EncodeCompact(pcTag, pstBuf, pvRec, uiSize, stView);
}

}  // namespace korvo

#endif
