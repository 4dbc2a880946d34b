// Fixed-layout encoder: runs a request's compile-time plan. Padding after
// each vtable is left as the buffer held it.
#include "serial/codec.h"
#include "serial/runtime.h"
#include "serial/secmem.h"
#include "serial/wire.h"

namespace korvo {

void PackFixed(const FixedPlanView &stPlan, uint8_t *pucBuf, const void *pvRec) {
    SerialEnsureInit();
    const ByteOrder stOrder{HostIsBigEndian()};
    const auto *pucRec = static_cast<const uint8_t *>(pvRec);
    for (uint32_t i = 0; i < stPlan.uiSteps; ++i) {
        const FixedStep &stStep = stPlan.pstSteps[i];
        uint8_t *pucAt = pucBuf + stStep.usPos;
        const uint8_t *pucSrc = pucRec + stStep.usSrc;
        switch (stStep.eOp) {
            case FixedStep::kConst:
                memcpy(pucAt, stPlan.pucPool + stStep.usSrc, stStep.usLen);
                break;
            case FixedStep::kU8:
                *pucAt = *pucSrc;
                break;
            case FixedStep::kU32:
                stOrder.Store(pucAt, ReadMember<uint32_t>(pucSrc, 0));
                break;
            case FixedStep::kU64:
                stOrder.Store(pucAt, ReadMember<uint64_t>(pucSrc, 0));
                break;
            case FixedStep::kBytes:
                memcpy_s(pucAt, stStep.usLen, pucSrc, stStep.usLen);
                break;
        }
    }
}

}  // namespace korvo
