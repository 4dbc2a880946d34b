// libFuzzer harness of one response decoder and its release function, chosen
// at build time (PSS_FUZZ_RESPONSE). After every input it checks what must
// hold for any buffer: the decoder made at most one allocation, of exactly
// uiInfoNum records; a failure left nothing allocated and pstInfo null; a
// success left an array exactly when the count is non-zero; the release
// function gave back everything and a second release gives back nothing.
// ASan sees the record in a heap block of its exact size, so any write past
// it is caught as well as any read past the input.
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "fuzz/fuzz_check.h"
#include "messages/codecs.h"
#include "messages/schemas.h"
#include "serial/runtime.h"
#include "serial/wire.h"

#ifndef PSS_FUZZ_RESPONSE
#error "PSS_FUZZ_RESPONSE names the response record to fuzz"
#endif

#define PSS_CAT2(a, b) a##b
#define PSS_CAT(a, b) PSS_CAT2(a, b)
using Rsp = PSS_FUZZ_RESPONSE;
#define PSS_UNPACK PSS_CAT(PSS_FUZZ_RESPONSE, _unpack)
#define PSS_FREE PSS_CAT(PSS_FUZZ_RESPONSE, _free_unpacked)

namespace {

long g_lLive = 0;    // blocks handed out and not yet given back
long g_lAllocs = 0;  // allocations during the current input
uint32_t g_uiLastSize = 0;

}  // namespace

#define PSS_FUZZ_EXPORT extern "C" __attribute__((visibility("default")))

PSS_FUZZ_EXPORT uint32_t ZEL_OsalMemUseFlagGet(uint32_t) { return 1; }

PSS_FUZZ_EXPORT void *ZEL_OsalMemCacheAlloc(uint32_t uiSize, uint32_t uiModuleId, const char *) {
    PSS_CHECK(uiModuleId == 12);
    PSS_CHECK(uiSize != 0);
    ++g_lAllocs;
    g_uiLastSize = uiSize;
    void *pv = malloc(uiSize);
    if (pv != nullptr) ++g_lLive;
    return pv;
}

PSS_FUZZ_EXPORT void ZEL_OsalMemFree(void *pv, uint32_t uiModuleId, const char *) {
    PSS_CHECK(uiModuleId == 12);
    PSS_CHECK(pv != nullptr);
    --g_lLive;
    free(pv);
}

// Formats every message, so that a wrong argument for its format shows.
PSS_FUZZ_EXPORT void ZEL_OsalLogWrite(const SerialLogModule *, uint32_t uiLevel, uint32_t uiCode,
                                      const char *, uint32_t, const char *, const char *pcFmt,
                                      ...) {
    PSS_CHECK(uiLevel == 2 && (uiCode == 22 || uiCode == 12));
    char acText[256];
    va_list args;
    va_start(args, pcFmt);
    vsnprintf(acText, sizeof acText, pcFmt, args);
    va_end(args);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pucData, size_t uiSize) {
    if (uiSize > 0x7FFFFFFF) return 0;
    constexpr const korvo::TableDesc &kDesc = korvo::Schema<Rsp>::kTable;
    auto *pucRec = static_cast<uint8_t *>(calloc(1, sizeof(Rsp)));
    PSS_CHECK(pucRec != nullptr);
    g_lAllocs = 0;

    const bool bOk = PSS_UNPACK(pucData, static_cast<int32_t>(uiSize), pucRec) != nullptr;
    PSS_CHECK(g_lAllocs <= 1);
    if constexpr (korvo::HasVector(kDesc)) {
        const korvo::FieldDesc &f = kDesc.pstFields[5];
        const auto uiCount = korvo::ReadMember<uint32_t>(pucRec, f.usOffset);
        void *pvArray = korvo::ReadMember<void *>(pucRec, f.usPointerOffset);
        if (g_lAllocs == 1) {
            PSS_CHECK(uint64_t{g_uiLastSize} == uint64_t{uiCount} * f.pstSub->uiRecordSize);
        }
        if (bOk) {
            PSS_CHECK((pvArray != nullptr) == (uiCount != 0));
            PSS_CHECK(g_lLive == (uiCount != 0 ? 1 : 0));
        } else {
            PSS_CHECK(pvArray == nullptr);
        }
    } else {
        PSS_CHECK(g_lAllocs == 0);
    }
    if (!bOk) PSS_CHECK(g_lLive == 0);

    PSS_FREE(pucRec);
    PSS_CHECK(g_lLive == 0);
    PSS_FREE(pucRec);  // idempotent
    PSS_CHECK(g_lLive == 0);
    free(pucRec);
    return 0;
}
