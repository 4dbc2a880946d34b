// The host byte-order flag: right from load time on, before any codec has
// run, and never disturbed by the one-time initialisation, however many
// threads race into it while decoders read the flag (a ThreadSanitizer
// build turns any unordered access into a failure). A process of its own, so
// that nothing has been resolved before the first test looks.
#include <gtest/gtest.h>
#include <string.h>

#include <barrier>
#include <thread>
#include <vector>

#include "error_query_image.h"
#include "serial/runtime.h"

namespace {

// The order the host really stores integers in, asked of memory.
uint32_t ProbedBigEndian() {
    const uint32_t uiOne = 1;
    uint8_t aucBytes[4];
    memcpy(aucBytes, &uiOne, sizeof aucBytes);
    return aucBytes[0] == 0 ? 1u : 0u;
}

TEST(ByteOrderFlag, HoldsTheHostOrderBeforeAnyCodecRuns) {
    ASSERT_EQ(g_serialHooksResolved.load(), 0u) << "something resolved the hooks already";
    EXPECT_EQ(g_bigEndianHost.load(), ProbedBigEndian());
}

TEST(ByteOrderFlag, StaysRightWhileThreadsRaceIntoTheFirstDecode) {
    ASSERT_EQ(g_serialHooksResolved.load(), 0u);
    constexpr size_t kThreads = 8;
    std::barrier start(static_cast<std::ptrdiff_t>(kThreads));
    std::vector<QOMA_PAT_ERROR_QUERY_RSP> rsps(kThreads);
    std::vector<uint32_t> seen(kThreads);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            start.arrive_and_wait();
            // A decoder reads the flag before its own SerialEnsureInit().
            pss_test::DecodeErrorQuery(&rsps[i]);
            SerialEnsureInit();
            seen[i] = korvo::HostIsBigEndian() ? 1u : 0u;
            QOMA_PAT_ERROR_QUERY_RSP_free_unpacked(&rsps[i]);
        });
    }
    for (std::thread &thread : threads) thread.join();
    EXPECT_EQ(g_serialHooksResolved.load(), 1u);
    EXPECT_EQ(g_bigEndianHost.load(), ProbedBigEndian());
    for (size_t i = 0; i < kThreads; ++i) {
        EXPECT_EQ(seen[i], ProbedBigEndian()) << "thread " << i;
    }
}

}  // namespace
