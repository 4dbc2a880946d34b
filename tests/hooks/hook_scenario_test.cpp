// How the runtime resolves its memory hooks, for one way in which a process
// may offer the OS layer. The hooks are resolved once per process, so this
// source is built into one executable per scenario, the scenario chosen by
// the defines below. No scenario defines a log writer.
//
//   PSS_FLAG_GET=<n>  ZEL_OsalMemUseFlagGet is defined and answers n
//   PSS_MEM_ALLOC     ZEL_OsalMemCacheAlloc is defined
//   PSS_MEM_FREE      ZEL_OsalMemFree is defined
//   PSS_HOOKS_USED    the runtime must use the two functions above; otherwise
//                     it must keep malloc and free
//   PSS_RACE          two threads make the process's first codec calls at once
//
// The executable is linked with --wrap for dlsym, malloc and free, so the test
// sees every name the runtime looks up and every block it takes from the C
// library.
#include <gtest/gtest.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "error_query_image.h"
#include "serial/runtime.h"

#define PSS_EXPORT extern "C" __attribute__((visibility("default")))

extern "C" void *__real_dlsym(void *pvHandle, const char *pcName);
extern "C" void *__real_malloc(size_t size);
extern "C" void __real_free(void *pv);

namespace {

struct MemCall {
    void *pv;
    uint32_t uiSize;
    uint32_t uiModuleId;
    std::string tag;
};

std::mutex g_mutex;
std::vector<MemCall> g_osAllocs;
std::vector<MemCall> g_osFrees;
[[maybe_unused]] std::atomic<int> g_flagCalls{0};
[[maybe_unused]] std::atomic<uint32_t> g_flagArgument{0};

// What the wrappers below record: the OS layer names asked of dlsym, and the
// C library blocks of two error elements' size taken and given back while a
// test watches. A sanitizer's runtime calls these wrappers too, before its
// own set-up is done, so they are left uninstrumented, allocate nothing and
// keep their records in fixed storage with atomic builtins.
constexpr size_t kMaxRecords = 64;
struct CallLog {
    size_t count;
    const void *records[kMaxRecords];
};
CallLog g_lookups;  // of const char *, in order
CallLog g_cAllocs;
CallLog g_cFrees;
bool g_watchC;

#if defined(__clang__)
#define PSS_UNINSTRUMENTED                                        \
    __attribute__((no_sanitize("address", "thread", "undefined"), \
                   disable_sanitizer_instrumentation))
#else
#define PSS_UNINSTRUMENTED \
    __attribute__((no_sanitize_address, no_sanitize_thread, no_sanitize_undefined))
#endif

PSS_UNINSTRUMENTED void Append(CallLog *pstLog, const void *pv) {
    const size_t i = __atomic_fetch_add(&pstLog->count, 1, __ATOMIC_RELAXED);
    if (i < kMaxRecords) pstLog->records[i] = pv;
}

PSS_UNINSTRUMENTED bool Watching() { return __atomic_load_n(&g_watchC, __ATOMIC_RELAXED); }

[[maybe_unused]] void Watch(bool bOn) { __atomic_store_n(&g_watchC, bOn, __ATOMIC_RELAXED); }

std::vector<const void *> Records(const CallLog &stLog) {
    const size_t count = std::min(__atomic_load_n(&stLog.count, __ATOMIC_RELAXED), kMaxRecords);
    return std::vector<const void *>(stLog.records, stLog.records + count);
}

[[maybe_unused]] void Forget(CallLog &stLog) {
    __atomic_store_n(&stLog.count, 0, __ATOMIC_RELAXED);
}

PSS_UNINSTRUMENTED bool IsOsLayerName(const char *pcName) {
    return pcName != nullptr && pcName[0] == 'Z' && pcName[1] == 'E' && pcName[2] == 'L' &&
           pcName[3] == '_';
}

[[maybe_unused]] void Record(std::vector<MemCall> &calls, MemCall call) {
    std::lock_guard<std::mutex> lock(g_mutex);
    calls.push_back(std::move(call));
}

// The OS layer names looked up, in order; those of the memory hooks alone
// unless bWithLog.
std::vector<std::string> Lookups(bool bWithLog = false) {
    std::vector<std::string> names;
    for (const void *pv : Records(g_lookups)) {
        if (bWithLog || strcmp(static_cast<const char *>(pv), "ZEL_OsalLogWrite") != 0)
            names.emplace_back(static_cast<const char *>(pv));
    }
    return names;
}

}  // namespace

