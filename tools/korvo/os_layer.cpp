// The tool's OS layer, found by the runtime with dlsym as a device process's
// would be: the decoder's log text is kept for the tool's messages, and its
// element arrays come from malloc up to the limit the tool sets per buffer.
#include "tools/korvo/os_layer.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

#include "serial/runtime.h"

namespace korvo_tool {
namespace {

std::string g_log;
uint64_t g_ullAllocLimit = UINT64_MAX;

}  // namespace

std::string TakeLibraryLog() {
    std::string log;
    log.swap(g_log);
    return log;
}

void SetAllocationLimit(uint64_t ullBytes) { g_ullAllocLimit = ullBytes; }

}  // namespace korvo_tool

#define KORVO_TOOL_EXPORT extern "C" __attribute__((visibility("default")))

KORVO_TOOL_EXPORT uint32_t ZEL_OsalMemUseFlagGet(uint32_t) { return 1; }

KORVO_TOOL_EXPORT void *ZEL_OsalMemCacheAlloc(uint32_t uiSize, uint32_t, const char *) {
    if (uiSize > korvo_tool::g_ullAllocLimit) return nullptr;
    return malloc(uiSize == 0 ? 1 : uiSize);
}

KORVO_TOOL_EXPORT void ZEL_OsalMemFree(void *pvMem, uint32_t, const char *) { free(pvMem); }

KORVO_TOOL_EXPORT void ZEL_OsalLogWrite(const SerialLogModule *, uint32_t, uint32_t uiCode,
                                        const char *, uint32_t, const char *pcFunc,
                                        const char *pcFmt, ...) {
    char acText[512];
    va_list args;
    va_start(args, pcFmt);
    vsnprintf(acText, sizeof acText, pcFmt, args);
    va_end(args);
    std::string &log = korvo_tool::g_log;
    if (!log.empty()) log += "; ";
    log += std::string(pcFunc != nullptr ? pcFunc : "?") + ": " + acText + " (code " +
           std::to_string(uiCode) + ")";
}
