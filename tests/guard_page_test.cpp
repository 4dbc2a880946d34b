// Every decoder reads only inside [pucBuf, pucBuf + iBufLen), and needs little
// stack: buffers lie with their last byte flush against an inaccessible page,
// and every prefix and many mutations of valid images are decoded on a thread
// whose stack is 64 KiB (or the least the platform allows, if more: 128 KiB on
// PowerPC), logging into the test OS layer included. A read past the end
// faults and ends the test executable.
#include <gtest/gtest.h>
#include <pthread.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <functional>
#include <vector>

#include "messages/codecs.h"
#include "support/korvo_builder.h"
#include "support/os_layer.h"
#include "support/response_cases.h"

namespace pss_test {
namespace {

// Copies the first uiLen bytes of src so that the last one lies just before a
// PROT_NONE page.
const uint8_t *AgainstGuardPage(const std::vector<uint8_t> &src, size_t uiLen) {
    static const size_t uiPage = static_cast<size_t>(sysconf(_SC_PAGESIZE)), uiRoom = 1 << 20;
    static uint8_t *const pucEnd = [] {
        void *pv = mmap(nullptr, uiRoom + uiPage, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        auto *pucGuard = static_cast<uint8_t *>(pv) + uiRoom;
        if (pv == MAP_FAILED || mprotect(pucGuard, uiPage, PROT_NONE) != 0) abort();
        return pucGuard;
    }();
    if (uiLen > uiRoom) abort();
    if (uiLen != 0) memcpy(pucEnd - uiLen, src.data(), uiLen);
    return pucEnd - uiLen;
}

void OnSmallStack(const std::function<void()> &fn) {
    pthread_attr_t attr;
    ASSERT_EQ(pthread_attr_init(&attr), 0);
    const long lMin = sysconf(_SC_THREAD_STACK_MIN);
    ASSERT_EQ(pthread_attr_setstacksize(&attr, static_cast<size_t>(lMin > 65536 ? lMin : 65536)),
              0);
    pthread_t thread;
    auto run = [](void *pv) -> void * {
        (*static_cast<const std::function<void()> *>(pv))();
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attr, run, const_cast<std::function<void()> *>(&fn)), 0);
    ASSERT_EQ(pthread_join(thread, nullptr), 0);
    pthread_attr_destroy(&attr);
}

class GuardPage : public ::testing::TestWithParam<ResponseCase> {};

TEST_P(GuardPage, EveryPrefixAndMutationStaysInsideTheBufferOnASmallStack) {
    const ResponseCase &c = GetParam();
    // The empty root, and valid images in two layouts, small enough to mutate byte by byte.
    std::mt19937 rng(99);
    std::vector<std::vector<uint8_t>> images = {{4, 0, 0, 0, 0, 0, 0, 0}};
    for (const uint32_t uiCount : {1u, 2u}) {
        std::vector<std::vector<uint8_t>> arena;
        AnyRecord rec(c);
        FillRandom(*c.pstDesc, rec.Bytes(), rng, uiCount, &arena);
        images.push_back(WriteRecord(*c.pstDesc, rec.Bytes()));
        images.push_back(
            WriteRecord(*c.pstDesc, rec.Bytes(), {.bVtableAfter = true, .bWriteZeros = true}));
    }
    auto decode = [&c](const std::vector<uint8_t> &bytes, size_t uiLen) {
        AnyRecord rec(c);  // zeroed: a root failure leaves it so, and it can be released
        const uint8_t *pucBuf = AgainstGuardPage(bytes, uiLen);
        const bool bOk = c.pfnUnpack(pucBuf, static_cast<int32_t>(uiLen), rec.Bytes()) != nullptr;
        c.pfnFree(rec.Bytes());
        return bOk;
    };
    OnSmallStack([&] {
        for (const auto &img : images) {
            for (size_t uiLen = 0; uiLen < img.size(); ++uiLen) decode(img, uiLen);
            EXPECT_TRUE(decode(img, img.size()));
            std::vector<uint8_t> mutated = img;
            for (size_t uiPos = 0; uiPos < img.size(); ++uiPos) {
                for (const int iValue :
                     {0x00, 0xFF, 0x80, 0x7F, img[uiPos] + 1, img[uiPos] - 4, int(rng())}) {
                    mutated[uiPos] = static_cast<uint8_t>(iValue);
                    decode(mutated, mutated.size());
                }
                mutated[uiPos] = img[uiPos];
            }
            for (int i = 0; i < 2000; ++i) {  // damage to several bytes, at random lengths
                mutated = img;
                for (int j = 0; j < 4; ++j) mutated[rng() % img.size()] = uint8_t(rng());
                decode(mutated, rng() % (img.size() + 1));
            }
        }
    });
    TakeLogs(), TakeAllocs(), TakeFrees();
    EXPECT_EQ(LiveAllocations(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Decoders, GuardPage, ::testing::ValuesIn(AllResponses()),
                         [](const auto &info) { return std::string(info.param.pcName).substr(9); });

}  // namespace
}  // namespace pss_test
