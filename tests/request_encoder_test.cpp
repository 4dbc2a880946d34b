// The thirteen request encoders, compact and fixed layout: byte-exact images,
// the compact size of every combination of zero and non-zero scalars, the
// fixed layout's padding, and the argument check with its message. (The
// loopback tests' simulated service reads every request back from both images.)
#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "messages/schemas.h"
#include "support/os_layer.h"
#include "support/record_members.h"
#include "support/worked_images.h"

namespace pss_test {
namespace {

using korvo::Kind;
using korvo::TableDesc;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t kMarkerA = 0xA5, kMarkerB = 0x5A;

// A zeroed record of any type, aligned for its 64-bit members.
struct Record {
    explicit Record(size_t uiSize) : words((uiSize + 7) / 8, 0) {}
    uint8_t *Get() { return reinterpret_cast<uint8_t *>(words.data()); }
    const uint8_t *Get() const { return reinterpret_cast<const uint8_t *>(words.data()); }
    std::vector<uint64_t> words;
};

template <class R, class F>
Record Make(F fill) {
    Record rec(sizeof(R));
    fill(*reinterpret_cast<R *>(rec.Get()));
    return rec;
}

// Expected bytes: hexadecimal text, ".." standing for a byte the encoder must
// leave as the buffer held it (kMarkerA); little-endian values; byte vectors.
Bytes Hex(const char *pcText) {
    Bytes out;
    std::istringstream in(pcText);
    for (std::string t; in >> t;) {
        out.push_back(t == ".." ? kMarkerA : static_cast<uint8_t>(std::stoul(t, nullptr, 16)));
    }
    return out;
}

Bytes Le(uint64_t v, int iWidth) {
    Bytes out;
    for (; iWidth > 0; --iWidth, v >>= 8) out.push_back(static_cast<uint8_t>(v));
    return out;
}

template <size_t N>
Bytes Vec(const char (&ac)[N]) {  // the count, then every byte of the array
    Bytes out = Le(N, 4);
    out.insert(out.end(), ac, ac + N);
    return out;
}

template <size_t N>
Bytes Of(const uint8_t (&auc)[N]) {
    return {auc, auc + N};
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes &part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

// ---- the thirteen requests ---------------------------------------------------

struct Request {
    IdlPackFunc pfnPack;
    IdlPackFixedFunc pfnPackFixed;
    IdlFixedSizeFunc pfnFixedSize;
    const TableDesc *pstSchema;
    const char *pcName;
    uint32_t uiCompactAllZero, uiCompactAllSet, uiFixedSize;
    std::vector<std::pair<uint32_t, uint32_t>> padding;  // inclusive ranges left unwritten
};

#define PSS_REQUEST(Rec) \
    Rec##_pack, Rec##_pack_fixed, Rec##_fixed_size, &korvo::Schema<Rec>::kTable, #Rec
const Request kRequests[] = {
    {PSS_REQUEST(QOMA_PAT_ACTIVE_REQ), 462, 510, 520, {{498, 503}, {516, 519}}},
    {PSS_REQUEST(QOMA_PAT_STATE_QUERY_REQ), 260, 288, 296, {{276, 279}, {292, 295}}},
    {PSS_REQUEST(QOMA_PAT_APP_QUERY_REQ), 34, 54, 64, {{42, 47}, {60, 63}}},
    {PSS_REQUEST(QOMA_PAT_ERROR_QUERY_REQ), 36, 60, 64, {{60, 63}}},
    {PSS_REQUEST(QOMA_PAT_MANG_QUERY_REQ), 222, 238, 248, {{226, 231}, {244, 247}}},
    {PSS_REQUEST(QOMA_PAT_INST_QUERY_REQ), 222, 238, 248, {{226, 231}, {244, 247}}},
    {PSS_REQUEST(QOMA_PAT_DESC_QUERY_REQ), 224, 244, 248, {{244, 247}}},
    {PSS_REQUEST(QOMA_PAT_UPDATE_PKG_INST_CFG_REQ), 796, 832, 840, {{820, 823}, {836, 839}}},
    {PSS_REQUEST(QOMA_PAT_UPDATE_PKG_NAME_REQ), 712, 728, 736, {{716, 719}, {732, 735}}},
    {PSS_REQUEST(QOMA_PAT_HEALTH_CHECK_REQ), 184, 208, 216, {{196, 199}, {212, 215}}},
    {PSS_REQUEST(QOMA_PAT_STOP_PLUGIN_REQ), 18, 34, 40, {{34, 39}}},
    {PSS_REQUEST(QOMA_PAT_ASYNC_ACTIVE_SESSION_REQ), 20, 40, 40, {}},
    {PSS_REQUEST(QOMA_PAT_ASYNC_C2H_RESULT_REQ), 38, 70, 80, {{58, 63}, {76, 79}}},
};
#undef PSS_REQUEST

// Encodes over two markers, once with exactly the expected capacity and once
// with the largest: both give the expected size, agree on every byte before it
// (so each was written) and leave every byte after it alone.
void PackCompact(const Request &c, const uint8_t *pucRec, uint32_t uiExpected) {
    EXPECT_EQ(c.pfnPack(nullptr, pucRec), uiExpected) << "size query";
    Bytes a(uiExpected + 16, kMarkerA), b(uiExpected + 16, kMarkerB);
    uint32_t uiLenA = uiExpected, uiLenB = 0xFFFFFFFFu;
    const SerialBufDesc stA{a.data(), &uiLenA}, stB{b.data(), &uiLenB};
    EXPECT_EQ(c.pfnPack(&stA, pucRec), uiExpected);
    EXPECT_EQ(c.pfnPack(&stB, pucRec), uiExpected);
    EXPECT_TRUE(uiLenA == uiExpected && uiLenB == 0xFFFFFFFFu) << "the capacity is the caller's";
    EXPECT_TRUE(std::equal(a.begin(), a.begin() + uiExpected, b.begin()))
        << "a byte left unwritten";
    EXPECT_EQ(std::count(a.begin() + uiExpected, a.end(), kMarkerA), 16) << "written past the end";
    EXPECT_EQ(std::count(b.begin() + uiExpected, b.end(), kMarkerB), 16) << "written past the end";
}

// Encodes over two markers: they differ exactly at the padding positions and
// after the image, and keep the marker there.
void PackFixed(const Request &c, const uint8_t *pucRec) {
    const uint32_t uiSize = c.pfnFixedSize();
    Bytes a(uiSize + 16, kMarkerA), b(uiSize + 16, kMarkerB);
    EXPECT_EQ(c.pfnPackFixed(a.data(), pucRec), 0u);
    EXPECT_EQ(c.pfnPackFixed(b.data(), pucRec), 0u);
    for (uint32_t i = 0; i < a.size(); ++i) {
        bool bPadding = i >= uiSize;
        for (const auto &[uiFirst, uiLast] : c.padding) bPadding |= i >= uiFirst && i <= uiLast;
        EXPECT_EQ(a[i] == kMarkerA && b[i] == kMarkerB, bPadding) << "byte " << i;
    }
}

class RequestEncoder : public testing::TestWithParam<const Request *> {};

// Each 32-bit scalar zero or random non-zero; each 64-bit one zero, non-zero in
// its low half, its high half or both; the character arrays random, half the
// time with a NUL inside. Every combination gives the size of the all-zero
// record plus the width of every present scalar.
TEST_P(RequestEncoder, EveryCombinationOfZeroAndNonZeroScalars) {
    const Request &c = *GetParam();
    EXPECT_EQ(c.pfnFixedSize(), c.uiFixedSize);
    Record rec(c.pstSchema->uiRecordSize);
    std::vector<Member> members;
    Members(*c.pstSchema, rec.Get(), members);
    uint64_t ullCombinations = 1;
    uint32_t uiAllWidths = 0;
    for (const Member &m : members) {
        if (m.eKind == Kind::kBytes) continue;
        ullCombinations *= m.uiSize == 8 ? 4 : 2;
        uiAllWidths += m.uiSize;
    }
    EXPECT_EQ(c.uiCompactAllZero + uiAllWidths, c.uiCompactAllSet);

    std::mt19937 rng(12345);
    TakeAllocs();
    for (uint64_t n = 0; n < ullCombinations && !HasFailure(); ++n) {
        SCOPED_TRACE("combination " + std::to_string(n));
        uint64_t ullDigits = n;
        uint32_t uiExpected = c.uiCompactAllZero;
        for (const Member &m : members) {
            if (m.eKind == Kind::kBytes) {
                for (uint32_t i = 0; i < m.uiSize; ++i) m.puc[i] = static_cast<uint8_t>(rng());
                if ((rng() & 1) != 0) m.puc[rng() % m.uiSize] = 0;
                continue;
            }
            const uint32_t uiLow = rng() | 1, uiHigh = rng() | 1, uiBase = m.uiSize == 8 ? 4 : 2;
            const auto uiDigit = static_cast<uint32_t>(ullDigits % uiBase);
            ullDigits /= uiBase;
            if (uiDigit != 0) uiExpected += m.uiSize;
            const uint64_t v =
                (uiDigit & 1 ? uiLow : 0) | (uint64_t{uiDigit & 2 ? uiHigh : 0} << 32);
            const auto u = static_cast<uint32_t>(v);
            memcpy(m.puc, m.uiSize == 8 ? static_cast<const void *>(&v) : &u, m.uiSize);
        }
        PackCompact(c, rec.Get(), uiExpected);
        PackFixed(c, rec.Get());
    }
    EXPECT_TRUE(TakeAllocs().empty()) << "an encoder allocated";
}

// Capacity below 4, a null buffer or record, and a capacity that cannot hold
// the record are refused with one message, result 0 and nothing written.
TEST_P(RequestEncoder, RefusedArgumentsAreLoggedAndNothingIsWritten) {
    const Request &c = *GetParam();
    Record rec(c.pstSchema->uiRecordSize);
    std::vector<Member> members;
    Members(*c.pstSchema, rec.Get(), members);
    for (const Member &m : members) memset(m.puc, 0x42, m.uiSize);
    TakeLogs();
    const uint32_t uiNeeded = c.pfnPack(nullptr, rec.Get());
    ASSERT_EQ(uiNeeded, c.uiCompactAllSet);
    EXPECT_EQ(c.pfnPack(nullptr, nullptr), 0u);
    EXPECT_TRUE(TakeLogs().empty())
        << "size queries and calls without buffer and record log nothing";

    const struct {
        bool bNullData, bNullRecord;
        uint32_t uiCapacity;
    } kRefusals[] = {{false, false, 3}, {true, false, 100}, {false, true, 1000},
                     {true, true, 2},   {false, false, 4},  {false, false, uiNeeded - 1}};
    for (const auto &r : kRefusals) {
        const std::string args = std::string(r.bNullData ? "null" : "nonNull") + ", " +
                                 std::to_string(r.uiCapacity) + ", " +
                                 (r.bNullRecord ? "null" : "nonNull");
        SCOPED_TRACE(args);
        Bytes buffer(uiNeeded + 8, kMarkerA);
        uint32_t uiLen = r.uiCapacity;
        const SerialBufDesc stBuf{r.bNullData ? nullptr : buffer.data(), &uiLen};
        EXPECT_EQ(c.pfnPack(&stBuf, r.bNullRecord ? nullptr : rec.Get()), 0u);
        EXPECT_EQ(buffer, Bytes(uiNeeded + 8, kMarkerA)) << "a refused encode wrote";
        EXPECT_EQ(uiLen, r.uiCapacity);
        const std::vector<LogRecord> logs = TakeLogs();
        ASSERT_EQ(logs.size(), 1u);
        EXPECT_EQ(logs[0].func + " " + std::to_string(logs[0].uiCode) + " " + logs[0].format + " " +
                      logs[0].text,
                  std::string(c.pcName) + "_pack 22 [KORVO]:Param invalid(%s, %u, %s) " +
                      "[KORVO]:Param invalid(" + args + ")");
    }
}

INSTANTIATE_TEST_SUITE_P(Requests, RequestEncoder, testing::ValuesIn([] {
                             std::vector<const Request *> out;
                             for (const Request &c : kRequests) out.push_back(&c);
                             return out;
                         }()),
                         [](const auto &info) { return std::string(info.param->pcName); });

// ---- images, byte for byte ----------------------------------------------------

using App = QOMA_PAT_APP_QUERY_REQ;
using Stop = QOMA_PAT_STOP_PLUGIN_REQ;
using Health = QOMA_PAT_HEALTH_CHECK_REQ;
using Active = QOMA_PAT_ACTIVE_REQ;

constexpr char kHealthText0[64] = "health\0after-the-nul";
constexpr char kHealthText1[64] = "x";

void FillApp(App &r) { r.uiHead0 = 1, r.ullHead1 = 4294967298ull, r.stBody.uiField0 = 7; }

// Written at every alignment of the output buffer, so every store meets every
// alignment; the Stop images also put a u64 at 22, 2 modulo 4.
TEST(RequestImages, CompactImagesByteForByte) {
    const struct {
        const char *pcName;
        IdlPackFunc pfnPack;
        Record rec;
        Bytes expected;
    } kExamples[] = {
        {"AppHeadAndBody", QOMA_PAT_APP_QUERY_REQ_pack, Make<App>(FillApp), Of(kAppQueryCompact)},
        {"StopZero", QOMA_PAT_STOP_PLUGIN_REQ_pack, Make<Stop>([](Stop &) {}),
         Hex("0e 00 00 00  0a 00 04 00 00 00 00 00 00 00  0a 00 00 00")},
        {"StopHead", QOMA_PAT_STOP_PLUGIN_REQ_pack,
         Make<Stop>([](Stop &r) { r.uiHead0 = 1, r.ullHead1 = 2, r.uiHead2 = 3; }),
         Hex("0e 00 00 00  0a 00 14 00 04 00 08 00 10 00  0a 00 00 00  01 00 00 00"
             " 02 00 00 00 00 00 00 00  03 00 00 00")},
        {"StopHighHalfOnly", QOMA_PAT_STOP_PLUGIN_REQ_pack,
         Make<Stop>([](Stop &r) { r.ullHead1 = 5ull << 32; }), Of(kStopPluginHigh)},
        {"AppZero", QOMA_PAT_APP_QUERY_REQ_pack, Make<App>([](App &) {}),
         Hex("10 00 00 00  0c 00 08 00 00 00 00 00 00 00 04 00  0c 00 00 00  0a 00 00 00"
             " 06 00 04 00 00 00  06 00 00 00")},
        {"AppBodyOnly", QOMA_PAT_APP_QUERY_REQ_pack,
         Make<App>([](App &r) { r.stBody.uiField0 = 7; }),
         Hex("10 00 00 00  0c 00 08 00 00 00 00 00 00 00 04 00  0c 00 00 00  0a 00 00 00"
             " 06 00 08 00 04 00  06 00 00 00  07 00 00 00")},
        // Body scalars of slots 2 and 3 stand before the uoffsets of slots 0
        // and 1; the vectors follow back to back, counted in the table size,
        // each whole, bytes after the NUL included.
        {"HealthAllSet", QOMA_PAT_HEALTH_CHECK_REQ_pack, Make<Health>([](Health &r) {
             r.uiHead0 = 0x01020304, r.ullHead1 = 0x1112131415161718ull, r.uiHead2 = 0x21222324;
             memcpy(r.stBody.acField0, kHealthText0, 64);
             memcpy(r.stBody.acField1, kHealthText1, 64);
             r.stBody.uiField2 = 0x31323334, r.stBody.uiField3 = 0x41424344;
         }),
         Cat({Hex("10 00 00 00  0c 00 18 00 04 00 08 00 10 00 14 00  0c 00 00 00  04 03 02 01"
                  " 18 17 16 15 14 13 12 11  24 23 22 21  10 00 00 00"  // body table at 52
                  " 0c 00 9c 00 0c 00 10 00 04 00 08 00  0c 00 00 00  34 33 32 31  44 43 42 41"
                  " 08 00 00 00  48 00 00 00"),  // the vectors at 72 and 140
              Vec(kHealthText0), Vec(kHealthText1)})},
    };
    for (const auto &ex : kExamples) {
        SCOPED_TRACE(ex.pcName);
        const auto uiSize = static_cast<uint32_t>(ex.expected.size());
        EXPECT_EQ(ex.pfnPack(nullptr, ex.rec.Get()), uiSize) << "size query";
        for (uint32_t uiOffset = 0; uiOffset < 4; ++uiOffset) {
            Bytes buffer(uiOffset + uiSize + 8, kMarkerA), want(uiOffset, kMarkerA);
            want.insert(want.end(), ex.expected.begin(), ex.expected.end());
            want.resize(buffer.size(), kMarkerA);
            uint32_t uiLen = uiSize;
            const SerialBufDesc stBuf{buffer.data() + uiOffset, &uiLen};
            EXPECT_EQ(ex.pfnPack(&stBuf, ex.rec.Get()), uiSize);
            EXPECT_EQ(buffer, want) << "output " << uiOffset << " bytes in";
        }
    }
}

TEST(RequestImages, FixedImagesByteForByte) {
    Record app = Make<App>(FillApp);
    Record active = Make<Active>([](Active &r) {
        r.uiHead0 = 0x0A0B0C0D, r.ullHead1 = 0x0102030405060708ull;
        QOMA_PAT_ACTIVE_REQ_BODY &b = r.stBody;
        b.uiField0 = 100, b.uiField2 = 102, b.uiField5 = 105, b.uiField7 = 107;
        b.uiField8 = 0xFFFFFFFFu, b.uiField10 = 110;
        memcpy(b.acField3, "field3\0hidden", 13);
        for (size_t i = 0; i < sizeof b.acField4; ++i) b.acField4[i] = static_cast<char>(0x80 + i);
        memcpy(b.acField6, "six", 3);
    });
    const QOMA_PAT_ACTIVE_REQ_BODY &b = reinterpret_cast<Active *>(active.Get())->stBody;
    const struct {
        IdlPackFixedFunc pfnPackFixed;
        uint8_t *pucRec;
        Bytes expected;  // the padding, whatever it shows, left as the buffer held it
    } kExamples[] = {
        {QOMA_PAT_APP_QUERY_REQ_pack_fixed, app.Get(), Of(kAppQueryFixed)},
        // Root table 4 (soffset -500), head 8, 12, 20; body uoffset 24, body
        // table 28 (soffset -444); vectors' counts at 48, 120, 196; body
        // vtable 472, root vtable 504, each followed by its padding.
        {QOMA_PAT_ACTIVE_REQ_pack_fixed, active.Get(),
         Cat({Hex("04 00 00 00  0c fe ff ff  0d 0c 0b 0a  08 07 06 05 04 03 02 01  00 00 00 00"
                  " 04 00 00 00  44 fe ff ff  64 00 00 00  00 00 00 00  66 00 00 00  04 00 00 00"),
              Vec(b.acField3), Le(4, 4), Vec(b.acField4), Le(105, 4), Le(4, 4), Vec(b.acField6),
              Hex("6b 00 00 00  ff ff ff ff  00 00 00 00  6e 00 00 00"
                  " 1a 00 bc 01 04 00 08 00 0c 00 10 00 58 00 a0 00 a4 00 ac 01 b0 01 b4 01 b8 01"
                  " .. .. .. .. .. ..  0c 00 f4 01 04 00 08 00 10 00 14 00  .. .. .. ..")})},
    };
    for (const auto &ex : kExamples) {
        const Request &c =
            *std::find_if(std::begin(kRequests), std::end(kRequests),
                          [&](const Request &r) { return r.pfnPackFixed == ex.pfnPackFixed; });
        ASSERT_EQ(c.pfnFixedSize(), ex.expected.size());
        Bytes buffer(ex.expected.size() + 8, kMarkerA), want = ex.expected;
        for (const auto &[uiFirst, uiLast] : c.padding)
            std::fill(want.begin() + uiFirst, want.begin() + uiLast + 1, kMarkerA);
        want.resize(buffer.size(), kMarkerA);
        EXPECT_EQ(ex.pfnPackFixed(buffer.data(), ex.pucRec), 0u);
        EXPECT_EQ(buffer, want) << ex.expected.size() << "-byte image";
    }
}

}  // namespace
}  // namespace pss_test