extern "C" PSS_UNINSTRUMENTED void *__wrap_dlsym(void *pvHandle, const char *pcName) {
    if (IsOsLayerName(pcName)) Append(&g_lookups, pcName);
    return __real_dlsym(pvHandle, pcName);
}

extern "C" PSS_UNINSTRUMENTED void *__wrap_malloc(size_t size) {
    void *pv = __real_malloc(size);
    if (Watching() && size == 2 * sizeof(QOMA_PAT_ERROR_INFO)) Append(&g_cAllocs, pv);
    return pv;
}

extern "C" PSS_UNINSTRUMENTED void __wrap_free(void *pv) {
    if (Watching() && pv != nullptr) Append(&g_cFrees, pv);
    __real_free(pv);
}

#ifdef PSS_FLAG_GET
PSS_EXPORT uint32_t ZEL_OsalMemUseFlagGet(uint32_t uiModuleId) {
    g_flagArgument.store(uiModuleId);
    g_flagCalls.fetch_add(1);
#ifdef PSS_RACE
    // Hold the lock long enough for the other thread to queue behind it.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
#endif
    return PSS_FLAG_GET;
}
#endif

#ifdef PSS_MEM_ALLOC
PSS_EXPORT void *ZEL_OsalMemCacheAlloc(uint32_t uiSize, uint32_t uiModuleId, const char *pcTag) {
    void *pv = __real_malloc(uiSize);
    Record(g_osAllocs, {pv, uiSize, uiModuleId, pcTag});
    return pv;
}
#endif

#ifdef PSS_MEM_FREE
PSS_EXPORT void ZEL_OsalMemFree(void *pvMem, uint32_t uiModuleId, const char *pcTag) {
    Record(g_osFrees, {pvMem, 0, uiModuleId, pcTag});
    __real_free(pvMem);
}
#endif

