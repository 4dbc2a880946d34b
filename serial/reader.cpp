// The library's decoders: the reader's walk with a trace that does nothing,
// so that it compiles to the bare checks.
#include "serial/reader.h"

#include "serial/reader_walk.h"

namespace korvo {
namespace {

// Every member is empty and inlines away; nested tables go through their
// named element decoders, whose names tag their log messages.
struct NoTrace {
    static constexpr bool kWalksElements = false;
    void Refuse(Fault, uint64_t, uint64_t, uint64_t) {}
    void Region(Part, uint64_t, uint64_t, uint64_t) {}
    void Enter(const TableDesc &, uint64_t, uint32_t) {}
    void Leave() {}
    void Field(uint32_t) {}
};

}  // namespace

void *Unpack(const TableDesc &stRoot, const char *pcTag, IdlFreeUnpackedFunc pfnRelease,
             const uint8_t *pucBuf, int32_t iBufLen, void *pvRsp) {
    NoTrace stTrace;
    return Unpack(stRoot, pcTag, pfnRelease, pucBuf, iBufLen, pvRsp, stTrace);
}

void *UnpackElement(const TableDesc &stElement, const char *pcTag, const uint8_t *pucBuf,
                    int32_t iBufLen, uint32_t uiTablePos, void *pvOut) {
    NoTrace stTrace;
    return UnpackElement(stElement, pcTag, pucBuf, iBufLen, uiTablePos, pvOut, stTrace);
}

void FreeUnpacked(const TableDesc &stRoot, const char *pcTag, void *pvRsp) {
    const FieldDesc *pstVector = nullptr;
    for (uint32_t i = 0; i < stRoot.uiSlots; ++i) {
        if (stRoot.pstFields[i].eKind == Kind::kVector) pstVector = &stRoot.pstFields[i];
    }
    if (pstVector == nullptr) return;  // nothing was allocated for such a record

    SerialEnsureInit();
    if (pvRsp == nullptr) return;
    auto *pucRec = static_cast<uint8_t *>(pvRsp);
    if (void *pvArray = ReadMember<void *>(pucRec, pstVector->usPointerOffset)) {
        g_pfnSerialFree(pvArray, SERIAL_MEM_MODULE_ID, pcTag);
        WriteMember<void *>(pucRec, pstVector->usPointerOffset, nullptr);
    }
}

}  // namespace korvo
