// Every decoder reads only inside [pucBuf, pucBuf + iBufLen): buffers are
// placed so that their last byte is flush against an inaccessible page, then
// every prefix and many mutations of valid images are decoded. A read past
// the end faults and ends the test executable.
#include <gtest/gtest.h>
#include <pthread.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <vector>

#include "messages/codecs.h"
#include "support/korvo_builder.h"
#include "support/os_layer.h"
#include "support/response_cases.h"

namespace pss_test {
namespace {

// Pages of readable memory followed by one PROT_NONE page.
class GuardedBuffer {
  public:
    explicit GuardedBuffer(size_t uiMaxLen) {
        m_uiPage = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        m_uiReadable = (uiMaxLen + m_uiPage - 1) / m_uiPage * m_uiPage + m_uiPage;
        void *pv = mmap(nullptr, m_uiReadable + m_uiPage, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (pv == MAP_FAILED) abort();
        m_pucBase = static_cast<uint8_t *>(pv);
        if (mprotect(m_pucBase + m_uiReadable, m_uiPage, PROT_NONE) != 0) abort();
    }
    ~GuardedBuffer() { munmap(m_pucBase, m_uiReadable + m_uiPage); }

    // Copies the first uiLen bytes so that the last one is the last readable byte.
    const uint8_t *Place(const uint8_t *pucSrc, size_t uiLen) {
        uint8_t *pucAt = m_pucBase + m_uiReadable - uiLen;
        if (uiLen != 0) memcpy(pucAt, pucSrc, uiLen);
        return pucAt;
    }

  private:
    size_t m_uiPage, m_uiReadable;
    uint8_t *m_pucBase;
};

// Valid images of a response in several layouts, small enough to mutate byte by byte.
std::vector<std::vector<uint8_t>> Images(const ResponseCase &c) {
    std::mt19937 rng(99);
    std::vector<std::vector<uint8_t>> images;
    const Layout layouts[] = {{}, {.bVtableAfter = true, .bWriteZeros = true}};
    for (const uint32_t uiCount : {1u, 2u}) {
        std::vector<std::vector<uint8_t>> arena;
        AnyRecord rec(c);
        FillRandom(*c.pstDesc, rec.Bytes(), rng, uiCount, &arena);
        for (const Layout &layout : layouts)
            images.push_back(WriteRecord(*c.pstDesc, rec.Bytes(), layout));
        if (!c.HasVector()) break;
    }
    images.push_back({4, 0, 0, 0, 0, 0, 0, 0});  // the empty root
    return images;
}

size_t Decode(const ResponseCase &c, GuardedBuffer &guard, const std::vector<uint8_t> &img,
              size_t uiLen) {
    AnyRecord rec(c);  // zeroed: a root failure leaves the record as it was
    const uint8_t *pucBuf = guard.Place(img.data(), uiLen);
    const bool bOk = c.pfnUnpack(pucBuf, static_cast<int32_t>(uiLen), rec.Bytes()) != nullptr;
    c.pfnFree(rec.Bytes());
    return bOk ? 1 : 0;
}

class GuardPage : public ::testing::TestWithParam<ResponseCase> {
  protected:
    void TearDown() override { TakeLogs(), TakeAllocs(), TakeFrees(); }
};

TEST_P(GuardPage, EveryPrefixStaysInsideTheBuffer) {
    const ResponseCase &c = GetParam();
    for (const auto &img : Images(c)) {
        GuardedBuffer guard(img.size());
        size_t uiAccepted = 0;
        for (size_t uiLen = 0; uiLen <= img.size(); ++uiLen)
            uiAccepted += Decode(c, guard, img, uiLen);
        EXPECT_GE(uiAccepted, 1u);  // at least the whole image
        EXPECT_EQ(LiveAllocations(), 0u);
    }
}

TEST_P(GuardPage, MutatedImagesStayInsideTheBuffer) {
    const ResponseCase &c = GetParam();
    std::mt19937 rng(5);
    size_t uiRuns = 0;
    for (const auto &img : Images(c)) {
        GuardedBuffer guard(img.size());
        std::vector<uint8_t> mutated = img;
        for (size_t uiPos = 0; uiPos < img.size(); ++uiPos) {
            const uint8_t aucValues[] = {0x00,
                                         0xFF,
                                         0x80,
                                         0x7F,
                                         static_cast<uint8_t>(img[uiPos] + 1),
                                         static_cast<uint8_t>(img[uiPos] - 4),
                                         static_cast<uint8_t>(rng())};
            for (const uint8_t ucValue : aucValues) {
                mutated[uiPos] = ucValue;
                Decode(c, guard, mutated, mutated.size());
                ++uiRuns;
            }
            mutated[uiPos] = img[uiPos];
        }
        // Random multi-byte damage, with random lengths.
        for (int i = 0; i < 2000; ++i) {
            mutated = img;
            for (int j = 0; j < 4; ++j)
                mutated[rng() % mutated.size()] = static_cast<uint8_t>(rng());
            Decode(c, guard, mutated, rng() % (mutated.size() + 1));
            ++uiRuns;
        }
        EXPECT_EQ(LiveAllocations(), 0u);
    }
    EXPECT_GT(uiRuns, 0u);
}

INSTANTIATE_TEST_SUITE_P(Decoders, GuardPage, ::testing::ValuesIn(AllResponses()),
                         [](const auto &info) { return std::string(info.param.pcName).substr(9); });

// Decoding never recurses and keeps no large locals: every decoder, over
// every prefix and single-byte mutation of its images, runs on a thread whose
// stack is 64 KiB, or the least the platform allows if that is more (128 KiB
// on PowerPC), logging into the test OS layer included.
TEST(SmallStack, EveryDecoderRunsOnASmallStack) {
    struct Work {
        size_t uiRuns = 0;
        static void *Run(void *pv) {
            auto *pWork = static_cast<Work *>(pv);
            for (const ResponseCase &c : AllResponses()) {
                for (const auto &img : Images(c)) {
                    std::vector<uint8_t> mutated = img;
                    for (size_t uiPos = 0; uiPos < img.size(); ++uiPos) {
                        for (const uint8_t ucValue :
                             {uint8_t{0x00}, uint8_t{0xFF}, uint8_t{0x10}}) {
                            mutated[uiPos] = ucValue;
                            AnyRecord rec(c);
                            c.pfnUnpack(mutated.data(), static_cast<int32_t>(uiPos + 1),
                                        rec.Bytes());
                            c.pfnFree(rec.Bytes());
                            c.pfnUnpack(mutated.data(), static_cast<int32_t>(mutated.size()),
                                        rec.Bytes());
                            c.pfnFree(rec.Bytes());
                            ++pWork->uiRuns;
                        }
                        mutated[uiPos] = img[uiPos];
                    }
                }
            }
            return nullptr;
        }
    } work;
    pthread_attr_t attr;
    ASSERT_EQ(pthread_attr_init(&attr), 0);
    const long lMin = sysconf(_SC_THREAD_STACK_MIN);
    ASSERT_EQ(pthread_attr_setstacksize(&attr, static_cast<size_t>(lMin > 65536 ? lMin : 65536)),
              0);
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, &attr, Work::Run, &work), 0);
    ASSERT_EQ(pthread_join(thread, nullptr), 0);
    pthread_attr_destroy(&attr);
    TakeLogs();
    EXPECT_GT(work.uiRuns, 0u);
    EXPECT_EQ(LiveAllocations(), 0u);
}

TEST(GuardPage, ElementDecodersAtEveryPositionStayInsideTheBuffer) {
#define PSS_ELEMENT(Rec) Rec##_unpack_non_root,
    void *(*const decoders[])(const uint8_t *, int32_t, uint32_t,
                              void *) = {KORVO_ELEMENTS(PSS_ELEMENT)};
#undef PSS_ELEMENT
    std::mt19937 rng(17);
    std::vector<uint8_t> junk(256);
    alignas(8) uint8_t aucOut[2048];
    GuardedBuffer guard(junk.size());
    for (int iRound = 0; iRound < 20; ++iRound) {
        for (auto &b : junk) b = static_cast<uint8_t>(rng() % 4 == 0 ? rng() : rng() % 24);
        for (size_t uiLen = 0; uiLen <= junk.size(); uiLen += 7) {
            const uint8_t *pucBuf = guard.Place(junk.data(), uiLen);
            for (auto pfn : decoders) {
                for (uint32_t uiPos = 0; uiPos < uiLen + 8; ++uiPos) {
                    pfn(pucBuf, static_cast<int32_t>(uiLen), uiPos, aucOut);
                }
                pfn(pucBuf, static_cast<int32_t>(uiLen), 0xFFFFFFFF, aucOut);
            }
        }
    }
    TakeLogs();
    EXPECT_EQ(LiveAllocations(), 0u);
}

}  // namespace
}  // namespace pss_test
