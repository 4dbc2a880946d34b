// How the runtime resolves its memory hooks, for every way in which a process
// may offer the OS layer: one row of kScenarios each. The hooks are resolved
// once per process, so ctest runs every scenario in a process of its own; a
// process that runs several runs the first and skips the others. No scenario
// offers a log writer. The host byte-order flag is right from load time on
// and never disturbed by the one-time initialisation, however many threads
// race into it (a ThreadSanitizer build turns any unordered access into a
// failure).
//
// The executable defines the three memory functions and is linked with --wrap
// for dlsym, malloc and free: the dlsym wrapper records every OS layer name
// the runtime looks up and answers null for a function the scenario does not
// offer, as a process that lacks it would; the others see every block the
// runtime takes from the C library.
#include <gtest/gtest.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <bit>
#include <chrono>
#include <ostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "serial/runtime.h"
#include "support/worked_images.h"

#define PSS_EXPORT extern "C" __attribute__((visibility("default")))

extern "C" void *__real_dlsym(void *pvHandle, const char *pcName);
extern "C" void *__real_malloc(size_t size);
extern "C" void __real_free(void *pv);

namespace {

// The OS layer's memory functions, as bits of Scenario::uiOffers.
constexpr const char *kMemNames[] = {"ZEL_OsalMemUseFlagGet", "ZEL_OsalMemCacheAlloc",
                                     "ZEL_OsalMemFree"};
enum : unsigned { kFlagGet = 1, kAlloc = 2, kFree = 4, kAll = 7 };

struct Scenario {
    const char *pcName;
    unsigned uiOffers;  // the memory functions dlsym finds
    uint32_t uiFlag;    // what ZEL_OsalMemUseFlagGet answers
    bool bHooksUsed;    // arrays come from the two hooks; otherwise from malloc and free
    bool bRace;         // eight threads make the process's first codec calls at once
};

const Scenario kScenarios[] = {
    {"none", 0, 0, false, false},
    {"flag0", kAll, 0, false, false},
    {"flag2", kAll, 2, false, false},
    {"flag1", kAll, 1, true, false},
    {"flag1_alloc_only", kFlagGet | kAlloc, 1, false, false},
    {"flag1_free_only", kFlagGet | kFree, 1, false, false},
    {"race", kAll, 1, true, true},
};

void PrintTo(const Scenario &s, std::ostream *pOs) { *pOs << s.pcName; }

const Scenario *g_pstScenario = &kScenarios[0];  // set before the first codec call
std::atomic<int> g_flagCalls{0};

// What the wrappers below record: the OS layer names asked of dlsym, and the
// C library blocks of two error elements' size taken and given back while a
// test watches. A sanitizer's runtime calls these wrappers too, before its
// own set-up is done, so they are left uninstrumented, allocate nothing and
// keep their records in fixed storage with atomic builtins; so do the
// memory hooks, which may run on several threads at once.
constexpr size_t kMaxRecords = 64;
struct CallLog {
    size_t count;
    const void *records[kMaxRecords];
};
CallLog g_lookups;  // of const char *, in order
CallLog g_cAllocs, g_cFrees, g_osAllocs, g_osFrees;
bool g_watchC;
unsigned g_uiOffers;

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

void Watch(bool bOn) { __atomic_store_n(&g_watchC, bOn, __ATOMIC_RELAXED); }

std::vector<const void *> Records(const CallLog &stLog) {
    const size_t count = std::min(__atomic_load_n(&stLog.count, __ATOMIC_RELAXED), kMaxRecords);
    std::vector<const void *> out(stLog.records, stLog.records + count);
    std::sort(out.begin(), out.end());
    return out;
}

void Forget(CallLog &stLog) { __atomic_store_n(&stLog.count, 0, __ATOMIC_RELAXED); }

// Whether the scenario hides pcName, one of the OS layer's names.
PSS_UNINSTRUMENTED bool Hidden(const char *pcName) {
    const unsigned uiOffers = __atomic_load_n(&g_uiOffers, __ATOMIC_RELAXED);
    for (unsigned i = 0; i < 3; ++i) {
        const char *pcA = pcName, *pcB = kMemNames[i];
        while (*pcA != '\0' && *pcA == *pcB) ++pcA, ++pcB;
        if (*pcA == *pcB) return (uiOffers & (1u << i)) == 0;
    }
    return false;
}

PSS_UNINSTRUMENTED bool IsOsLayerName(const char *pcName) {
    return pcName != nullptr && pcName[0] == 'Z' && pcName[1] == 'E' && pcName[2] == 'L' &&
           pcName[3] == '_';
}

// The OS layer names looked up, in order.
std::vector<std::string> Lookups() {
    const size_t count = std::min(__atomic_load_n(&g_lookups.count, __ATOMIC_RELAXED), kMaxRecords);
    std::vector<std::string> names;
    for (size_t i = 0; i < count; ++i)
        names.emplace_back(static_cast<const char *>(g_lookups.records[i]));
    return names;
}

}  // namespace

