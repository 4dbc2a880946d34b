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

template <CompactScalar kScalar>
inline uint32_t PresentBytes(const uint8_t *pucRec) {
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
