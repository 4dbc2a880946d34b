// The compact encoders, byte for byte: published images, the size of every
// request with its scalars zero and set, every combination of zero and
// non-zero scalars (size query, bytes written, nothing past them), and the
// parameter check with its log message.
#include <gtest/gtest.h>

#include <functional>
#include <sstream>

#include "support/os_layer.h"
#include "support/request_cases.h"

namespace pss_test {
namespace {

constexpr uint8_t kMarkerA = 0xA5;
constexpr uint8_t kMarkerB = 0x5A;

std::vector<uint8_t> Hex(const char *pcText) {
    std::vector<uint8_t> out;
    std::istringstream in(pcText);
    unsigned v;
    while (in >> std::hex >> v) out.push_back(static_cast<uint8_t>(v));
    return out;
}

struct Encoded {
    uint32_t uiResult;
    std::vector<uint8_t> buffer;  // uiOffset bytes of lead-in, then the output
};

// Encodes into a buffer filled with ucMarker, starting uiOffset bytes in, with
// uiCapacity as the capacity and uiRoom bytes available after the start.
Encoded Encode(IdlPackFunc pfnPack, const void *pvRec, uint32_t uiCapacity, uint32_t uiRoom,
               uint8_t ucMarker, uint32_t uiOffset = 0) {
    Encoded e{0, std::vector<uint8_t>(uiOffset + uiRoom, ucMarker)};
    uint32_t uiLen = uiCapacity;
    const SerialBufDesc stBuf{e.buffer.data() + uiOffset, &uiLen};
    e.uiResult = pfnPack(&stBuf, pvRec);
    EXPECT_EQ(uiLen, uiCapacity) << "the capacity is the caller's";
    return e;
}

bool AllEqual(std::span<const uint8_t> bytes, uint8_t uc) {
    return std::all_of(bytes.begin(), bytes.end(), [uc](uint8_t b) { return b == uc; });
}

// Encodes the record twice, over two different markers and with the exact
// capacity the size query gives: the two outputs must agree on every byte up
// to the result (so every one of them was written) and leave every byte after
// it alone. Returns the image.
std::vector<uint8_t> EncodeExactly(IdlPackFunc pfnPack, const void *pvRec,
                                   uint32_t uiExpectedSize) {
    const uint32_t uiQueried = pfnPack(nullptr, pvRec);
    EXPECT_EQ(uiQueried, uiExpectedSize) << "size query";
    const uint32_t uiRoom = uiExpectedSize + 32;
    const Encoded a = Encode(pfnPack, pvRec, uiQueried, uiRoom, kMarkerA);
    const Encoded b = Encode(pfnPack, pvRec, uiRoom, uiRoom, kMarkerB);
    EXPECT_EQ(a.uiResult, uiExpectedSize);
    EXPECT_EQ(b.uiResult, uiExpectedSize);
    const std::span<const uint8_t> sa(a.buffer), sb(b.buffer);
    EXPECT_TRUE(std::equal(sa.begin(), sa.begin() + uiExpectedSize, sb.begin()))
        << "a byte before the end was left unwritten: "
        << Differences(sa.first(uiExpectedSize), sb.first(uiExpectedSize));
    EXPECT_TRUE(AllEqual(sa.subspan(uiExpectedSize), kMarkerA)) << "written past the end";
    EXPECT_TRUE(AllEqual(sb.subspan(uiExpectedSize), kMarkerB)) << "written past the end";
    return {a.buffer.begin(), a.buffer.begin() + uiExpectedSize};
}

// ---- published images ------------------------------------------------------

struct Example {
    const char *pcLabel;
    std::function<uint32_t(const SerialBufDesc *)> pack;  // encodes the example's record
    std::vector<uint8_t> expected;
};

template <class R>
std::function<uint32_t(const SerialBufDesc *)> Packer(uint32_t (*pfn)(const SerialBufDesc *,
                                                                      const void *),
                                                      std::function<void(R &)> fill) {
    return [pfn, fill](const SerialBufDesc *pstBuf) {
        R rec;
        memset(&rec, 0, sizeof rec);
        fill(rec);
        return pfn(pstBuf, &rec);
    };
}

constexpr char kHealthText0[64] = "health\0after-the-nul";
constexpr char kHealthText1[64] = "x";

std::vector<uint8_t> HealthCheckAllSet() {
    // Scalars of slots 2 and 3 stand before the uoffsets of slots 0 and 1.
    return ExpectedImage(208, 0)
        .U32(0, 16)
        .U16s(4, {12, 24, 4, 8, 16, 20})
        .U32(16, 12)
        .U32(20, 0x01020304)
        .U64(24, 0x1112131415161718ull)
        .U32(32, 0x21222324)
        .U32(36, 16)  // body table at 52
        .U16s(40, {12, 156, 12, 16, 4, 8})
        .U32(52, 12)
        .U32(56, 0x31323334)
        .U32(60, 0x41424344)
        .U32(64, 8)   // slot 0's vector at 72
        .U32(68, 72)  // slot 1's vector at 140
        .Vector(72, kHealthText0)
        .Vector(140, kHealthText1)
        .Bytes();
}

std::vector<uint8_t> AsyncC2hAllSet() {
    // The body's 64-bit field lands at 58, 2 modulo 4.
    return ExpectedImage(70, 0)
        .U32(0, 16)
        .U16s(4, {12, 24, 4, 8, 16, 20})
        .U32(16, 12)
        .U32(20, 9)
        .U64(24, 0x100000000ull)
        .U32(32, 0xFFFFFFFFu)
        .U32(36, 14)  // body table at 50
        .U16s(40, {10, 20, 4, 8, 16})
        .U32(50, 10)
        .U32(54, 1)
        .U64(58, 0x8000000000000001ull)
        .U32(66, 2)
        .Bytes();
}

constexpr char kActiveText3[64] = "com.example.patch";
constexpr char kActiveText4[64] = "1.2.3\0stale";
constexpr char kActiveText6[256] = "/opt/patches/payload.bin";

std::vector<uint8_t> ActiveAllSet() {
    // A 26-byte body vtable puts the body table at 66, 2 modulo 4; its eight
    // scalars come first, then the uoffsets of slots 3, 4 and 6, then the
    // three vectors back to back, all counted in the body's table size.
    return ExpectedImage(510, 0)
        .U32(0, 16)
        .U16s(4, {12, 24, 4, 8, 16, 20})
        .U32(16, 12)
        .U32(20, 1)
        .U64(24, 0x0000000100000002ull)
        .U32(32, 3)
        .U32(36, 30)  // body table at 66
        .U16s(40, {26, 444, 4, 8, 12, 36, 40, 16, 44, 20, 24, 28, 32})
        .U32(66, 26)
        .U32(70, 10)
        .U32(74, 11)
        .U32(78, 12)
        .U32(82, 15)
        .U32(86, 17)
        .U32(90, 18)
        .U32(94, 19)
        .U32(98, 20)
        .U32(102, 12)   // slot 3's vector at 114
        .U32(106, 76)   // slot 4's vector at 182
        .U32(110, 140)  // slot 6's vector at 250
        .Vector(114, kActiveText3)
        .Vector(182, kActiveText4)
        .Vector(250, kActiveText6)
        .Bytes();
}

const std::vector<Example> &Examples() {
    using App = QOMA_PAT_APP_QUERY_REQ;
    using Stop = QOMA_PAT_STOP_PLUGIN_REQ;
    static const std::vector<Example> kExamples = {
        {"AppQueryHeadAndBody",
         Packer<App>(
             QOMA_PAT_APP_QUERY_REQ_pack,
             [](App &r) { r.uiHead0 = 1, r.ullHead1 = 4294967298ull, r.stBody.uiField0 = 7; }),
         Hex("10 00 00 00  0c 00 14 00  04 00 08 00 00 00 10 00  0c 00 00 00  01 00 00 00"
             " 02 00 00 00 01 00 00 00  0a 00 00 00  06 00 08 00 04 00  06 00 00 00  07 00 00 00")},
        {"StopPluginZero", Packer<Stop>(QOMA_PAT_STOP_PLUGIN_REQ_pack, [](Stop &) {}),
         Hex("0e 00 00 00  0a 00 04 00 00 00 00 00 00 00  0a 00 00 00")},
        {"StopPluginHead",
         Packer<Stop>(QOMA_PAT_STOP_PLUGIN_REQ_pack,
                      [](Stop &r) { r.uiHead0 = 1, r.ullHead1 = 2, r.uiHead2 = 3; }),
         Hex("0e 00 00 00  0a 00 14 00 04 00 08 00 10 00  0a 00 00 00  01 00 00 00"
             " 02 00 00 00 00 00 00 00  03 00 00 00")},
        {"StopPluginHighHalfOnly",
         Packer<Stop>(QOMA_PAT_STOP_PLUGIN_REQ_pack, [](Stop &r) { r.ullHead1 = 5ull << 32; }),
         Hex("0e 00 00 00  0a 00 0c 00 00 00 04 00 00 00  0a 00 00 00  00 00 00 00 05 00 00 00")},
        {"AppQueryZero", Packer<App>(QOMA_PAT_APP_QUERY_REQ_pack, [](App &) {}),
         Hex("10 00 00 00  0c 00 08 00 00 00 00 00 00 00 04 00  0c 00 00 00  0a 00 00 00"
             " 06 00 04 00 00 00  06 00 00 00")},
        {"AppQueryBodyOnly",
         Packer<App>(QOMA_PAT_APP_QUERY_REQ_pack, [](App &r) { r.stBody.uiField0 = 7; }),
         Hex("10 00 00 00  0c 00 08 00 00 00 00 00 00 00 04 00  0c 00 00 00  0a 00 00 00"
             " 06 00 08 00 04 00  06 00 00 00  07 00 00 00")},
        {"HealthCheckAllSet",
         Packer<QOMA_PAT_HEALTH_CHECK_REQ>(QOMA_PAT_HEALTH_CHECK_REQ_pack,
                                           [](QOMA_PAT_HEALTH_CHECK_REQ &r) {
                                               r.uiHead0 = 0x01020304;
                                               r.ullHead1 = 0x1112131415161718ull;
                                               r.uiHead2 = 0x21222324;
                                               memcpy(r.stBody.acField0, kHealthText0, 64);
                                               memcpy(r.stBody.acField1, kHealthText1, 64);
                                               r.stBody.uiField2 = 0x31323334;
                                               r.stBody.uiField3 = 0x41424344;
                                           }),
         HealthCheckAllSet()},
        {"ActiveAllSet",
         Packer<QOMA_PAT_ACTIVE_REQ>(QOMA_PAT_ACTIVE_REQ_pack,
                                     [](QOMA_PAT_ACTIVE_REQ &r) {
                                         r.uiHead0 = 1, r.ullHead1 = 0x0000000100000002ull;
                                         r.uiHead2 = 3;
                                         auto &b = r.stBody;
                                         b.uiField0 = 10, b.uiField1 = 11, b.uiField2 = 12;
                                         b.uiField5 = 15, b.uiField7 = 17, b.uiField8 = 18;
                                         b.uiField9 = 19, b.uiField10 = 20;
                                         memcpy(b.acField3, kActiveText3, 64);
                                         memcpy(b.acField4, kActiveText4, 64);
                                         memcpy(b.acField6, kActiveText6, 256);
                                     }),
         ActiveAllSet()},
        {"AsyncC2hAllSet",
         Packer<QOMA_PAT_ASYNC_C2H_RESULT_REQ>(QOMA_PAT_ASYNC_C2H_RESULT_REQ_pack,
                                               [](QOMA_PAT_ASYNC_C2H_RESULT_REQ &r) {
                                                   r.uiHead0 = 9;
                                                   r.ullHead1 = 0x100000000ull;
                                                   r.uiHead2 = 0xFFFFFFFFu;
                                                   r.stBody.uiField0 = 1;
                                                   r.stBody.ullField1 = 0x8000000000000001ull;
                                                   r.stBody.uiField2 = 2;
                                               }),
         AsyncC2hAllSet()},
    };
    return kExamples;
}

class CompactExample : public testing::TestWithParam<const Example *> {};

TEST_P(CompactExample, EncodesToThePublishedBytesAtEveryAlignment) {
    const Example &ex = *GetParam();
    const auto uiSize = static_cast<uint32_t>(ex.expected.size());
    EXPECT_EQ(ex.pack(nullptr), uiSize) << "size query";
    for (uint32_t uiOffset = 0; uiOffset < 4; ++uiOffset) {
        SCOPED_TRACE("output starts " + std::to_string(uiOffset) + " bytes into the buffer");
        std::vector<uint8_t> buffer(uiOffset + uiSize + 16, kMarkerA);
        uint32_t uiLen = uiSize;
        const SerialBufDesc stBuf{buffer.data() + uiOffset, &uiLen};
        ASSERT_EQ(ex.pack(&stBuf), uiSize);
        const std::span<const uint8_t> out(buffer.data() + uiOffset, uiSize);
        EXPECT_TRUE(std::equal(out.begin(), out.end(), ex.expected.begin()))
            << Differences(out, ex.expected);
        EXPECT_TRUE(AllEqual(std::span(buffer).first(uiOffset), kMarkerA));
        EXPECT_TRUE(AllEqual(std::span(buffer).subspan(uiOffset + uiSize), kMarkerA));
    }
}

std::vector<const Example *> ExamplePointers() {
    std::vector<const Example *> out;
    for (const Example &e : Examples()) out.push_back(&e);
    return out;
}

INSTANTIATE_TEST_SUITE_P(Images, CompactExample, testing::ValuesIn(ExamplePointers()),
                         [](const testing::TestParamInfo<const Example *> &info) {
                             return std::string(info.param->pcLabel);
                         });

// ---- sizes of every request ------------------------------------------------

class CompactRequest : public testing::TestWithParam<const RequestCase *> {};

// Sets every scalar to a non-zero value, 64-bit ones in both halves.
void SetAllScalars(const RequestCase &c, void *pvRec) {
    std::vector<ScalarRef> scalars;
    c.pfnScalars(pvRec, scalars);
    for (const ScalarRef &s : scalars) memset(s.pv, 0x42, s.uiWidth);
}

TEST_P(CompactRequest, SizeWithEveryScalarZeroAndWithEveryScalarSet) {
    const RequestCase &c = *GetParam();
    RecordStorage rec = c.NewRecord();
    std::string diff;
    const std::vector<uint8_t> zero = EncodeExactly(c.pfnPack, rec.Get(), c.uiCompactAllZero);
    EXPECT_TRUE(c.pfnReadsBackAs(zero, rec.Get(), &diff, nullptr)) << diff;
    SetAllScalars(c, rec.Get());
    const std::vector<uint8_t> set = EncodeExactly(c.pfnPack, rec.Get(), c.uiCompactAllSet);
    EXPECT_TRUE(c.pfnReadsBackAs(set, rec.Get(), &diff, nullptr)) << diff;
}

// Each 32-bit scalar zero or not; each 64-bit one zero, set in its low half,
// its high half, or both. The size grows by the width of each present scalar.
TEST_P(CompactRequest, EveryCombinationOfZeroAndNonZeroScalars) {
    const RequestCase &c = *GetParam();
    RecordStorage rec = c.NewRecord();
    std::vector<ScalarRef> scalars;
    c.pfnScalars(rec.Get(), scalars);
    uint64_t ullCombinations = 1;
    for (const ScalarRef &s : scalars) ullCombinations *= s.uiWidth == 8 ? 4 : 2;

    for (uint64_t n = 0; n < ullCombinations && !HasFailure(); ++n) {
        SCOPED_TRACE("combination " + std::to_string(n));
        uint64_t ullDigits = n;
        uint32_t uiExpected = c.uiCompactAllZero;
        for (size_t i = 0; i < scalars.size(); ++i) {
            const ScalarRef &s = scalars[i];
            if (s.uiWidth == 4) {
                const uint32_t v =
                    (ullDigits % 2) != 0 ? 0x80000001u + static_cast<uint32_t>(i) : 0;
                memcpy(s.pv, &v, 4);
                ullDigits /= 2;
                uiExpected += v != 0 ? 4 : 0;
            } else {
                static constexpr uint64_t kStates[] = {0, 0x9ABCDEF1ull, 0x2468ACE0ull << 32,
                                                       0xFEDCBA9876543210ull};
                const uint64_t v = kStates[ullDigits % 4];
                memcpy(s.pv, &v, 8);
                ullDigits /= 4;
                uiExpected += v != 0 ? 8 : 0;
            }
        }
        const std::vector<uint8_t> image = EncodeExactly(c.pfnPack, rec.Get(), uiExpected);
        std::string diff;
        EXPECT_TRUE(c.pfnReadsBackAs(image, rec.Get(), &diff, nullptr)) << diff;
    }
}

// ---- the parameter check ---------------------------------------------------

struct Refusal {
    const char *pcLabel;
    bool bNullData;
    bool bNullRecord;
    int64_t llCapacity;  // negative: that many bytes below what the record needs
    const char *pcText;  // the message's arguments; %u is the capacity
};

const Refusal kRefusals[] = {
    {"CapacityThree", false, false, 3, "nonNull, %u, nonNull"},
    {"CapacityZero", false, false, 0, "nonNull, %u, nonNull"},
    {"NullData", true, false, 100, "null, %u, nonNull"},
    {"NullRecord", false, true, 1000, "nonNull, %u, null"},
    {"NullDataAndRecord", true, true, 2, "null, %u, null"},
    // A capacity of at least 4 that cannot hold the record is refused the
    // same way, so that nothing is written past it.
    {"OneByteShort", false, false, -1, "nonNull, %u, nonNull"},
    {"HalfTheSize", false, false, -2000, "nonNull, %u, nonNull"},
};

TEST_P(CompactRequest, RefusedArgumentsAreLoggedAndNothingIsWritten) {
    const RequestCase &c = *GetParam();
    RecordStorage rec = c.NewRecord();
    std::mt19937 rng(7);
    c.pfnFillRandom(rec.Get(), rng);
    const uint32_t uiNeeded = c.pfnPack(nullptr, rec.Get());
    TakeLogs();
    for (const Refusal &r : kRefusals) {
        SCOPED_TRACE(r.pcLabel);
        const uint32_t uiCapacity = r.llCapacity >= 0    ? static_cast<uint32_t>(r.llCapacity)
                                    : r.llCapacity == -1 ? uiNeeded - 1
                                                         : std::max(uiNeeded / 2, 4u);
        std::vector<uint8_t> buffer(uiNeeded + 8, kMarkerA);
        uint32_t uiLen = uiCapacity;
        const SerialBufDesc stBuf{r.bNullData ? nullptr : buffer.data(), &uiLen};
        EXPECT_EQ(c.pfnPack(&stBuf, r.bNullRecord ? nullptr : rec.Get()), 0u);
        EXPECT_TRUE(AllEqual(buffer, kMarkerA)) << "a refused encode wrote";
        EXPECT_EQ(uiLen, uiCapacity);

        const std::vector<LogRecord> logs = TakeLogs();
        ASSERT_EQ(logs.size(), 1u);
        const LogRecord &log = logs[0];
        EXPECT_EQ(log.pstModule, &g_stSerialLogModule);
        EXPECT_EQ(log.uiLevel, 2u);
        EXPECT_EQ(log.uiCode, 22u);
        EXPECT_EQ(log.file, "");
        EXPECT_GT(log.uiLine, 0u);
        EXPECT_EQ(log.func, std::string(c.pcName) + "_pack");
        EXPECT_EQ(log.format, "[KORVO]:Param invalid(%s, %u, %s)");
        char acArgs[64];
        snprintf(acArgs, sizeof acArgs, r.pcText, uiCapacity);
        EXPECT_EQ(log.text, std::string("[KORVO]:Param invalid(") + acArgs + ")");
    }
}

TEST_P(CompactRequest, WithoutABufferOnlyTheSizeIsAnswered) {
    const RequestCase &c = *GetParam();
    RecordStorage rec = c.NewRecord();
    TakeLogs();
    EXPECT_EQ(c.pfnPack(nullptr, nullptr), 0u);
    EXPECT_EQ(c.pfnPack(nullptr, rec.Get()), c.uiCompactAllZero);
    EXPECT_TRUE(TakeLogs().empty());
}

TEST_P(CompactRequest, ACapacityBeyondTheSizeIsAccepted) {
    const RequestCase &c = *GetParam();
    RecordStorage rec = c.NewRecord();
    const Encoded e = Encode(c.pfnPack, rec.Get(), 0xFFFFFFFFu, c.uiCompactAllZero, kMarkerA);
    EXPECT_EQ(e.uiResult, c.uiCompactAllZero);
}

INSTANTIATE_TEST_SUITE_P(Requests, CompactRequest, testing::ValuesIn(AllRequestPointers()),
                         CaseName);

}  // namespace
}  // namespace pss_test
