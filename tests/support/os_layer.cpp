#include "support/os_layer.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <mutex>
#include <set>

namespace pss_test {
namespace {

std::mutex g_mutex;
std::vector<LogRecord> g_logs;
std::vector<AllocRecord> g_allocs;
std::vector<FreeRecord> g_frees;
std::set<void *> g_live;
bool g_failAllocations = false;

template <class T>
std::vector<T> Take(std::vector<T> &records) {
    std::lock_guard<std::mutex> lock(g_mutex);
    std::vector<T> taken;
    taken.swap(records);
    return taken;
}

bool Unlocked(pthread_mutex_t *pstLock) {
    if (pthread_mutex_trylock(pstLock) != 0) return false;
    pthread_mutex_unlock(pstLock);
    return true;
}

}  // namespace

std::vector<LogRecord> TakeLogs() { return Take(g_logs); }
std::vector<AllocRecord> TakeAllocs() { return Take(g_allocs); }
std::vector<FreeRecord> TakeFrees() { return Take(g_frees); }

size_t LiveAllocations() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_live.size();
}

void FailAllocations(bool bFail) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_failAllocations = bFail;
}

}  // namespace pss_test

using namespace pss_test;

#define PSS_TEST_EXPORT extern "C" __attribute__((visibility("default")))

PSS_TEST_EXPORT uint32_t ZEL_OsalMemUseFlagGet(uint32_t) { return 1; }

PSS_TEST_EXPORT void *ZEL_OsalMemCacheAlloc(uint32_t uiSize, uint32_t uiModuleId,
                                            const char *pcTag) {
    std::lock_guard<std::mutex> lock(g_mutex);
    void *pvMem = g_failAllocations ? nullptr : malloc(uiSize == 0 ? 1 : uiSize);
    EXPECT_EQ(uiModuleId, SERIAL_MEM_MODULE_ID);
    g_allocs.push_back({uiSize, pcTag != nullptr ? pcTag : "", pvMem});
    if (pvMem != nullptr) g_live.insert(pvMem);
    return pvMem;
}

PSS_TEST_EXPORT void ZEL_OsalMemFree(void *pvMem, uint32_t uiModuleId, const char *pcTag) {
    std::lock_guard<std::mutex> lock(g_mutex);
    EXPECT_EQ(uiModuleId, SERIAL_MEM_MODULE_ID);
    g_frees.push_back({pvMem, pcTag != nullptr ? pcTag : ""});
    if (pvMem != nullptr && g_live.erase(pvMem) == 0) {
        fprintf(stderr, "ZEL_OsalMemFree: %p was not allocated here\n", pvMem);
        abort();
    }
    free(pvMem);
}

PSS_TEST_EXPORT void ZEL_OsalLogWrite(const SerialLogModule *pstModule, uint32_t uiLevel,
                                      uint32_t uiCode, const char *pcFile, uint32_t uiLine,
                                      const char *pcFunc, const char *pcFmt, ...) {
    char acText[512];
    va_list args;
    va_start(args, pcFmt);
    vsnprintf(acText, sizeof acText, pcFmt, args);
    va_end(args);
    const bool bUnlocked = Unlocked(&g_serialHookLock) && Unlocked(&g_serialLogLock);
    // What every message of the runtime carries, whichever check it reports.
    const SerialLogModule &m = *pstModule;
    EXPECT_TRUE(!strcmp(m.pcModule, "KORVO") && !strcmp(m.pcSubModule, "KORVO_TARNWAY_SERIAL") &&
                m.uiModuleCode == 0x6200 && m.uiReserved == 0 && uiLevel == 2 && pcFile &&
                !*pcFile && uiLine > 0 && uiLine < 5000 && bUnlocked)
        << acText << ": level " << uiLevel << ", line " << uiLine << ", unlocked " << bUnlocked;
    std::lock_guard<std::mutex> lock(g_mutex);
    g_logs.push_back({uiCode, uiLine, pcFunc != nullptr ? pcFunc : "", pcFmt, acText});
}
