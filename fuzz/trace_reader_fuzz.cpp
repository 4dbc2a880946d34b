// libFuzzer harness of the trace reader. Besides what the sanitizers see (no
// read outside the input), it checks that every packet's names and image lie
// inside the input after its block's head, that blocks are taken in order,
// that the reader ends (every step moves it on) and stays ended, that damage
// says where and why, and that the pairing rule gives back every packet
// once, in a call with its own process and number.
#include "fuzz/fuzz_check.h"
#include "host/call_pairing.h"
#include "host/trace_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pucData, size_t uiSize) {
    using namespace pss_host;
    TraceReader stReader(pucData, uiSize);
    CallPairer stPairer(false);
    TracePacket stPacket;
    TraceStep eStep;
    uint64_t ullLast = 0, ullPackets = 0, ullPaired = 0;
    bool bFirst = true;
    size_t uiSteps = 0;
    const auto inside = [&](const void *pv, size_t uiLen, uint64_t ullFrom, uint64_t ullTo) {
        const uint64_t ullAt = static_cast<uint64_t>(static_cast<const uint8_t *>(pv) - pucData);
        return ullAt >= ullFrom && ullAt + uiLen <= ullTo;
    };
    const auto count = [&](const TraceCall &stCall) {
        PSS_CHECK(stCall.pstRequest != nullptr || stCall.pstAnswer != nullptr);
        if (stCall.pstRequest != nullptr && stCall.pstAnswer != nullptr) {
            PSS_CHECK(stCall.pstRequest->uiProcess == stCall.pstAnswer->uiProcess);
            PSS_CHECK(stCall.pstRequest->uiCall == stCall.pstAnswer->uiCall);
            PSS_CHECK(stCall.pstRequest->method == stCall.pstAnswer->method);
        }
        ullPaired += (stCall.pstRequest != nullptr) + (stCall.pstAnswer != nullptr);
    };
    while ((eStep = stReader.Next(&stPacket)) != TraceStep::kEnd) {
        PSS_CHECK(++uiSteps <= uiSize / 4 + 4);  // each step takes at least a block's head
        if (eStep == TraceStep::kDamaged || eStep == TraceStep::kNotATrace) {
            PSS_CHECK(stReader.Offset() <= uiSize && stReader.Problem()[0] != '\0');
            continue;
        }
        if (eStep != TraceStep::kPacket) continue;
        PSS_CHECK(bFirst || stPacket.ullOffset > ullLast);
        bFirst = false;
        ullLast = stPacket.ullOffset;
        ++ullPackets;
        const uint64_t ullData = stPacket.ullOffset + 28;
        PSS_CHECK(inside(stPacket.service.data(), stPacket.service.size(), ullData, uiSize));
        PSS_CHECK(inside(stPacket.method.data(), stPacket.method.size(), ullData, uiSize));
        PSS_CHECK(stPacket.method.data() == stPacket.service.data() + stPacket.service.size());
        PSS_CHECK(inside(stPacket.pucImage, stPacket.uiImageLen, ullData, uiSize));
        PSS_CHECK(stPacket.pucImage >=
                  pucData + ullData + pss::call_header::NamesAt(stPacket.ucVersion));
        PSS_CHECK(stPacket.bImageCut || stPacket.uiImageLen >= stPacket.uiOriginal);
        stPairer.Add(stPacket, count);
    }
    stPairer.Finish(count);
    PSS_CHECK(ullPaired == ullPackets);
    PSS_CHECK(stReader.Next(&stPacket) == TraceStep::kEnd);
    return 0;
}
