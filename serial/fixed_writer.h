// Fixed-layout encoder. A request's plan is a constant of the build, so each
// step is stamped into straight-line code with constant positions and
// lengths: the image is written by plain stores, the constant runs copied
// from the plan's pool, the character arrays by one checked copy each.
// Padding after each vtable is left as the buffer held it.
#ifndef KORVO_FIXED_WRITER_H
#define KORVO_FIXED_WRITER_H

#include <array>
#include <utility>

#include "platform/secmem/secmem.h"
#include "serial/fixed_plan.h"
#include "serial/runtime.h"
#include "serial/wire.h"

namespace korvo {

// The constant bytes alone, so that the step list stays a compile-time value
// and takes no room in the library.
template <const auto &kPlan>
inline constexpr auto kFixedPool = [] {
    std::array<uint8_t, sizeof kPlan.aucPool> aucPool{};
    for (size_t i = 0; i < aucPool.size(); ++i) aucPool[i] = kPlan.aucPool[i];
    return aucPool;
}();

template <FixedStep kStep>
inline void RunFixedStep(const uint8_t *pucPool, uint8_t *pucBuf, const uint8_t *pucRec,
                         ByteOrder stOrder) {
    uint8_t *pucAt = pucBuf + kStep.usPos;
    const uint8_t *pucSrc = pucRec + kStep.usSrc;
    if constexpr (kStep.eOp == FixedStep::kConst) {
        memcpy(pucAt, pucPool + kStep.usSrc, kStep.usLen);
    } else if constexpr (kStep.eOp == FixedStep::kU8) {
        *pucAt = *pucSrc;
    } else if constexpr (kStep.eOp == FixedStep::kU32) {
        stOrder.Store(pucAt, ReadMember<uint32_t>(pucSrc, 0));
    } else if constexpr (kStep.eOp == FixedStep::kU64) {
        stOrder.Store(pucAt, ReadMember<uint64_t>(pucSrc, 0));
    } else {
        memcpy_s(pucAt, kStep.usLen, pucSrc, kStep.usLen);
    }
}

// Writes the image of the plan into pucBuf, which holds at least its size.
template <const auto &kPlan>
void PackFixed(uint8_t *pucBuf, const void *pvRec) {
    SerialEnsureInit();
    const ByteOrder stOrder{HostIsBigEndian()};
    const auto *pucRec = static_cast<const uint8_t *>(pvRec);
    [&]<size_t... I>(std::index_sequence<I...>) {
        (RunFixedStep<kPlan.astSteps[I]>(kFixedPool<kPlan>.data(), pucBuf, pucRec, stOrder), ...);
    }
    (std::make_index_sequence<kPlan.uiSteps>{});
}

}  // namespace korvo

#endif
