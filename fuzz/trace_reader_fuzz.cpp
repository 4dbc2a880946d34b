// libFuzzer harness of the trace reader. Besides what the sanitizers see (no
// read outside the input), it checks that every packet's names and image lie
// inside the input and inside its own block, that blocks are taken in order,
// and that a reader that stopped says where and why, and stays stopped.
#include "fuzz/fuzz_check.h"
#include "host/trace_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pucData, size_t uiSize) {
    using namespace pss_host;
    TraceReader stReader(pucData, uiSize);
    TracePacket stPacket;
    TraceStep eStep;
    uint64_t ullLast = 0;
    bool bFirst = true;
    const auto inside = [&](const void *pv, size_t uiLen, uint64_t ullFrom, uint64_t ullTo) {
        const uint64_t ullAt = static_cast<uint64_t>(static_cast<const uint8_t *>(pv) - pucData);
        return ullAt >= ullFrom && ullAt + uiLen <= ullTo;
    };
    while ((eStep = stReader.Next(&stPacket)) == TraceStep::kPacket) {
        PSS_CHECK(bFirst || stPacket.ullOffset > ullLast);
        bFirst = false;
        ullLast = stPacket.ullOffset;
        // The block ends where the reader goes on.
        PSS_CHECK(stReader.Offset() > stPacket.ullOffset && stReader.Offset() <= uiSize);
        const uint64_t ullData = stPacket.ullOffset + 28;
        PSS_CHECK(
            inside(stPacket.service.data(), stPacket.service.size(), ullData, stReader.Offset()));
        PSS_CHECK(
            inside(stPacket.method.data(), stPacket.method.size(), ullData, stReader.Offset()));
        PSS_CHECK(stPacket.method.data() == stPacket.service.data() + stPacket.service.size());
        PSS_CHECK(inside(stPacket.pucImage, stPacket.uiImageLen, ullData, stReader.Offset()));
        PSS_CHECK(stPacket.pucImage >= pucData + stPacket.ullOffset + 28 + 46);
        PSS_CHECK(stPacket.bImageCut || stPacket.uiImageLen >= stPacket.uiOriginal);
    }
    if (eStep == TraceStep::kEnd) {
        PSS_CHECK(stReader.Offset() == uiSize);
    } else {
        PSS_CHECK(stReader.Offset() < uiSize && stReader.Problem()[0] != '\0');
        PSS_CHECK(stReader.Next(&stPacket) == TraceStep::kStopped);
    }
    return 0;
}