extern "C" PSS_UNINSTRUMENTED void *__wrap_dlsym(void *pvHandle, const char *pcName) {
    if (!IsOsLayerName(pcName)) return __real_dlsym(pvHandle, pcName);
    Append(&g_lookups, pcName);
    return Hidden(pcName) ? nullptr : __real_dlsym(pvHandle, pcName);
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

PSS_EXPORT uint32_t ZEL_OsalMemUseFlagGet(uint32_t uiModuleId) {
    EXPECT_EQ(uiModuleId, SERIAL_MEM_MODULE_ID);
    g_flagCalls.fetch_add(1);
    // Hold the lock long enough for the other thread to queue behind it.
    if (g_pstScenario->bRace) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return g_pstScenario->uiFlag;
}

PSS_EXPORT void *ZEL_OsalMemCacheAlloc(uint32_t uiSize, uint32_t uiModuleId, const char *pcTag) {
    EXPECT_EQ(uiSize, 2 * sizeof(QOMA_PAT_ERROR_INFO));
    EXPECT_EQ(uiModuleId, SERIAL_MEM_MODULE_ID);
    EXPECT_STREQ(pcTag, "QOMA_PAT_ERROR_QUERY_RSP_unpack");
    void *pv = __real_malloc(uiSize);
    Append(&g_osAllocs, pv);
    return pv;
}

PSS_EXPORT void ZEL_OsalMemFree(void *pvMem, uint32_t uiModuleId, const char *pcTag) {
    EXPECT_EQ(uiModuleId, SERIAL_MEM_MODULE_ID);
    EXPECT_STREQ(pcTag, "QOMA_PAT_ERROR_QUERY_RSP_free_unpacked");
    Append(&g_osFrees, pvMem);
    __real_free(pvMem);
}

namespace {

// The order the host stores integers in, as the compiler knows it.
constexpr uint32_t kBigEndian = std::endian::native == std::endian::big ? 1 : 0;

// Decodes the image in uiThreads threads at once and releases it, watching
// where the arrays come from and go to and the byte order each thread sees.
void DecodeAndRelease(const Scenario &s, unsigned uiThreads) {
    for (CallLog *pstLog : {&g_osAllocs, &g_osFrees, &g_cAllocs, &g_cFrees}) Forget(*pstLog);
    std::vector<QOMA_PAT_ERROR_QUERY_RSP> rsps(uiThreads);
    for (QOMA_PAT_ERROR_QUERY_RSP &stRsp : rsps) memset(&stRsp, 0xA5, sizeof stRsp);
    std::barrier start(uiThreads);
    std::vector<std::thread> threads;
    std::vector<uint32_t> seen(uiThreads);
    Watch(true);
    for (unsigned i = 0; i < uiThreads; ++i) {
        threads.emplace_back([&, i] {
            start.arrive_and_wait();
            pss_test::DecodeErrorQuery(&rsps[i]);  // the decoder reads the flag before its init
            SerialEnsureInit();
            seen[i] = korvo::HostIsBigEndian() ? 1u : 0u;
        });
    }
    for (std::thread &thread : threads) thread.join();
    EXPECT_EQ(seen, std::vector<uint32_t>(uiThreads, kBigEndian));
    std::vector<const void *> arrays;
    for (QOMA_PAT_ERROR_QUERY_RSP &stRsp : rsps) {
        arrays.push_back(stRsp.pstInfo);
        QOMA_PAT_ERROR_QUERY_RSP_free_unpacked(&stRsp);
        EXPECT_EQ(stRsp.pstInfo, nullptr);
    }
    Watch(false);
    std::sort(arrays.begin(), arrays.end());

    const std::vector<const void *> none;
    EXPECT_EQ(Records(g_osAllocs), s.bHooksUsed ? arrays : none) << "from ZEL_OsalMemCacheAlloc";
    EXPECT_EQ(Records(g_osFrees), s.bHooksUsed ? arrays : none) << "to ZEL_OsalMemFree";
    EXPECT_EQ(Records(g_cAllocs), s.bHooksUsed ? none : arrays) << "from malloc";
    EXPECT_EQ(Records(g_cFrees), s.bHooksUsed ? none : arrays) << "to free";
}

class HookResolution : public ::testing::TestWithParam<Scenario> {};

// The first codec calls resolve the hooks: the flag is asked once, and the
// allocator looked up only when it answers 1; later calls resolve nothing.
// Failures that would be logged give their usual results without a writer.
TEST_P(HookResolution, DecodedArraysUseTheHooksThisProcessOffersResolvedOnce) {
    static bool s_bRan = false;
    if (std::exchange(s_bRan, true)) {
        GTEST_SKIP() << "the hooks are resolved once per process";
    }
    const Scenario &s = GetParam();
    g_pstScenario = &s;
    __atomic_store_n(&g_uiOffers, s.uiOffers, __ATOMIC_RELAXED);
    ASSERT_EQ(g_serialHooksResolved.load(), 0u) << "something resolved the hooks already";
    EXPECT_EQ(g_bigEndianHost.load(), kBigEndian) << "before any codec ran";

    DecodeAndRelease(s, s.bRace ? 8 : 1);
    EXPECT_EQ(g_bigEndianHost.load(), kBigEndian);
    EXPECT_EQ(g_pfnSerialAlloc, s.bHooksUsed ? &ZEL_OsalMemCacheAlloc : &SerialDefaultAlloc);
    EXPECT_EQ(g_pfnSerialFree, s.bHooksUsed ? &ZEL_OsalMemFree : &SerialDefaultFree);
    std::vector<std::string> expected = {kMemNames[0]};
    if ((s.uiOffers & kFlagGet) != 0 && s.uiFlag == 1) {
        expected.insert(expected.end(), {kMemNames[1], kMemNames[2]});
    }
    EXPECT_EQ(Lookups(), expected);
    SerialEnsureInit();
    DecodeAndRelease(s, 1);
    EXPECT_EQ(Lookups(), expected);
    EXPECT_EQ(g_flagCalls.load(), (s.uiOffers & kFlagGet) != 0 ? 1 : 0);

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
    expected.push_back("ZEL_OsalLogWrite");  // once, at the first message
    EXPECT_EQ(Lookups(), expected);
}

INSTANTIATE_TEST_SUITE_P(Scenario, HookResolution, ::testing::ValuesIn(kScenarios),
                         [](const auto &info) { return std::string(info.param.pcName); });

}  // namespace