namespace {

#ifndef PSS_RACE

// Decodes and releases the image once, watching the C library's blocks.
void DecodeAndRelease() {
    g_osAllocs.clear();  // no other thread runs: the scenarios that race do not come here
    g_osFrees.clear();
    Forget(g_cAllocs);
    Forget(g_cFrees);
    QOMA_PAT_ERROR_QUERY_RSP stRsp;
    memset(&stRsp, 0xA5, sizeof stRsp);
    Watch(true);
    pss_test::DecodeErrorQuery(&stRsp);
    void *pvArray = stRsp.pstInfo;
    QOMA_PAT_ERROR_QUERY_RSP_free_unpacked(&stRsp);
    Watch(false);
    EXPECT_EQ(stRsp.pstInfo, nullptr);

    const auto &osAllocs = g_osAllocs, &osFrees = g_osFrees;
#ifdef PSS_HOOKS_USED
    EXPECT_TRUE(Records(g_cAllocs).empty()) << "a block of the array's size came from malloc";
    EXPECT_TRUE(Records(g_cFrees).empty()) << "a block went to free";
    ASSERT_EQ(osAllocs.size(), 1u);
    EXPECT_EQ(osAllocs[0].pv, pvArray);
    EXPECT_EQ(osAllocs[0].uiSize, 2 * sizeof(QOMA_PAT_ERROR_INFO));
    EXPECT_EQ(osAllocs[0].uiModuleId, SERIAL_MEM_MODULE_ID);
    EXPECT_EQ(osAllocs[0].tag, "QOMA_PAT_ERROR_QUERY_RSP_unpack");
    ASSERT_EQ(osFrees.size(), 1u);
    EXPECT_EQ(osFrees[0].pv, pvArray);
    EXPECT_EQ(osFrees[0].uiModuleId, SERIAL_MEM_MODULE_ID);
    EXPECT_EQ(osFrees[0].tag, "QOMA_PAT_ERROR_QUERY_RSP_free_unpacked");
#else
    EXPECT_TRUE(osAllocs.empty()) << "the OS layer's allocator was called";
    EXPECT_TRUE(osFrees.empty()) << "the OS layer's release function was called";
    EXPECT_EQ(Records(g_cAllocs), std::vector<const void *>{pvArray});
    EXPECT_EQ(Records(g_cFrees), std::vector<const void *>{pvArray});
#endif
}

// The first decode resolves the hooks: the flag is asked once, and the
// allocator looked up only when it answers 1; later calls resolve nothing.
TEST(HookResolution, DecodedArraysUseTheHooksThisProcessOffersResolvedOnce) {
    DecodeAndRelease();
#ifdef PSS_HOOKS_USED
    EXPECT_EQ(g_pfnSerialAlloc, &ZEL_OsalMemCacheAlloc);
    EXPECT_EQ(g_pfnSerialFree, &ZEL_OsalMemFree);
#else
    EXPECT_EQ(g_pfnSerialAlloc, &SerialDefaultAlloc);
    EXPECT_EQ(g_pfnSerialFree, &SerialDefaultFree);
#endif
    std::vector<std::string> expected = {"ZEL_OsalMemUseFlagGet"};
#if defined(PSS_FLAG_GET) && PSS_FLAG_GET == 1
    expected.push_back("ZEL_OsalMemCacheAlloc");
    expected.push_back("ZEL_OsalMemFree");
#endif
    EXPECT_EQ(Lookups(), expected);
    SerialEnsureInit();
    DecodeAndRelease();
    EXPECT_EQ(Lookups(), expected);
#ifdef PSS_FLAG_GET
    EXPECT_EQ(g_flagCalls.load(), 1);
    EXPECT_EQ(g_flagArgument.load(), SERIAL_MEM_MODULE_ID);
#endif
}

#if !defined(PSS_FLAG_GET) && !defined(PSS_MEM_ALLOC) && !defined(PSS_MEM_FREE)
// Without any OS layer function, nothing is logged, failures give their
// usual results and decoded arrays come from malloc.
TEST(HookResolution, WithoutAnOsLayerCodecsGiveTheirUsualResults) {
    // Failures that would be logged: the same results, and no writer found.
    QOMA_PAT_APP_QUERY_REQ stReq{};
    uint8_t aucImage[8];
    uint32_t uiShort = 3;
    const SerialBufDesc stShort{aucImage, &uiShort};
    EXPECT_EQ(QOMA_PAT_APP_QUERY_REQ_pack(&stShort, &stReq), 0u);
    QOMA_PAT_ERROR_QUERY_RSP stRsp{};
    const uint8_t aucBadRoot[8] = {0x40, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(QOMA_PAT_ERROR_QUERY_RSP_unpack(aucBadRoot, sizeof aucBadRoot, &stRsp), nullptr);
    EXPECT_EQ(g_serialLogResolved.load(), 1u);
    EXPECT_EQ(g_pfnSerialLog, nullptr);
    const auto lookups = Lookups(true);
    EXPECT_EQ(std::count(lookups.begin(), lookups.end(), "ZEL_OsalLogWrite"), 1);

    DecodeAndRelease();
}
#endif

#else  // PSS_RACE

TEST(HookResolution, TwoThreadsRacingIntoFirstUseResolveOnce) {
    ASSERT_EQ(g_serialHooksResolved.load(), 0u);
    std::barrier start(2);
    QOMA_PAT_ERROR_QUERY_RSP astRsp[2] = {};
    auto decode = [&](QOMA_PAT_ERROR_QUERY_RSP *pstRsp) {
        start.arrive_and_wait();
        pss_test::DecodeErrorQuery(pstRsp);
    };
    std::thread first(decode, &astRsp[0]);
    std::thread second(decode, &astRsp[1]);
    first.join();
    second.join();

    EXPECT_EQ(g_flagCalls.load(), 1);
    const auto lookups = Lookups();
    EXPECT_EQ(std::count(lookups.begin(), lookups.end(), "ZEL_OsalMemUseFlagGet"), 1);
    // The thread that waited used the hooks the other one resolved.
    const auto &osAllocs = g_osAllocs;  // the threads are joined
    ASSERT_EQ(osAllocs.size(), 2u);
    for (const QOMA_PAT_ERROR_QUERY_RSP &stRsp : astRsp) {
        EXPECT_TRUE(stRsp.pstInfo == osAllocs[0].pv || stRsp.pstInfo == osAllocs[1].pv);
    }
    for (QOMA_PAT_ERROR_QUERY_RSP &stRsp : astRsp) QOMA_PAT_ERROR_QUERY_RSP_free_unpacked(&stRsp);
    EXPECT_EQ(g_osFrees.size(), 2u);
}

#endif  // PSS_RACE

}  // namespace
